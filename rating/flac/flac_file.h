// SPDX-License-Identifier: LGPL-2.1-or-later
// FLAC files: the rating in the VORBIS_COMMENT block, where the player's FLAC decoder reads
// and writes it (vorbis_comment.h). Pure code over a ByteSource: the block headers and the
// comment block are read, a PICTURE or any other block never.
//
// A write plans the comment block anew: in place where the PADDING block after it takes up
// the difference (or it keeps its size); otherwise the file anew, with fresh padding after
// the comment. Every other block and every audio byte stay byte for byte and in order; the
// last-block flag ends up on the last block. An ID3v2 tag some taggers put before "fLaC"
// is passed over and kept.
#pragma once

#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"

// True when the file is a FLAC stream: "fLaC" at its start or after ID3v2 tags there.
// *streamStart (when given) receives where "fLaC" stands.
bool isFlacFile(const ByteSource& file, uint64_t* streamStart);

// The rating (0..5) as the player's FLAC decoder reads it; 0 for none or a broken file.
int readFlacStars(const ByteSource& file);

// Plans storing `stars` (0..5). kPlanNothing with plan->alreadyStored when the file holds
// it already, or with the reason why not.
void planFlacWrite(const ByteSource& file, int stars, WritePlan* plan);

// A short English name of a plan's reason, for the log and the tests.
const char* flacWriteReasonName(int reason);
