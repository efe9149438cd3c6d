// SPDX-License-Identifier: LGPL-2.1-or-later
// A stretch of a file read as a file of its own: an ID3v2 tag inside a WAV's or AIFF's chunk
// is walked by the same reader and guard as the tag at the start of an MP3.
#pragma once

#include <cstdint>

#include "rating/bytes/byte_source.h"

struct SourceRange {
  ByteSource base;
  uint64_t start;
  uint64_t length;
};

// range->length bytes of range->base from range->start (fewer where the base ends first),
// read from offset 0; `range` must outlive the source. No read passes the range's end.
ByteSource rangeSource(const SourceRange* range);
