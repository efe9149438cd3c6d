// SPDX-License-Identifier: LGPL-2.1-or-later
// The frames of a tag as mutagen walks them. mutagen is the lenient reader the plugin
// answers to: it decodes unsynchronisation only where the bytes allow it, guesses between
// syncsafe and plain ID3v2.4 frame sizes by counting the frames each reading finds, reads
// an extended header as stored, and walks on past a zero byte until a frame ID of four zero
// bytes. The write guard writes only where this walk and the strict reader's find the same
// frames, before the write and after it, so that no write changes what such a reader sees.
#pragma once

#include <cstdint>

#include "rating/bytes/byte_source.h"

struct LenientWalk {
  bool loadable;        // the reader loads the tag (false: it fails on the whole file)
  uint32_t entries;     // frame headers walked before `stopAt`
  uint32_t fingerprint; // of those, as foldWalkFingerprint folds them
  uint32_t framesAfter; // frames it would load that start at or after `stopAt`
  bool plainSizes;      // it reads ID3v2.4 frame sizes as plain integers
};

// Walks the tag at the start of `file`. `stopAt` is the file offset where the strict reader's
// frames end: what the walk finds from there on counts as framesAfter.
LenientWalk walkLikeMutagen(const ByteSource& file, uint64_t stopAt);
