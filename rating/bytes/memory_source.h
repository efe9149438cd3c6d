// SPDX-License-Identifier: LGPL-2.1-or-later
// A byte source over bytes already in memory: the tag id3lib renders, and the
// files of the tests and the native fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"

struct MemoryBytes {
  const unsigned char* bytes;  // may be null when length is 0
  size_t length;
};

// Reads from `memory`, which must outlive the source. `size` is the size of the
// file the bytes stand for: reads past memory->length come up short, as reads
// of a file that cannot be read to its end.
ByteSource memorySource(const MemoryBytes* memory, uint64_t size);

// A file as a planned write will leave it, read before anything is written: `base` with
// `length` bytes replaced at `at` (overlaid), or with its first `baseFrom` bytes replaced by
// `length` new ones (spliced: a tag made anew in front of the rest of the file).
struct PatchedBytes {
  ByteSource base;
  const unsigned char* bytes;
  size_t length;
  uint64_t at;        // overlaid: where the bytes go
  uint64_t baseFrom;  // spliced: the base from here follows the bytes
  bool spliced;
};

// Reads from `patch`, which must outlive the source.
ByteSource patchedSource(const PatchedBytes* patch);
