// SPDX-License-Identifier: LGPL-2.1-or-later
// A byte source over bytes already in memory: the tag id3lib renders, and the
// files of the tests and the native fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/id3v2/byte_source.h"

struct MemoryBytes {
  const unsigned char* bytes;  // may be null when length is 0
  size_t length;
};

// Reads from `memory`, which must outlive the source. `size` is the size of the
// file the bytes stand for: reads past memory->length come up short, as reads
// of a file that cannot be read to its end.
ByteSource memorySource(const MemoryBytes* memory, uint64_t size);
