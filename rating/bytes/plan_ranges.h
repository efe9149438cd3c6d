// SPDX-License-Identifier: LGPL-2.1-or-later
// What a planned write keeps: whether a stretch of the new file is a stretch of the old one,
// told from the plan's spans or patches alone, without reading either file. The rooms check
// with it that the blocks and audio they never touch are carried over byte for byte.
#pragma once

#include <cstdint>

#include "rating/bytes/write_plan.h"

// True when the `length` bytes at `newAt` in the file the plan makes (or leaves, in place)
// are the old file's `length` bytes at `oldFrom`. In place, that is where no patch falls.
bool planKeepsOldRange(const WritePlan& plan, uint64_t newAt, uint64_t oldFrom, uint64_t length);
