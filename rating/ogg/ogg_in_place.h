// SPDX-License-Identifier: LGPL-2.1-or-later
// A new-file plan that keeps the file's size, turned into patches over the file as it is:
// only the bytes that differ (page headers' CRCs, the comment's changed bytes) are written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"

// The most bytes an in-place Ogg plan patches; more (a comment that shifts a picture) is
// written as a new file instead.
const size_t kOggMaxPatchBytes = 256 * 1024;

// Makes `inPlace` (empty) the patches that turn `file` into what `newFile` (kPlanNewFile, of
// the same size) makes. False when they would exceed kOggMaxPatchBytes or memory is short.
bool oggPatchesForNewFile(const ByteSource& file, const WritePlan& newFile, WritePlan* inPlace);
