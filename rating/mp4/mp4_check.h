// SPDX-License-Identifier: LGPL-2.1-or-later
// The last look at a planned MP4 write before it is handed over: the file the plan makes,
// walked as any MP4, must read as planned.
#pragma once

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"
#include "rating/mp4/mp4_layout.h"

// True when the file `plan` makes of `file` (whose walk is `layout`) walks as a sound MP4
// whose rating items read `stars`; whose atoms are the old file's in the same order, each
// the same bytes told from the plan, but `free` atoms, the rating items and the sizes of
// the atoms that hold them; and whose every chunk offset points at the same media bytes.
bool mp4PlanReadsBack(const ByteSource& file, const Mp4Layout& layout, const WritePlan& plan, int stars);
