// SPDX-License-Identifier: LGPL-2.1-or-later
// Finishing a rewrite that a crash left half done: what the journal names for the file is
// settled by journal_recovery.h's rules, whatever its size. A copy beside the file that the
// journal does not name is no copy of the store's, and is left alone.
#include "rating/rating.h"
#include "rating/store/journal_recovery.h"

void recoverRewrite(const wchar_t* path) {
  if (path == nullptr || path[0] == 0) return;
  recoverJournaledRewrites(path, nullptr, ~uint64_t{0});
}
