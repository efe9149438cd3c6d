// SPDX-License-Identifier: LGPL-2.1-or-later
// The last look at a planned ASF write before it is handed over: the file the plan makes,
// walked as any ASF, must read as planned.
#pragma once

#include "rating/asf/asf_layout.h"
#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"

// True when the file `plan` makes of `file` (whose walk is `layout`) walks as a sound ASF whose
// rating attributes all hold the DWORD for `stars` (none for 0); whose header objects are the
// old file's in the same order, each the same bytes told from the plan, but Padding objects, the
// rating attributes and the sizes, counts and file size that follow them; and whose Data object
// and everything after it are the old file's bytes.
bool asfPlanReadsBack(const ByteSource& file, const AsfLayout& layout, const WritePlan& plan, int stars);
