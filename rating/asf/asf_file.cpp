// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading a WMA file's rating; see asf_file.h.
#include "rating/asf/asf_file.h"

#include <cstring>

#include "rating/asf/asf_attributes.h"
#include "rating/asf/asf_layout.h"
#include "rating/bytes/range_source.h"
#include "rating/bytes/source_window.h"

const uint32_t kAsfRatingValues[6] = {0, 1, 25, 50, 75, 99};

bool isAsfFile(const ByteSource& file) {
  if (startsWithAsfHeader(file)) return true;
  // Behind an ID3v2 tag, as a few taggers leave it: the room's, which refuses it (mutagen does
  // not load it, and the player does not read that tag), so that no MP3 route writes there.
  unsigned char header[10];
  if (readSourceAt(file, 0, header, sizeof header) != sizeof header || std::memcmp(header, "ID3", 3) != 0)
    return false;
  uint64_t size = sizeof header + ((header[5] & 0x10) != 0 ? sizeof header : 0);
  for (int i = 6; i < 10; ++i) size += uint64_t{header[i] & 0x7Fu} << (7 * (9 - i));
  const SourceRange behind = {file, size, file.size > size ? file.size - size : 0};
  return startsWithAsfHeader(rangeSource(&behind));
}

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
