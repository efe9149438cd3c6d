// SPDX-License-Identifier: LGPL-2.1-or-later
// The header pages of an Ogg stream made anew around a new comment packet, as the spans of
// a new file: the first page, then as many header pages as the stream had (so that every
// audio page keeps its place in the sequence and its bytes), then the rest of the file.
// Each new page is a new header (27 bytes and the lacing) and its body as old stretches of
// the packets' bytes and the comment's few new bytes; its CRC is computed by reading the
// planned page back through the plan, a page at most in memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"
#include "rating/ogg/ogg_headers.h"

enum OggPaginationResult {
  kOggPaginated,
  kOggPaginationNoRoom,  // the header pages cannot hold the packets' lacing values (all full)
  kOggPaginationFailed,  // memory ran short or the plan grew past its limit
};

// Appends to `plan` (empty) the new file: `headers`' stream with its comment packet replaced by
// `comment`, a plan whose spans are the new packet (old stretches in offsets of the old
// comment packet, and its new bytes), and Vorbis's setup header after it as it was.
// Leaves `plan` as kPlanNewFile. `buffer` holds kOggMaxPageSize bytes.
OggPaginationResult paginateOggHeaders(const ByteSource& file, const OggHeaders& headers, const WritePlan& comment,
                                       unsigned char* buffer, WritePlan* plan);
