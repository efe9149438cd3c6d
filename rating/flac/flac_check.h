// SPDX-License-Identifier: LGPL-2.1-or-later
// The last look at a planned FLAC write before it is handed over: the file the plan makes,
// walked as any FLAC, must read as planned.
#pragma once

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"
#include "rating/flac/flac_walk.h"

// True when the file `plan` makes of `file` (whose walk is `layout`) is a sound FLAC stream
// whose one comment block reads as `stars` and keeps the old comment's vendor and other
// fields; whose ID3v2 tags, "fLaC", every block but the comment and padding blocks (same
// type, length and place among them) and audio are the old file's bytes, told from the plan.
bool flacPlanReadsBack(const ByteSource& file, const FlacLayout& layout, const WritePlan& plan, int stars);
