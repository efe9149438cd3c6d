// SPDX-License-Identifier: LGPL-2.1-or-later
// Finishing a rewrite that a crash or id3lib left half done.
//
// To enlarge a tag id3lib writes the whole new file to "<path>.XXXXXX", then removes the
// original and renames the copy. While the file is held open (the player does this, and
// the store does it itself during id3lib's update) both steps fail and the copy stays
// behind. The store notes each such copy in its journal before id3lib writes it and puts
// it in place itself; a copy the journal does not name is no copy of the store's, and is
// left alone.
#include "rating/rating.h"
#include "rating/store/journal_recovery.h"

void recoverRewrite(const wchar_t* path) {
  if (path == nullptr || path[0] == 0) return;
  recoverJournaledRewrites(path, nullptr, ~uint64_t{0});
}
