// SPDX-License-Identifier: LGPL-2.1-or-later
// WAV and AIFF files: telling them and reading their rating; see riff_file.h (riff_plan.cpp writes).
#include "rating/riff/riff_file.h"

#include "rating/bytes/range_source.h"
#include "rating/rating.h"
#include "rating/riff/riff_walk.h"
#include "rating/mp3/write_guard.h"

bool isChunkedFile(const ByteSource& file) {
  ChunkedForm form;
  return chunkedFormOf(file, &form);
}

int readChunkedStars(const ByteSource& file) {
  ChunkLayout layout;
  if (walkChunkLayout(file, &layout) != kChunksSound || !layout.hasTag) return 0;
  const SourceRange range = {file, layout.tag.offset + kChunkHeaderSize, layout.tag.size};
  unsigned ratingByte = 0;
  if (planChunkTagRead(rangeSource(&range), &ratingByte) != kRatingReadFromTag) return 0;
  return starsFromRatingByte(ratingByte);
}

const char* chunkedWriteReasonName(int reason) {
  switch (reason) {
    case kChunkedBadStars: return "star count not 0..5";
    case kChunkedNotChunked: return "no WAV or AIFF";
    case kChunkedSizesDisagree: return "form or chunk sizes do not add up";
    case kChunkedTooManyChunks: return "too many chunks";
    case kChunkedTwoTagChunks: return "two ID3 chunks";
    case kChunkedNotAudio: return "no single format and sound chunk";
    case kChunkedListBroken: return "a list chunk mutagen stops at";
    case kChunkedTagChunkUnread: return "AIFF id3 chunk";
    case kChunkedTagRefused: return "write guard refuses the chunk's tag";
    case kChunkedAlreadyStored: return "rating already stored";
    case kChunkedTooLarge: return "tag or file too large";
    case kChunkedPlanNotConfirmed: return "planned file does not read back";
    case kChunkedMemoryShort: return "memory short";
    case kChunkedRatingByte: return "rating byte in place";
    case kChunkedFrameInPadding: return "POPM frame in the tag's padding";
    case kChunkedTagInPlace: return "tag made anew in place";
    case kChunkedTagAnew: return "rewrite: tag made anew in its chunk";
    case kChunkedNewTagChunk: return "rewrite: new ID3 chunk";
  }
  return "unknown";
}
