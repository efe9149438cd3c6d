// SPDX-License-Identifier: LGPL-2.1-or-later
// FLAC files: telling them, and reading their rating; see flac_file.h (flac_plan.cpp writes).
#include "rating/flac/flac_file.h"

#include "rating/flac/flac_walk.h"
#include "rating/vorbis/vorbis_comment.h"

bool isFlacFile(const ByteSource& file, uint64_t* streamStart) { return findFlacStream(file, streamStart); }

int readFlacStars(const ByteSource& file) {
  FlacLayout layout;
  if (!walkFlacLayout(file, &layout) || !layout.hasComment) return 0;
  int stars = 0;
  const uint64_t start = layout.comment.offset + kFlacBlockHeaderSize;
  return readCommentStars(file, start, flacBlockEnd(layout.comment), &stars, nullptr) ? stars : 0;
}

const char* flacWriteReasonName(int reason) {
  switch (reason) {
    case kFlacBadStars: return "star count not 0..5";
    case kFlacNotFlac: return "no FLAC stream";
    case kFlacMalformedMetadata: return "malformed metadata blocks";
    case kFlacMalformedComment: return "malformed comment block";
    case kFlacContentsDisagree: return "comment or picture shorter than its block";
    case kFlacAlreadyStored: return "rating already stored";
    case kFlacCommentTooLarge: return "comment would pass 16 MB";
    case kFlacPlanNotConfirmed: return "planned file does not read back";
    case kFlacMemoryShort: return "memory short";
    case kFlacCommentInPlace: return "comment in place";
    case kFlacCommentFromPadding: return "comment resized into its padding";
    case kFlacPaddingFromComment: return "comment shrank, leaving padding";
    case kFlacNewCommentInPadding: return "new comment block in padding";
    case kFlacRewriteWithPadding: return "rewrite: comment with fresh padding";
    case kFlacRewriteNewComment: return "rewrite: new comment with fresh padding";
    case kFlacRewriteWideChange: return "rewrite: change too wide for in place";
  }
  return "unknown";
}
