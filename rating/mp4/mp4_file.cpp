// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading an MP4 file's rating; see mp4_file.h.
#include "rating/mp4/mp4_file.h"

#include "rating/mp4/mp4_items.h"
#include "rating/mp4/mp4_layout.h"

bool isMp4File(const ByteSource& file) { return startsWithFtyp(file); }

int readMp4Stars(const ByteSource& file) {
  Mp4Layout layout;
  if (walkMp4Layout(file, &layout) != kMp4LayoutSound || !layout.hasIlst) return 0;
  int stars = 0;
  return readIlstStars(file, layout.ilst, &stars) ? stars : 0;
}

const char* mp4WriteReasonName(int reason) {
  switch (reason) {
    case kMp4BadStars:
      return "bad star count";
    case kMp4NotMp4:
      return "not MP4";
    case kMp4MalformedAtoms:
      return "malformed atoms";
    case kMp4Fragmented:
      return "fragmented";
    case kMp4Unproven:
      return "a layout the store does not prove";
    case kMp4MalformedItems:
      return "malformed items";
    case kMp4OffsetsOutsideMdat:
      return "chunk offsets outside mdat";
    case kMp4TablesTooLarge:
      return "chunk offset tables too large";
    case kMp4AlreadyStored:
      return "already stored";
    case kMp4PlanNotConfirmed:
      return "plan not confirmed";
    case kMp4MemoryShort:
      return "memory short";
    case kMp4ItemsInPlace:
      return "items in place";
    case kMp4ItemsFromFree:
      return "items from free room";
    case kMp4FreeFromItems:
      return "free room from items";
    case kMp4RewriteMoovGrows:
      return "rewrite, moov grows";
    case kMp4RewriteShiftOffsets:
      return "rewrite, chunk offsets shifted";
    case kMp4RewriteWideChange:
      return "rewrite, wide change";
  }
  return "";
}
