// SPDX-License-Identifier: LGPL-2.1-or-later
// A new file planned as spans that keeps the old file's size, turned into patches in place:
// only the bytes that differ from what the file holds are written, a run at a time.
#pragma once

#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"

// Adds to `patches` (kind and sizes left to the caller) the bytes where the file `spans`
// makes differs from `file`, which it must be as long as. Spans of the old file that stay
// where they are cost nothing; others are read and compared a piece at a time. False when
// the patches would pass `maxBytes` (or
// number over 4096), a read came short, or memory ran short.
bool patchesFromSpans(const ByteSource& file, const WritePlan& spans, uint64_t maxBytes, WritePlan* patches);
