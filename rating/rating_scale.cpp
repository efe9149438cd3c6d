// SPDX-License-Identifier: LGPL-2.1-or-later
// The star scale: which rating byte each star count writes, and back.
#include "rating/rating.h"

#include <cstdint>

const int RatingScale[6] = {0, 1, 64, 128, 160, 255};

namespace {

// The lowest byte of 1..5 stars as the player itself, Explorer and most taggers read
// them: 4 stars written by any of them (196) reads as 4 here too. Every byte of
// RatingScale reads as its own star count.
const int kLowestByteOfStars[5] = {1, 32, 96, 160, 224};

}  // namespace

int starsFromRatingByte(unsigned value) {
  const int32_t signedValue = static_cast<int32_t>(value);
  int stars = 0;
  while (stars < 5 && kLowestByteOfStars[stars] <= signedValue) ++stars;
  return stars;
}
