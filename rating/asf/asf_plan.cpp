// SPDX-License-Identifier: LGPL-2.1-or-later
// Planning an ASF rating write; see asf_file.h. The rating attributes are first planned as
// replacements (a DWORD's four bytes, an attribute of another type made a DWORD, each removed
// for 0 stars, a new descriptor, or a new Extended Content Description holding it); then a
// Padding object takes up the difference, or what the attributes gave up becomes one, or the
// header is made anew with fresh padding. Laid out as spans, a plan that keeps the file's size
// is written in place as the few bytes that differ.
#include <cstring>

#include "rating/asf/asf_attributes.h"
#include "rating/asf/asf_check.h"
#include "rating/asf/asf_edit.h"
#include "rating/asf/asf_file.h"
#include "rating/asf/asf_layout.h"
#include "rating/bytes/plan_patches.h"

namespace {

void planNothing(WritePlan* plan, AsfWriteReason reason) {
  releaseWritePlan(plan);
  plan->reason = reason;
  plan->alreadyStored = reason == kAsfAlreadyStored;
}

AsfWriteReason reasonOf(AsfLayoutStatus status) {
  switch (status) {
    case kAsfLayoutNotAsf:
      return kAsfNotAsf;
    case kAsfLayoutMalformed:
      return kAsfMalformedObjects;
    case kAsfLayoutTooLarge:
      return kAsfHeaderTooLarge;
    case kAsfLayoutProtected:
      return kAsfProtected;
    case kAsfLayoutSound:
    case kAsfLayoutUnproven:
      break;
  }
  return kAsfUnproven;
}

// Indexes of the objects in the edit, -1 where the file has none.
struct Containers {
  int header, extension, content, metadata, library;
};

int containerOf(AsfPlace place, const Containers& containers) {
  switch (place) {
    case kAsfInContent:
      return containers.content;
    case kAsfInMetadata:
      return containers.metadata;
    case kAsfInLibrary:
      break;
  }
  return containers.library;
}

// An attribute list as a container, with its count.
int addList(const ByteSource& file, const AsfObject& list, int parent, AsfEdit* edit) {
  uint64_t count = 0;
  if (!readLittleEndian(file, asfBody(list), 2, &count)) edit->failed = true;
  return addAsfContainer(edit, list, parent, kAsfCount16, static_cast<uint32_t>(count));
}

Containers addContainers(const ByteSource& file, const AsfLayout& layout, AsfEdit* edit) {
  Containers c;
  c.header = addAsfContainer(edit, layout.header, -1, kAsfCount32, layout.objectCount);
  c.extension = layout.hasExtension ? addAsfContainer(edit, layout.extension, c.header, kAsfNoCount, 0) : -1;
  c.content = layout.hasContent ? addList(file, layout.content, c.header, edit) : -1;
  c.metadata = layout.hasMetadata ? addList(file, layout.metadata, c.extension, edit) : -1;
  c.library = layout.hasLibrary ? addList(file, layout.library, c.extension, edit) : -1;
  return c;
}

const size_t kDescriptorBytes = kAsfDescriptorPrefix + sizeof kAsfRatingName + 8;
const size_t kRecordBytes = kAsfRecordPrefix + sizeof kAsfRatingName + 4;
const size_t kNewContentPrefix = kAsfObjectHeader + kAsfListPrefix;

// The rating descriptor holding `value` as a DWORD; its length.
size_t ratingDescriptor(uint32_t value, unsigned char* out) {
  putLittleEndian16(out, sizeof kAsfRatingName);
  std::memcpy(out + 2, kAsfRatingName, sizeof kAsfRatingName);
  putLittleEndian16(out + 42, kAsfDword);
  putLittleEndian16(out + 44, 4);
  putLittleEndian32(out + 46, value);
  return kDescriptorBytes;
}

// The rating attribute `attribute` as a DWORD of `value`: a record keeps its first word (the
// language) and its stream. False when that word cannot be read.
bool asDword(const ByteSource& file, const AsfAttribute& attribute, uint32_t value, unsigned char* out,
             size_t* length) {
  if (attribute.place == kAsfInContent) {
    *length = ratingDescriptor(value, out);
    return true;
  }
  uint64_t first = 0;
  if (!readLittleEndian(file, attribute.offset, 2, &first)) return false;
  putLittleEndian16(out, static_cast<uint16_t>(first));
  putLittleEndian16(out + 2, attribute.stream);
  putLittleEndian16(out + 4, sizeof kAsfRatingName);
  putLittleEndian16(out + 6, kAsfDword);
  putLittleEndian32(out + 8, 4);
  std::memcpy(out + 12, kAsfRatingName, sizeof kAsfRatingName);
  putLittleEndian32(out + 52, value);
  *length = kRecordBytes;
  return true;
}

// The existing rating attributes planned for `stars`: each removed for 0, a DWORD's bytes set,
// one of another type made a DWORD. False when one cannot be read.
bool planExisting(const ByteSource& file, const AsfRatings& ratings, int stars, const Containers& c,
                  AsfEdit* edit) {
  const uint32_t value = kAsfRatingValues[stars];
  for (size_t i = 0; i < ratings.count; ++i) {
    const AsfAttribute& attribute = ratings.found[i];
    const int container = containerOf(attribute.place, c);
    if (stars == 0) {
      addAsfReplacement(edit, attribute.offset, attribute.size, nullptr, 0, container, -1);
      continue;
    }
    uint64_t number = 0;
    const bool dword = attribute.type == kAsfDword && attribute.valueLength == 4;
    if (dword && asfAttributeNumber(file, attribute, &number) && number == value) continue;
    unsigned char bytes[kRecordBytes];
    size_t length = 4;
    if (dword) {
      putLittleEndian32(bytes, value);
      addAsfReplacement(edit, attribute.valueAt, 4, bytes, length, container, 0);
    } else if (asDword(file, attribute, value, bytes, &length)) {
      addAsfReplacement(edit, attribute.offset, attribute.size, bytes, length, container, 0);
    } else {
      return false;
    }
  }
  return true;
}

// Bytes a new rating adds: a descriptor, in an Extended Content Description of its own when
// the file has none.
int64_t newRatingBytes(const AsfLayout& layout) {
  return static_cast<int64_t>(kDescriptorBytes + (layout.hasContent ? 0 : kNewContentPrefix));
}

// Where a new rating goes: at the start or the end of the Extended Content Description (the
// side of the padding that makes room for it), or a new one at `newObjectAt`.
uint64_t newRatingAt(const AsfLayout& layout, bool atStart, uint64_t newObjectAt) {
  if (!layout.hasContent) return newObjectAt;
  return atStart ? asfBody(layout.content) + kAsfListPrefix : asfEnd(layout.content);
}

void addNewRating(const AsfLayout& layout, const Containers& c, int stars, uint64_t at, AsfEdit* edit) {
  unsigned char bytes[kNewContentPrefix + kDescriptorBytes];
  const size_t length = ratingDescriptor(kAsfRatingValues[stars], bytes + kNewContentPrefix);
  if (layout.hasContent) {
    addAsfReplacement(edit, at, 0, bytes + kNewContentPrefix, length, c.content, 1);
    return;
  }
  std::memcpy(bytes, asfGuidOf(kAsfExtendedContent), 16);
  putLittleEndian64(bytes + 16, kNewContentPrefix + length);
  putLittleEndian16(bytes + kAsfObjectHeader, 1);
  addAsfReplacement(edit, at, 0, bytes, kNewContentPrefix + length, c.header, 1);
}

// `count` zero bytes put in at `at`.
void addZeros(AsfEdit* edit, uint64_t at, uint64_t count, int container) {
  static const unsigned char kZeros[512] = {};
  const size_t from = edit->bytes.byteCount;
  for (uint64_t left = count; left > 0 && !edit->bytes.failed;) {
    const size_t piece = left < sizeof kZeros ? static_cast<size_t>(left) : sizeof kZeros;
    addPlanBytes(&edit->bytes, kZeros, piece);
    left -= piece;
  }
  addAsfReplacement(edit, at, 0, nullptr, 0, container, 0);
  if (edit->failed || edit->bytes.failed) {
    edit->failed = true;
    return;
  }
  // The bytes stand in the edit already.
  edit->replacements[edit->replacementCount - 1].from = from;
  edit->replacements[edit->replacementCount - 1].length = static_cast<size_t>(count);
}

// A Padding object's header of `size` in place of the `oldLength` bytes at `at`.
void addPaddingHeader(AsfEdit* edit, uint64_t at, uint64_t oldLength, uint64_t size, int container,
                      int countChange) {
  unsigned char header[kAsfObjectHeader];
  std::memcpy(header, asfGuidOf(kAsfPadding), 16);
  putLittleEndian64(header + 16, size);
  addAsfReplacement(edit, at, oldLength, header, sizeof header, container, countChange);
}

// A new Padding object of `size` bytes at `at`.
void addPadding(AsfEdit* edit, uint64_t at, uint64_t size, int container, int countChange) {
  addPaddingHeader(edit, at, 0, size, container, countChange);
  addZeros(edit, at, size - kAsfObjectHeader, container);
}

bool paddingFits(const AsfPadding& padding, int64_t growth) {
  const int64_t size = static_cast<int64_t>(padding.object.size) - growth;
  return size == 0 ||
         (size >= static_cast<int64_t>(kAsfObjectHeader) && size <= static_cast<int64_t>(kAsfMaxObjectSize));
}

// Where the change lands when `padding` takes it up: the new rating's place, or the first
// replacement's.
uint64_t changeAt(const AsfLayout& layout, const AsfEdit& edit, bool adds, const AsfPadding& padding) {
  if (adds) {
    const uint64_t newObjectAt = padding.inExtension ? asfEnd(layout.extension) : padding.object.offset;
    return newRatingAt(layout, padding.object.offset < layout.content.offset, newObjectAt);
  }
  uint64_t first = ~uint64_t{0};
  for (size_t i = 0; i < edit.replacementCount; ++i)
    if (edit.replacements[i].at < first) first = edit.replacements[i].at;
  return first;
}

// The Padding object that takes up `growth` with the fewest bytes moved between it and the
// change, or null.
const AsfPadding* paddingFor(const AsfLayout& layout, const AsfEdit& edit, bool adds, int64_t growth) {
  const AsfPadding* best = nullptr;
  uint64_t bestDistance = 0;
  for (size_t i = 0; i < layout.paddingCount; ++i) {
    const AsfPadding& padding = layout.paddings[i];
    if (!paddingFits(padding, growth)) continue;
    const uint64_t at = changeAt(layout, edit, adds, padding);
    const uint64_t distance =
        at > padding.object.offset ? at - padding.object.offset : padding.object.offset - at;
    if (best == nullptr || distance < bestDistance) {
      best = &padding;
      bestDistance = distance;
    }
  }
  return best;
}

// `padding` shrinks (or grows) by `growth`: from the side where the change lies, so that
// what lies beyond it stays; gone when it is used up exactly.
void takeFromPadding(const AsfPadding& padding, int64_t growth, const Containers& c, AsfEdit* edit) {
  const AsfObject& object = padding.object;
  const int container = padding.inExtension ? c.extension : c.header;
  const uint64_t size = object.size - static_cast<uint64_t>(growth);
  if (size == 0) {
    addAsfReplacement(edit, object.offset, object.size, nullptr, 0, container, padding.inExtension ? 0 : -1);
    return;
  }
  uint64_t changedFrom = ~uint64_t{0};
  for (size_t i = 0; i < edit->replacementCount; ++i)
    if (edit->replacements[i].at < changedFrom) changedFrom = edit->replacements[i].at;
  const uint64_t taken = growth > 0 ? static_cast<uint64_t>(growth) : 0;
  const uint64_t given = growth < 0 ? static_cast<uint64_t>(-growth) : 0;
  if (object.offset >= changedFrom) {
    addPaddingHeader(edit, object.offset, kAsfObjectHeader + taken, size, container, 0);
    if (given > 0) addZeros(edit, asfBody(object), given, container);
    return;
  }
  addPaddingHeader(edit, object.offset, kAsfObjectHeader, size, container, 0);
  if (taken > 0) addAsfReplacement(edit, asfEnd(object) - taken, taken, nullptr, 0, container, 0);
  if (given > 0) addZeros(edit, asfEnd(object), given, container);
}

// The object that holds the first replacement, and the container it lies in.
void firstChanged(const AsfLayout& layout, const AsfRatings& ratings, const Containers& c, AsfObject* object,
                  int* parent) {
  const AsfPlace place = ratings.found[0].place;
  *object = place == kAsfInContent    ? layout.content
            : place == kAsfInMetadata ? layout.metadata
                                      : layout.library;
  *parent = place == kAsfInContent ? c.header : c.extension;
}

// The edit without room: the header made anew, fresh padding after the Extended Content
// Description (or at the header's end), where the next rating goes in place.
void planRewrite(const ByteSource& file, const AsfLayout& layout, const AsfRatings& ratings, int stars,
                 AsfEdit* edit) {
  releaseAsfEdit(edit);
  initAsfEdit(edit, layout.fileProperties.offset + kAsfFileSizeAt);
  const Containers c = addContainers(file, layout, edit);
  if (!planExisting(file, ratings, stars, c, edit)) edit->failed = true;
  if (stars > 0 && ratings.count == 0)
    addNewRating(layout, c, stars, newRatingAt(layout, false, asfEnd(layout.header)), edit);
  const uint64_t freshAt = layout.hasContent ? asfEnd(layout.content) : asfEnd(layout.header);
  addPadding(edit, freshAt, kAsfFreshPadding, c.header, 1);
}

// The planned edit as the plan: in place when it keeps the file's size and the patches stay
// few, otherwise as the new file.
void planOfEdit(const ByteSource& file, const AsfEdit& edit, AsfWriteReason route, WritePlan* plan) {
  WritePlan spans;
  initWritePlan(&spans);
  if (!layOutAsfEdit(edit, file.size, &spans)) {
    const bool memoryShort = spans.failed || edit.failed;
    releaseWritePlan(&spans);
    return planNothing(plan, memoryShort ? kAsfMemoryShort : kAsfUnproven);
  }
  // In place, what lies between the first and the last replacement moves: a large attribute
  // (a picture) among it is not read and compared, the file is written anew.
  uint64_t first = ~uint64_t{0};
  uint64_t last = 0;
  for (size_t i = 0; i < edit.replacementCount; ++i) {
    const AsfReplacement& r = edit.replacements[i];
    if (r.at < first) first = r.at;
    if (r.at + r.oldLength > last) last = r.at + r.oldLength;
  }
  const bool inPlaceRoute =
      route == kAsfValueInPlace || route == kAsfFromPadding || route == kAsfPaddingFromAttributes;
  if (inPlaceRoute && last - first <= kAsfMaxPatchBytes &&
      patchesFromSpans(file, spans, kAsfMaxPatchBytes, plan)) {
    releaseWritePlan(&spans);
    plan->kind = kPlanInPlace;
    plan->newSize = file.size;
  } else {
    if (inPlaceRoute) route = kAsfRewriteWideChange;
    releaseWritePlan(plan);
    *plan = spans;
  }
  plan->reason = route;
  plan->oldSize = file.size;
  plan->ratingOffset = kNoRatingOffset;
  if (plan->failed) planNothing(plan, kAsfMemoryShort);
}

// The route for the planned attributes, the rest of the edit planned with it.
AsfWriteReason planRoom(const ByteSource& file, const AsfLayout& layout, const AsfRatings& ratings, int stars,
                        const Containers& c, AsfEdit* edit) {
  const bool adds = stars > 0 && ratings.count == 0;
  const int64_t growth = asfEditGrowth(*edit) + (adds ? newRatingBytes(layout) : 0);
  if (growth == 0) return kAsfValueInPlace;
  // Room given up beyond what a patch may hold is simply dropped, in a new header.
  if (growth >= -static_cast<int64_t>(kAsfMaxPatchBytes)) {
    const AsfPadding* padding = paddingFor(layout, *edit, adds, growth);
    if (padding != nullptr) {
      if (adds) addNewRating(layout, c, stars, changeAt(layout, *edit, true, *padding), edit);
      takeFromPadding(*padding, growth, c, edit);
      return kAsfFromPadding;
    }
    if (growth <= -static_cast<int64_t>(kAsfObjectHeader)) {
      AsfObject changed;
      int parent = -1;
      firstChanged(layout, ratings, c, &changed, &parent);
      addPadding(edit, asfEnd(changed), static_cast<uint64_t>(-growth), parent, parent == c.header ? 1 : 0);
      return kAsfPaddingFromAttributes;
    }
  }
  planRewrite(file, layout, ratings, stars, edit);
  return kAsfRewriteHeader;
}

}  // namespace

void planAsfWrite(const ByteSource& file, int stars, WritePlan* plan) {
  planNothing(plan, kAsfBadStars);
  if (stars < 0 || stars > 5) return;
  AsfLayout layout;
  const AsfLayoutStatus status = walkAsfLayout(file, &layout);
  if (status != kAsfLayoutSound) return planNothing(plan, reasonOf(status));
  AsfRatings ratings;
  if (!findAsfRatings(file, layout, &ratings)) return planNothing(plan, kAsfMalformedAttributes);

  AsfEdit edit;
  initAsfEdit(&edit, layout.fileProperties.offset + kAsfFileSizeAt);
  const Containers c = addContainers(file, layout, &edit);
  if (!planExisting(file, ratings, stars, c, &edit)) edit.failed = true;
  const bool adds = stars > 0 && ratings.count == 0;
  if (!edit.failed && !adds && edit.replacementCount == 0) {
    releaseAsfEdit(&edit);
    return planNothing(plan, kAsfAlreadyStored);
  }
  AsfWriteReason route = edit.failed ? kAsfMemoryShort : planRoom(file, layout, ratings, stars, c, &edit);
  if (edit.failed) route = kAsfMemoryShort;
  if (route != kAsfMemoryShort &&
      layout.header.size + static_cast<uint64_t>(asfEditGrowth(edit)) > kAsfMaxHeaderBytes)
    route = kAsfHeaderTooLarge;
  if (route == kAsfMemoryShort || route == kAsfHeaderTooLarge)
    planNothing(plan, route);
  else
    planOfEdit(file, edit, route, plan);
  releaseAsfEdit(&edit);
  if (plan->kind != kPlanNothing && !asfPlanReadsBack(file, layout, *plan, stars))
    planNothing(plan, kAsfPlanNotConfirmed);
}
