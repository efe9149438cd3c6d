// SPDX-License-Identifier: LGPL-2.1-or-later
// The planned ASF file walked as any ASF; see asf_check.h.
#include "rating/asf/asf_check.h"

#include <cstring>

#include "rating/asf/asf_attributes.h"
#include "rating/asf/asf_file.h"
#include "rating/bytes/plan_ranges.h"
#include "rating/bytes/source_window.h"

namespace {

struct Sides {
  ByteSource old, planned;
  const WritePlan* plan;
  const AsfLayout* before;
  const AsfLayout* after;
};

// The `length` bytes at `oldAt` in the old file and at `newAt` in the planned one are the same.
bool sameBytes(const Sides& sides, uint64_t oldAt, uint64_t newAt, uint64_t length) {
  const size_t kPiece = 4096;
  unsigned char before[kPiece];
  unsigned char after[kPiece];
  while (length > 0) {
    const size_t piece = length < kPiece ? static_cast<size_t>(length) : kPiece;
    if (readSourceAt(sides.old, oldAt, before, piece) != piece ||
        readSourceAt(sides.planned, newAt, after, piece) != piece || std::memcmp(before, after, piece) != 0)
      return false;
    oldAt += piece;
    newAt += piece;
    length -= piece;
  }
  return true;
}

// Bytes an in-place plan moves are among its patches, which stay few: those are compared.
const uint64_t kMaxComparedBytes = 2 * kAsfMaxPatchBytes;

bool keptWhole(const Sides& sides, uint64_t oldAt, uint64_t newAt, uint64_t length) {
  return planKeepsOldRange(*sides.plan, newAt, oldAt, length) ||
         (length <= kMaxComparedBytes && sameBytes(sides, oldAt, newAt, length));
}

// The attributes of two lists but the rating's, the same bytes in the same order; a list the
// file lacks holds none.
bool sameAttributes(const Sides& sides, const AsfObject* old, const AsfObject* made, AsfPlace place) {
  AsfAttributeWalk oldWalk = AsfAttributeWalk();
  AsfAttributeWalk newWalk = AsfAttributeWalk();
  if (old != nullptr) openAttributeWalk(&oldWalk, sides.old, *old, place);
  if (made != nullptr) openAttributeWalk(&newWalk, sides.planned, *made, place);
  AsfAttribute kept;
  AsfAttribute now;
  for (;;) {
    bool oldMore = false;
    bool newMore = false;
    while (old != nullptr && (oldMore = nextAsfAttribute(&oldWalk, &kept)) && kept.isRating) {
    }
    while (made != nullptr && (newMore = nextAsfAttribute(&newWalk, &now)) && now.isRating) {
    }
    if ((old != nullptr && oldWalk.malformed) || (made != nullptr && newWalk.malformed) || oldMore != newMore)
      return false;
    if (!oldMore) return true;
    if (kept.size != now.size || !keptWhole(sides, kept.offset, now.offset, kept.size)) return false;
  }
}

bool sameObject(const Sides& sides, const AsfObject& old, const AsfObject& made) {
  return old.size == made.size && keptWhole(sides, old.offset, made.offset, old.size);
}

// The File Properties the same but for the file's size, which follows the file's length when
// that changes.
bool sameFileProperties(const Sides& sides, const AsfObject& old, const AsfObject& made) {
  const uint64_t tail = kAsfFileSizeAt + 8;
  const uint64_t expected =
      sides.planned.size != sides.old.size ? sides.planned.size : sides.before->fileSizeField;
  return old.size == made.size && sides.after->fileSizeField == expected &&
         keptWhole(sides, old.offset, made.offset, kAsfFileSizeAt) &&
         keptWhole(sides, old.offset + tail, made.offset + tail, old.size - tail);
}

bool nextKept(AsfObjectWalk* walk, AsfObject* object) {
  while (nextAsfObject(walk, object))
    if (object->kind != kAsfPadding) return true;
  return false;
}

// The Header Extension's objects in order, the same bytes but Padding and the attribute lists.
bool sameExtension(const Sides& sides, const AsfObject& old, const AsfObject& made) {
  // Its reserved GUID and word.
  if (!keptWhole(sides, asfBody(old), asfBody(made), 18)) return false;
  AsfObjectWalk oldWalk;
  AsfObjectWalk newWalk;
  openAsfWalk(&oldWalk, sides.old, asfBody(old) + kAsfExtensionPrefix, asfEnd(old));
  openAsfWalk(&newWalk, sides.planned, asfBody(made) + kAsfExtensionPrefix, asfEnd(made));
  AsfObject kept;
  AsfObject now;
  for (;;) {
    const bool oldMore = nextKept(&oldWalk, &kept);
    const bool newMore = nextKept(&newWalk, &now);
    if (oldWalk.malformed || newWalk.malformed || oldMore != newMore) return false;
    if (!oldMore) return true;
    if (kept.kind != now.kind) return false;
    const bool list = kept.kind == kAsfMetadata || kept.kind == kAsfMetadataLibrary;
    const AsfPlace place = kept.kind == kAsfMetadata ? kAsfInMetadata : kAsfInLibrary;
    if (list ? !sameAttributes(sides, &kept, &now, place) : !sameObject(sides, kept, now)) return false;
  }
}

// The header's objects in order, each kept but for what the rating changes; a new Extended
// Content Description holds nothing but the rating.
bool sameHeader(const Sides& sides) {
  const AsfLayout& before = *sides.before;
  const AsfLayout& after = *sides.after;
  // Its reserved bytes after the count.
  if (!keptWhole(sides, asfBody(before.header) + 4, asfBody(after.header) + 4, 2)) return false;
  if (!before.hasContent && after.hasContent &&
      !sameAttributes(sides, nullptr, &after.content, kAsfInContent))
    return false;
  AsfObjectWalk oldWalk;
  AsfObjectWalk newWalk;
  openAsfWalk(&oldWalk, sides.old, asfBody(before.header) + kAsfHeaderPrefix, asfEnd(before.header));
  openAsfWalk(&newWalk, sides.planned, asfBody(after.header) + kAsfHeaderPrefix, asfEnd(after.header));
  AsfObject kept;
  AsfObject now;
  for (;;) {
    const bool oldMore = nextKept(&oldWalk, &kept);
    bool newMore = nextKept(&newWalk, &now);
    if (newMore && !before.hasContent && now.kind == kAsfExtendedContent) newMore = nextKept(&newWalk, &now);
    if (oldWalk.malformed || newWalk.malformed || oldMore != newMore) return false;
    if (!oldMore) return true;
    if (kept.kind != now.kind) return false;
    bool same = false;
    switch (kept.kind) {
      case kAsfFileProperties:
        same = sameFileProperties(sides, kept, now);
        break;
      case kAsfExtendedContent:
        same = sameAttributes(sides, &kept, &now, kAsfInContent);
        break;
      case kAsfHeaderExtension:
        same = sameExtension(sides, kept, now);
        break;
      default:
        same = sameObject(sides, kept, now);
    }
    if (!same) return false;
  }
}

// Every rating attribute holds the DWORD for `stars`; none is left for 0 stars.
bool ratingsRead(const ByteSource& planned, const AsfRatings& ratings, int stars) {
  if (stars == 0) return ratings.count == 0;
  if (ratings.count == 0) return false;
  for (size_t i = 0; i < ratings.count; ++i) {
    uint64_t number = 0;
    const AsfAttribute& attribute = ratings.found[i];
    if (attribute.type != kAsfDword || !asfAttributeNumber(planned, attribute, &number) ||
        number != kAsfRatingValues[stars])
      return false;
  }
  return starsOfAsfRatings(planned, ratings) == stars;
}

}  // namespace

bool asfPlanReadsBack(const ByteSource& file, const AsfLayout& layout, const WritePlan& plan, int stars) {
  const PlannedFile plannedFile = {&plan, file};
  const ByteSource planned = plannedSource(&plannedFile);
  AsfLayout after;
  AsfRatings ratings;
  if (walkAsfLayout(planned, &after) != kAsfLayoutSound || !findAsfRatings(planned, after, &ratings) ||
      !ratingsRead(planned, ratings, stars))
    return false;
  const Sides sides = {file, planned, &plan, &layout, &after};
  // The data packets and the indexes, whole, however far they moved.
  const uint64_t dataLength = file.size - layout.data.offset;
  return planned.size - after.data.offset == dataLength &&
         planKeepsOldRange(plan, after.data.offset, layout.data.offset, dataLength) && sameHeader(sides);
}
