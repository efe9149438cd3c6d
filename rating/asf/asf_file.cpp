// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading a WMA file's rating; see asf_file.h.
#include "rating/asf/asf_file.h"

#include "rating/asf/asf_attributes.h"
#include "rating/asf/asf_layout.h"

const uint32_t kAsfRatingValues[6] = {0, 1, 25, 50, 75, 99};

bool isAsfFile(const ByteSource& file) { return startsWithAsfHeader(file); }

int readAsfStars(const ByteSource& file) {
  AsfLayout layout;
  AsfRatings ratings;
  if (walkAsfLayout(file, &layout) != kAsfLayoutSound || !findAsfRatings(file, layout, &ratings)) return 0;
  return starsOfAsfRatings(file, ratings);
}

const char* asfWriteReasonName(int reason) {
  switch (reason) {
    case kAsfBadStars:
      return "bad star count";
    case kAsfNotAsf:
      return "not ASF";
    case kAsfMalformedObjects:
      return "malformed objects";
    case kAsfHeaderTooLarge:
      return "header too large";
    case kAsfProtected:
      return "protected (DRM)";
    case kAsfUnproven:
      return "a layout the store does not prove";
    case kAsfMalformedAttributes:
      return "malformed attributes";
    case kAsfAlreadyStored:
      return "already stored";
    case kAsfPlanNotConfirmed:
      return "plan not confirmed";
    case kAsfMemoryShort:
      return "memory short";
    case kAsfValueInPlace:
      return "value in place";
    case kAsfFromPadding:
      return "from padding";
    case kAsfPaddingFromAttributes:
      return "padding from attributes";
    case kAsfRewriteHeader:
      return "rewrite, header anew";
    case kAsfRewriteWideChange:
      return "rewrite, wide change";
  }
  return "";
}
