// SPDX-License-Identifier: LGPL-2.1-or-later
// The MP3 room: telling its files and reading their rating; see mp3_file.h (mp3_plan.cpp writes).
#include "rating/mp3/mp3_file.h"

#include "rating/mp3/id3lib_tag.h"
#include "rating/mp3/write_guard.h"
#include "rating/rating.h"

bool isMp3File(const ByteSource& file) { return holdsMpegAudio(file); }

int readMp3Stars(const ByteSource& file) {
  unsigned ratingByte = 0;
  switch (planRatingRead(file, &ratingByte)) {
    case kRatingReadFromTag:
      return starsFromRatingByte(ratingByte);
    case kRatingReadWithId3lib:
      return starsFromRatingByte(id3libRatingByte(file));
    case kRatingReadZero:
      break;
  }
  return 0;
}

const char* mp3WriteReasonName(int reason) {
  return ratingWriteReasonName(static_cast<RatingWriteReason>(reason));
}
