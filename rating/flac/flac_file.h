// SPDX-License-Identifier: LGPL-2.1-or-later
// FLAC files: the rating in the VORBIS_COMMENT block, where the player's FLAC decoder reads
// and writes it (vorbis_comment.h). Pure code over a ByteSource: the block headers and the
// comment block are read, a PICTURE or any other block never.
//
// A write plans the comment block anew: in place where the PADDING block after it takes up
// the difference (or it keeps its size, or shrinks by enough to leave a padding block);
// otherwise the file anew, with fresh padding after the comment. Every other block and every audio byte stay byte for byte and in order; the
// last-block flag ends up on the last block. An ID3v2 tag some taggers put before "fLaC"
// is passed over and kept.
#pragma once

#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"

// Why planFlacWrite planned what it did.
enum FlacWriteReason {
  kFlacBadStars,             // nothing: the star count is not 0..5
  kFlacNotFlac,              // nothing: no "fLaC" at the start or after ID3v2 tags there
  kFlacMalformedMetadata,    // nothing: a block past the end, a last-block flag missing or early, ...
  kFlacMalformedComment,     // nothing: a count or length the block cannot hold, or 1000+ rating fields
  kFlacContentsDisagree,     // nothing: a comment or picture ends before its block does; mutagen reads on there
  kFlacAlreadyStored,        // nothing: the comment holds the rating, its fields agree
  kFlacCommentTooLarge,      // nothing: the new comment would pass a block's 16 MB
  kFlacPlanNotConfirmed,     // nothing: the planned file does not read back as planned
  kFlacMemoryShort,          // nothing: memory ran short while planning
  kFlacCommentInPlace,       // in place: the comment keeps its size
  kFlacCommentFromPadding,   // in place: the padding after the comment takes up the difference
  kFlacPaddingFromComment,   // in place: the comment shrank; what it gave up is a padding block
  kFlacNewCommentInPadding,  // in place: a new comment block at the start of a padding block
  kFlacRewriteWithPadding,   // new file: the comment with fresh padding after it
  kFlacRewriteNewComment,    // new file: a new comment block with fresh padding after it
  kFlacRewriteWideChange,    // new file: in place, the patches would have spanned too much
};

// The padding a rewrite puts after the comment block: a rating change grows the comment by
// at most 14 bytes ("RATING=100" added with its length), so it fits some 290 times over,
// while costing 4 KB, under 0.02 % of a three-minute track.
const uint32_t kFlacFreshPadding = 4096;

// In-place patches of more bytes than this are carried out as a new file instead.
const uint64_t kFlacMaxPatchBytes = 64 * 1024;

// True when the file is a FLAC stream: "fLaC" at its start or after ID3v2 tags there.
// *streamStart (when given) receives where "fLaC" stands.
bool isFlacFile(const ByteSource& file, uint64_t* streamStart);

// The rating (0..5) as the player's FLAC decoder reads it; 0 for none or a broken file.
int readFlacStars(const ByteSource& file);

// Plans storing `stars` (0..5) into `plan`, as initWritePlan leaves it. kPlanNothing with
// plan->alreadyStored when the file holds it already, or with the reason (FlacWriteReason)
// why not. Every plan is walked as the file it makes before it is handed over.
void planFlacWrite(const ByteSource& file, int stars, WritePlan* plan);

// A short English name of a plan's reason, for the log and the tests.
const char* flacWriteReasonName(int reason);
