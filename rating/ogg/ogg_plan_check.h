// SPDX-License-Identifier: LGPL-2.1-or-later
// A planned Ogg write checked by walking the file it makes, as a file is walked: every
// header page's CRC, sequence and lacing, the rating read back (plannedCommentMatches: the
// vendor and every other field kept), Vorbis's setup header and
// Opus's binary data as they were, the first page and every audio page untouched.
#pragma once

#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"
#include "rating/ogg/ogg_comment_packet.h"
#include "rating/ogg/ogg_headers.h"

// `buffer` holds kOggMaxPageSize bytes.
bool oggPlanReadsBack(const ByteSource& file, const OggHeaders& headers, const OggCommentTail& tail,
                      const WritePlan& plan, int stars, unsigned char* buffer);
