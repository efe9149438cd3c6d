// SPDX-License-Identifier: LGPL-2.1-or-later
// The attributes of an ASF header; see asf_attributes.h.
#include "rating/asf/asf_attributes.h"

#include <cstring>

#include "rating/asf/asf_text.h"

const unsigned char kAsfRatingName[40] = {'W', 0, 'M', 0, '/', 0, 'S', 0, 'h', 0, 'a', 0, 'r', 0,
                                          'e', 0, 'd', 0, 'U', 0, 's', 0, 'e', 0, 'r', 0, 'R', 0,
                                          'a', 0, 't', 0, 'i', 0, 'n', 0, 'g', 0, 0,   0};

namespace {

const size_t kAhead = 4096;
// Longer text is no rating's number.
const uint32_t kMaxNumberBytes = 64;

// The size a value of `type` must have in `place`; 0 for any.
uint32_t fixedSize(uint16_t type, AsfPlace place) {
  switch (type) {
    case kAsfBool:
      return place == kAsfInContent ? 4 : 2;
    case kAsfDword:
      return 4;
    case kAsfQword:
      return 8;
    case kAsfWord:
      return 2;
  }
  return 0;
}

// The name, with one terminator or more: mutagen and a reader comparing C strings both take
// "WM/SharedUserRating" followed by further NULs for the rating.
bool isRatingName(AsfAttributeWalk* walk, const AsfAttribute& attribute) {
  if (attribute.nameLength < sizeof kAsfRatingName || attribute.nameLength % 2 != 0 || attribute.stream != 0)
    return false;
  const unsigned char* name = windowBytes(&walk->window, attribute.nameAt, sizeof kAsfRatingName, kAhead);
  if (name == nullptr || std::memcmp(name, kAsfRatingName, sizeof kAsfRatingName) != 0) return false;
  const size_t kPiece = 64;
  for (uint64_t at = sizeof kAsfRatingName; at < attribute.nameLength; at += kPiece) {
    const size_t count = static_cast<size_t>(attribute.nameLength - at < kPiece ? attribute.nameLength - at : kPiece);
    const unsigned char* rest = windowBytes(&walk->window, attribute.nameAt + at, count, kAhead);
    if (rest == nullptr) return false;
    for (size_t i = 0; i < count; ++i)
      if (rest[i] != 0) return false;
  }
  return true;
}

// A name mutagen decodes, ending in its terminator; a value of a known type and its size.
bool loads(AsfAttributeWalk* walk, const AsfAttribute& attribute) {
  if (attribute.nameLength < 2 || attribute.type > kAsfGuid) return false;
  const unsigned char* terminator =
      windowBytes(&walk->window, attribute.nameAt + attribute.nameLength - 2, 2, kAhead);
  if (terminator == nullptr || terminator[0] != 0 || terminator[1] != 0 ||
      !strictUtf16(&walk->window, attribute.nameAt, attribute.nameLength))
    return false;
  const uint32_t fixed = fixedSize(attribute.type, attribute.place);
  if (fixed != 0 && attribute.valueLength != fixed) return false;
  return attribute.type != kAsfUnicode ||
         strictUtf16(&walk->window, attribute.valueAt, attribute.valueLength);
}

bool fail(AsfAttributeWalk* walk) {
  walk->malformed = true;
  return false;
}

void addRatings(const ByteSource& source, const AsfObject& list, AsfPlace place, AsfRatings* ratings,
                bool* ok) {
  AsfAttributeWalk walk;
  openAttributeWalk(&walk, source, list, place);
  AsfAttribute attribute;
  while (*ok && nextAsfAttribute(&walk, &attribute)) {
    if (!attribute.isRating) continue;
    if (ratings->count == kAsfMaxRatings)
      *ok = false;
    else
      ratings->found[ratings->count++] = attribute;
  }
  if (walk.malformed) *ok = false;
}

}  // namespace

void openAttributeWalk(AsfAttributeWalk* walk, const ByteSource& source, const AsfObject& list,
                       AsfPlace place) {
  openWindow(&walk->window, source);
  walk->place = place;
  walk->next = asfBody(list) + kAsfListPrefix;
  walk->end = asfEnd(list);
  walk->left = 0;
  walk->malformed = walk->next > walk->end;
  const unsigned char* count =
      walk->malformed ? nullptr : windowBytes(&walk->window, asfBody(list), 2, kAhead);
  if (count == nullptr)
    walk->malformed = true;
  else
    walk->left = littleEndian16Of(count);
}

bool nextAsfAttribute(AsfAttributeWalk* walk, AsfAttribute* attribute) {
  if (walk->malformed) return false;
  if (walk->left == 0) return walk->next == walk->end ? false : fail(walk);
  const bool record = walk->place != kAsfInContent;
  const uint64_t prefix = record ? kAsfRecordPrefix : kAsfDescriptorPrefix;
  if (walk->end - walk->next < prefix) return fail(walk);
  const unsigned char* head = windowBytes(&walk->window, walk->next, static_cast<size_t>(prefix), kAhead);
  if (head == nullptr) return fail(walk);
  *attribute = AsfAttribute();
  attribute->place = walk->place;
  attribute->offset = walk->next;
  attribute->nameAt = walk->next + prefix;
  if (record) {
    attribute->stream = littleEndian16Of(head + 2);
    attribute->nameLength = littleEndian16Of(head + 4);
    attribute->type = littleEndian16Of(head + 6);
    attribute->valueLength = littleEndian32Of(head + 8);
    attribute->valueAt = attribute->nameAt + attribute->nameLength;
    if (walk->end - attribute->nameAt < attribute->nameLength) return fail(walk);
  } else {
    attribute->nameLength = littleEndian16Of(head);
    // The type and the value's length follow the name.
    if (walk->end - attribute->nameAt < uint64_t{attribute->nameLength} + 4) return fail(walk);
    const unsigned char* after =
        windowBytes(&walk->window, attribute->nameAt + attribute->nameLength, 4, kAhead);
    if (after == nullptr) return fail(walk);
    attribute->type = littleEndian16Of(after);
    attribute->valueLength = littleEndian16Of(after + 2);
    attribute->valueAt = attribute->nameAt + attribute->nameLength + 4;
  }
  if (walk->end - attribute->valueAt < attribute->valueLength) return fail(walk);
  attribute->size = attribute->valueAt + attribute->valueLength - attribute->offset;
  if (!loads(walk, *attribute)) return fail(walk);
  attribute->isRating = isRatingName(walk, *attribute);
  walk->next += attribute->size;
  --walk->left;
  return true;
}

bool findAsfRatings(const ByteSource& source, const AsfLayout& layout, AsfRatings* ratings) {
  ratings->count = 0;
  bool ok = true;
  if (layout.hasContent) addRatings(source, layout.content, kAsfInContent, ratings, &ok);
  if (layout.hasMetadata) addRatings(source, layout.metadata, kAsfInMetadata, ratings, &ok);
  if (layout.hasLibrary) addRatings(source, layout.library, kAsfInLibrary, ratings, &ok);
  return ok;
}

bool asfAttributeNumber(const ByteSource& source, const AsfAttribute& attribute, uint64_t* number) {
  const bool integer = attribute.type == kAsfDword || attribute.type == kAsfWord ||
                       attribute.type == kAsfQword || attribute.type == kAsfBool;
  if (integer) return readLittleEndian(source, attribute.valueAt, attribute.valueLength, number);
  if (attribute.type != kAsfUnicode || attribute.valueLength > kMaxNumberBytes) return false;
  unsigned char text[kMaxNumberBytes];
  if (readSourceAt(source, attribute.valueAt, text, attribute.valueLength) != attribute.valueLength)
    return false;
  // Decimal digits, then the terminators.
  size_t units = attribute.valueLength / 2;
  while (units > 0 && text[2 * units - 2] == 0 && text[2 * units - 1] == 0) --units;
  if (units == 0) return false;
  const uint64_t kSaturated = 1000000;
  *number = 0;
  for (size_t i = 0; i < units; ++i) {
    const unsigned unit = text[2 * i] | (text[2 * i + 1] << 8);
    if (unit < '0' || unit > '9') return false;
    *number = *number >= kSaturated ? kSaturated : *number * 10 + (unit - '0');
  }
  return true;
}

int starsOfAsfNumber(uint64_t number) {
  if (number == 0) return 0;
  if (number <= 12) return 1;
  if (number <= 37) return 2;
  if (number <= 62) return 3;
  if (number <= 86) return 4;
  return 5;
}

int starsOfAsfRatings(const ByteSource& source, const AsfRatings& ratings) {
  uint64_t number = 0;
  if (ratings.count == 0 || !asfAttributeNumber(source, ratings.found[0], &number)) return 0;
  return starsOfAsfNumber(number);
}
