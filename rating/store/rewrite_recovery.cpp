// SPDX-License-Identifier: LGPL-2.1-or-later
// Finishing a rewrite that id3lib left half done.
//
// To enlarge a tag id3lib writes the whole new file to "<path>.XXXXXX", then
// removes the original and renames the copy. While the file is held open
// (sharing read and write, not delete: the player does this, and the store
// does it itself during id3lib's update) both steps fail: the original keeps
// the old tag and the copy stays behind. Copying the leftover over the file
// still works then, so we do that, but only when the leftover is strictly
// larger than the file, as a completed copy with an enlarged tag is, and the
// volume has room for the difference; anything else is left alone.
#include <cstdlib>

#include "rating/rating.h"
#include "rating/store/journal_recovery.h"
#include "rating/store/tag_file.h"

namespace {

bool isEmptyPath(const wchar_t* path) { return path == nullptr || path[0] == 0; }

}  // namespace

LeftoverNote noteLeftover(const wchar_t* path) {
  LeftoverNote note = {false, 0, 0};
  if (isEmptyPath(path)) return note;
  wchar_t* leftover = leftoverNameOf(path);
  note = noteFile(leftover);
  std::free(leftover);
  return note;
}

void recoverRewrite(const wchar_t* path) {
  if (isEmptyPath(path)) return;
  // The rewrites the journal names come first, whatever their size.
  recoverJournaledRewrites(path, nullptr, ~uint64_t{0});
  wchar_t* leftover = leftoverNameOf(path);
  if (leftover) copyLargerLeftover(path, leftover);
  std::free(leftover);
}

void recoverRewriteSince(const wchar_t* path, const LeftoverNote& before) {
  if (isEmptyPath(path)) return;
  wchar_t* leftover = leftoverNameOf(path);
  if (leftover && fileWrittenSince(leftover, before)) copyLargerLeftover(path, leftover);
  std::free(leftover);
}
