// SPDX-License-Identifier: LGPL-2.1-or-later
// The unsynchronisation check of id3v2_format.h fed from a file a window at a time.
#pragma once

#include "rating/bytes/source_window.h"
#include "rating/id3v2/id3v2_format.h"

// Feeds the bytes from `from` to `end` to `check`. False when a read failed (the window
// notes it).
inline bool checkUnsynchronisationOnDisk(SourceWindow* window, uint64_t from, uint64_t end,
                                         UnsynchronisationCheck* check) {
  for (uint64_t at = from; at < end;) {
    const size_t piece = end - at < kSourceWindowSize ? static_cast<size_t>(end - at) : kSourceWindowSize;
    const unsigned char* bytes = windowBytes(window, at, piece, 0);
    if (bytes == nullptr) return false;
    feedUnsynchronisationCheck(check, bytes, piece);
    at += piece;
  }
  return true;
}
