// SPDX-License-Identifier: LGPL-2.1-or-later
// The star scale: which rating byte each star count writes, and back.
#include "rating/rating.h"

#include <cstdint>

const int RatingScale[6] = {0, 1, 64, 128, 160, 255};

int starsFromRatingByte(unsigned value) {
  const int32_t signedValue = static_cast<int32_t>(value);
  int stars = 0;
  while (stars < 5 && RatingScale[stars] < signedValue) ++stars;
  return stars;
}
