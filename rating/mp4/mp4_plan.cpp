// SPDX-License-Identifier: LGPL-2.1-or-later
// Planning an MP4 rating write; see mp4_file.h. The rating items are first planned as
// replacements inside `ilst` (or new `udta`/`meta`/`ilst` atoms); then a `free` atom beside
// them takes up the difference, or `moov` grows and, with the media after it, the chunk
// offsets follow. Laid out as spans, a plan that keeps the file's size is written in place
// as the few bytes that differ.
#include <cstdio>
#include <cstring>

#include "rating/bytes/plan_patches.h"
#include "rating/mp4/mp4_check.h"
#include "rating/mp4/mp4_chunk_offsets.h"
#include "rating/mp4/mp4_edit.h"
#include "rating/mp4/mp4_file.h"
#include "rating/mp4/mp4_items.h"
#include "rating/mp4/mp4_layout.h"

namespace {

void planNothing(WritePlan* plan, Mp4WriteReason reason) {
  releaseWritePlan(plan);
  plan->reason = reason;
  plan->alreadyStored = reason == kMp4AlreadyStored;
}

Mp4WriteReason reasonOf(Mp4LayoutStatus status) {
  switch (status) {
    case kMp4LayoutNotMp4:
      return kMp4NotMp4;
    case kMp4LayoutMalformed:
      return kMp4MalformedAtoms;
    case kMp4LayoutFragmented:
      return kMp4Fragmented;
    case kMp4LayoutSound:
    case kMp4LayoutUnproven:
      break;
  }
  return kMp4Unproven;
}

// Indexes of the path's atoms in the edit, -1 where the file has none.
struct PathIndexes {
  int moov, udta, meta, ilst;
};

// The values the rating items take.
struct RatingTexts {
  char rate[8];  // also RATING's: stars × 20
  size_t rateLength;
  char fraction[4];  // FMPS_Rating's: stars / 5, as the Vorbis comments write FMPS_RATING
  size_t fractionLength;
};

RatingTexts ratingTexts(int stars) {
  RatingTexts texts;
  texts.rateLength = static_cast<size_t>(std::snprintf(texts.rate, sizeof texts.rate, "%d", stars * 20));
  texts.fractionLength = static_cast<size_t>(
      std::snprintf(texts.fraction, sizeof texts.fraction, "%d.%d", stars / 5, (stars % 5) * 2));
  return texts;
}

void putAtomHeader(unsigned char* out, uint32_t size, const char (&type)[5]) {
  putBigEndian32(out, size);
  putBigEndian32(out + 4, fourCc(type));
}

// A `data` atom of `type` and `locale` holding `text`; its length.
size_t dataAtom(unsigned char* out, uint32_t type, uint32_t locale, const char* text, size_t length) {
  putAtomHeader(out, static_cast<uint32_t>(16 + length), "data");
  putBigEndian32(out + 8, type);
  putBigEndian32(out + 12, locale);
  std::memcpy(out + 16, text, length);
  return 16 + length;
}

// `rate` as UTF-8 text; its length.
size_t rateItem(unsigned char* out, const RatingTexts& texts) {
  const size_t data = dataAtom(out + 8, kMp4DataUtf8, 0, texts.rate, texts.rateLength);
  putAtomHeader(out, static_cast<uint32_t>(8 + data), "rate");
  return 8 + data;
}

bool valueIs(const Mp4Item& item, const char* text, size_t length) {
  return item.valueRead && item.valueLength == length && std::memcmp(item.value, text, length) == 0;
}

// An integer `rate` of `number`, as the player reads it (bytes that are all digits it reads
// as text).
bool holdsInteger(const Mp4Item& item, int number) {
  if (item.dataType != kMp4DataInteger || !item.valueRead) return false;
  if (item.valueLength != 1 && item.valueLength != 2 && item.valueLength != 4) return false;
  uint32_t value = 0;
  bool digits = true;
  for (size_t i = 0; i < item.valueLength; ++i) {
    value = (value << 8) | item.value[i];
    digits = digits && item.value[i] >= '0' && item.value[i] <= '9';
  }
  return !digits && value == static_cast<uint32_t>(number);
}

// The `data` of a RATING or FMPS_Rating item set to `value`, its type and locale kept.
void setFreeformValue(const ByteSource& file, const Mp4Item& item, const unsigned char* value, size_t length,
                      int ilst, Mp4Edit* edit) {
  uint32_t locale = 0;
  if (!readBigEndian32(file, atomBody(item.data) + 4, &locale)) {
    edit->failed = true;
    return;
  }
  unsigned char data[16 + sizeof RatingTexts::rate];
  const size_t dataLength =
      dataAtom(data, item.dataType, locale, reinterpret_cast<const char*>(value), length);
  const int itemIndex = addContainer(edit, item.atom, ilst);
  addReplacement(edit, item.data.offset, item.data.size, data, dataLength, itemIndex);
}

// The value a RATING or FMPS_Rating item takes: text, or for a RATING of the integer type
// stars x 20 as an integer as wide as the old one (1, 2 or 4 bytes, else 1).
size_t freeformValue(const Mp4Item& item, const RatingTexts& texts, int stars, unsigned char* value) {
  if (item.kind == kItemFmps) {
    std::memcpy(value, texts.fraction, texts.fractionLength);
    return texts.fractionLength;
  }
  if (item.dataType != kMp4DataInteger) {
    std::memcpy(value, texts.rate, texts.rateLength);
    return texts.rateLength;
  }
  const size_t width =
      item.valueRead && (item.valueLength == 2 || item.valueLength == 4) ? item.valueLength : 1;
  for (size_t i = 0; i < width; ++i) value[i] = static_cast<unsigned char>(i + 1 == width ? stars * 20 : 0);
  return width;
}

// The rating items of an existing `ilst` planned as replacements. False when they are malformed.
bool planItems(const ByteSource& file, const Mp4Atom& ilst, int stars, int ilstIndex, Mp4Edit* edit) {
  const RatingTexts texts = ratingTexts(stars);
  Mp4ItemWalk walk;
  openItemWalk(&walk, file, ilst);
  Mp4Item item;
  bool hasRate = false;
  while (nextMp4Item(&walk, &item)) {
    if (item.kind == kItemOther) continue;
    if (item.kind == kItemRate) hasRate = true;
    if (stars == 0) {
      addReplacement(edit, item.atom.offset, item.atom.size, nullptr, 0, ilstIndex);
    } else if (item.kind == kItemRate) {
      // An integer of the same number reads alike to the player and TagLib: a whole new file
      // for the text form alone would not be worth it. The player's own data type 0 is
      // text no other program reads; it becomes type 1 in place, as long as it was.
      if ((valueIs(item, texts.rate, texts.rateLength) && item.dataType == kMp4DataUtf8) ||
          holdsInteger(item, stars * 20))
        continue;
      unsigned char rate[32];
      addReplacement(edit, item.atom.offset, item.atom.size, rate, rateItem(rate, texts), ilstIndex);
    } else if (item.hasData) {
      unsigned char value[sizeof RatingTexts::rate];
      const size_t length = freeformValue(item, texts, stars, value);
      if (!valueIs(item, reinterpret_cast<const char*>(value), length))
        setFreeformValue(file, item, value, length, ilstIndex, edit);
    }
  }
  if (walk.malformed) return false;
  if (stars > 0 && !hasRate) {
    unsigned char rate[32];
    addReplacement(edit, atomEnd(ilst), 0, rate, rateItem(rate, texts), ilstIndex);
  }
  return true;
}

void addZeroBytes(WritePlan* bytes, uint64_t count) {
  static const unsigned char kZeros[512] = {};
  while (count > 0 && !bytes->failed) {
    const size_t piece = count < sizeof kZeros ? static_cast<size_t>(count) : sizeof kZeros;
    addPlanBytes(bytes, kZeros, piece);
    count -= piece;
  }
}

// A `free` atom of `size` bytes (at least 8), zeros after its header.
void addFreshFreeBytes(WritePlan* bytes, uint32_t size) {
  unsigned char header[8];
  putAtomHeader(header, size, "free");
  addPlanBytes(bytes, header, sizeof header);
  addZeroBytes(bytes, size - 8);
}

// The `udta`, `meta` and `ilst` the file lacks, put in at the end of the deepest one it has,
// holding `rate`, and `fresh` bytes of `free` room after `ilst`.
void planNewPath(const Mp4Layout& layout, int stars, uint32_t fresh, const PathIndexes& path, Mp4Edit* edit) {
  const RatingTexts texts = ratingTexts(stars);
  unsigned char rate[32];
  const size_t rateLength = rateItem(rate, texts);
  const uint32_t ilstSize = static_cast<uint32_t>(8 + rateLength);
  static const unsigned char kHdlrBody[25] = {0, 0, 0, 0, 0, 0, 0, 0, 'm', 'd', 'i', 'r', 'a', 'p', 'p', 'l'};
  const uint32_t metaSize = 8 + 4 + 8 + sizeof kHdlrBody + (layout.hasMeta ? 0 : ilstSize + fresh);
  unsigned char header[12];
  const size_t from = edit->bytes.byteCount;
  if (!layout.hasUdta) {
    putAtomHeader(header, 8 + metaSize, "udta");
    addPlanBytes(&edit->bytes, header, 8);
  }
  if (!layout.hasMeta) {
    putAtomHeader(header, metaSize, "meta");
    putBigEndian32(header + 8, 0);
    addPlanBytes(&edit->bytes, header, 12);
    putAtomHeader(header, 8 + sizeof kHdlrBody, "hdlr");
    addPlanBytes(&edit->bytes, header, 8);
    addPlanBytes(&edit->bytes, kHdlrBody, sizeof kHdlrBody);
  }
  putAtomHeader(header, ilstSize, "ilst");
  addPlanBytes(&edit->bytes, header, 8);
  addPlanBytes(&edit->bytes, rate, rateLength);
  if (fresh > 0) addFreshFreeBytes(&edit->bytes, fresh);
  const Mp4Atom& into = layout.hasMeta ? layout.meta : layout.hasUdta ? layout.udta : layout.moov;
  const int container = layout.hasMeta ? path.meta : layout.hasUdta ? path.udta : path.moov;
  addPlacedReplacement(edit, atomEnd(into), 0, from, edit->bytes.byteCount - from, container);
}

int containerOfFree(Mp4FreePlace place, const PathIndexes& path) {
  switch (place) {
    case kFreeInMeta:
      return path.meta;
    case kFreeInUdta:
      return path.udta;
    case kFreeInMoov:
      return path.moov;
    case kFreeAfterMoov:
      break;
  }
  return -1;
}

// A `free` atom beside the path that takes up `growth`, planned. Those nearest `ilst` first.
bool planFromFree(const Mp4Layout& layout, int64_t growth, const PathIndexes& path, Mp4Edit* edit) {
  uint64_t changedFrom = ~uint64_t{0};
  for (size_t i = 0; i < edit->replacementCount; ++i)
    if (edit->replacements[i].at < changedFrom) changedFrom = edit->replacements[i].at;
  static const Mp4FreePlace kNearestFirst[] = {kFreeInMeta, kFreeInUdta, kFreeInMoov, kFreeAfterMoov};
  for (const Mp4FreePlace place : kNearestFirst) {
    for (size_t i = 0; i < layout.freeCount; ++i) {
      const Mp4Free& free = layout.frees[i];
      if (free.place != place || free.atom.toEnd) continue;
      const int64_t newSize = static_cast<int64_t>(free.atom.size) - growth;
      const int64_t headerSize = free.atom.headerSize;
      if (newSize != 0 && (newSize < headerSize || (headerSize == 8 && newSize > 0xFFFFFFFFll))) continue;
      const int container = containerOfFree(place, path);
      unsigned char header[16];
      putBigEndian32(header, headerSize == 8 ? static_cast<uint32_t>(newSize) : 1);
      putBigEndian32(header + 4, fourCc("free"));
      putBigEndian64(header + 8, static_cast<uint64_t>(newSize));
      const size_t headerLength = static_cast<size_t>(headerSize);
      if (newSize == 0) {
        addReplacement(edit, free.atom.offset, free.atom.size, nullptr, 0, container);
      } else if (free.atom.offset >= changedFrom) {
        // After the change: the free atom's end stays, and with it what it holds there.
        if (growth > 0) {
          addReplacement(edit, free.atom.offset, headerLength + static_cast<uint64_t>(growth), header,
                         headerLength, container);
        } else {
          addReplacement(edit, free.atom.offset, headerLength, header, headerLength, container);
          const size_t at = edit->bytes.byteCount;
          addZeroBytes(&edit->bytes, static_cast<uint64_t>(-growth));
          addPlacedReplacement(edit, free.atom.offset + headerLength, 0, at, static_cast<size_t>(-growth),
                               container);
        }
      } else {
        // Before the change: its start stays; it ends earlier or later.
        addReplacement(edit, free.atom.offset, headerLength, header, headerLength, container);
        if (growth > 0) {
          addReplacement(edit, atomEnd(free.atom) - static_cast<uint64_t>(growth),
                         static_cast<uint64_t>(growth), nullptr, 0, container);
        } else {
          const size_t at = edit->bytes.byteCount;
          addZeroBytes(&edit->bytes, static_cast<uint64_t>(-growth));
          addPlacedReplacement(edit, atomEnd(free.atom), 0, at, static_cast<size_t>(-growth), container);
        }
      }
      return true;
    }
  }
  return false;
}

// The chunk offset tables shifted by what `moov` grows, each turned `co64` where it must.
Mp4WriteReason planShiftedTables(const ByteSource& file, const Mp4Layout& layout, const Mp4TableFacts* facts,
                                 const PathIndexes& path, Mp4Edit* edit) {
  bool wide[kMp4MaxTables];
  bool anyShifts = false;
  for (size_t t = 0; t < layout.tableCount; ++t) {
    wide[t] = layout.tables[t].wide;
    anyShifts = anyShifts || facts[t].shifts;
  }
  if (!anyShifts) return kMp4RewriteMoovGrows;
  if (layout.topLevelMeta) return kMp4Unproven;
  const int64_t itemsGrowth = editGrowth(*edit);
  int64_t growth = 0;
  uint64_t tableBytes = 0;
  for (bool settled = false; !settled;) {
    settled = true;
    growth = itemsGrowth;
    tableBytes = 0;
    for (size_t t = 0; t < layout.tableCount; ++t) {
      if (!facts[t].shifts) continue;
      const uint64_t size = 16 + uint64_t{layout.tables[t].count} * (wide[t] ? 8 : 4);
      growth += static_cast<int64_t>(size) - static_cast<int64_t>(layout.tables[t].table.size);
      tableBytes += size;
    }
    for (size_t t = 0; t < layout.tableCount; ++t) {
      if (facts[t].shifts && !wide[t] &&
          facts[t].largestShifted + static_cast<uint64_t>(growth) > 0xFFFFFFFFull) {
        wide[t] = true;
        settled = false;
      }
    }
  }
  if (tableBytes > kMp4MaxTableBytes) return kMp4TablesTooLarge;
  for (size_t t = 0; t < layout.tableCount && !edit->failed; ++t) {
    if (!facts[t].shifts) continue;
    const Mp4ChunkTable& table = layout.tables[t];
    const int trak = addContainer(edit, table.trak, path.moov);
    const int mdia = addContainer(edit, table.mdia, trak);
    const int minf = addContainer(edit, table.minf, mdia);
    const int stbl = addContainer(edit, table.stbl, minf);
    addShiftedTable(file, table, atomEnd(layout.moov), static_cast<uint64_t>(growth), wide[t], edit, stbl);
  }
  if (!edit->failed && editGrowth(*edit) != growth) return kMp4PlanNotConfirmed;
  return kMp4RewriteShiftOffsets;
}

// The rating's replacements for `stars`, with `fresh` bytes of new `free` room after `ilst`.
bool planRatingEdit(const ByteSource& file, const Mp4Layout& layout, int stars, uint32_t fresh, Mp4Edit* edit,
                    PathIndexes* path) {
  path->moov = addContainer(edit, layout.moov, -1);
  path->udta = layout.hasUdta ? addContainer(edit, layout.udta, path->moov) : -1;
  path->meta = layout.hasMeta ? addContainer(edit, layout.meta, path->udta) : -1;
  path->ilst = layout.hasIlst ? addContainer(edit, layout.ilst, path->meta) : -1;
  if (!layout.hasIlst) {
    if (stars > 0) planNewPath(layout, stars, fresh, *path, edit);
    return true;
  }
  if (!planItems(file, layout.ilst, stars, path->ilst, edit)) return false;
  if (fresh > 0 && edit->replacementCount > 0) {
    const size_t from = edit->bytes.byteCount;
    addFreshFreeBytes(&edit->bytes, fresh);
    addPlacedReplacement(edit, atomEnd(layout.ilst), 0, from, fresh, path->meta);
  }
  return true;
}

// The planned edit as the plan: in place when it keeps the file's size and the patches
// stay few, otherwise as the new file.
void planOfEdit(const ByteSource& file, const Mp4Edit& edit, Mp4WriteReason route, WritePlan* plan) {
  WritePlan spans;
  initWritePlan(&spans);
  if (!layOutEdit(edit, file.size, &spans)) {
    const bool memoryShort = spans.failed;
    releaseWritePlan(&spans);
    return planNothing(plan, memoryShort ? kMp4MemoryShort : kMp4Unproven);
  }
  // In place, what lies between the first and the last replacement moves: a large item
  // (a cover) among it is not read and compared, the file is written anew.
  uint64_t first = ~uint64_t{0};
  uint64_t last = 0;
  for (size_t i = 0; i < edit.replacementCount; ++i) {
    const Mp4Replacement& r = edit.replacements[i];
    if (r.at < first) first = r.at;
    if (r.at + r.oldLength > last) last = r.at + r.oldLength;
  }
  const bool narrow = last - first <= kMp4MaxPatchBytes;
  const bool inPlaceRoute =
      route == kMp4ItemsInPlace || route == kMp4ItemsFromFree || route == kMp4FreeFromItems;
  const bool inPlace = inPlaceRoute && narrow;
  if (inPlace && patchesFromSpans(file, spans, kMp4MaxPatchBytes, plan)) {
    releaseWritePlan(&spans);
    plan->kind = kPlanInPlace;
    plan->newSize = file.size;
  } else {
    if (inPlaceRoute) route = kMp4RewriteWideChange;
    releaseWritePlan(plan);
    *plan = spans;
  }
  plan->reason = route;
  plan->oldSize = file.size;
  plan->ratingOffset = kNoRatingOffset;
  if (plan->failed) planNothing(plan, kMp4MemoryShort);
}

}  // namespace

void planMp4Write(const ByteSource& file, int stars, WritePlan* plan) {
  planNothing(plan, kMp4BadStars);
  if (stars < 0 || stars > 5) return;
  Mp4Layout layout;
  const Mp4LayoutStatus status = walkMp4Layout(file, &layout);
  if (status != kMp4LayoutSound) return planNothing(plan, reasonOf(status));
  Mp4TableFacts facts[kMp4MaxTables];
  if (!chunkOffsetsInMdat(file, layout, facts)) return planNothing(plan, kMp4OffsetsOutsideMdat);

  Mp4Edit edit;
  initMp4Edit(&edit);
  PathIndexes path;
  Mp4WriteReason route = kMp4ItemsInPlace;
  if (!planRatingEdit(file, layout, stars, 0, &edit, &path)) {
    releaseMp4Edit(&edit);
    return planNothing(plan, edit.failed ? kMp4MemoryShort : kMp4MalformedItems);
  }
  if (edit.replacementCount == 0) {
    releaseMp4Edit(&edit);
    return planNothing(plan, kMp4AlreadyStored);
  }
  const int64_t growth = editGrowth(edit);
  if (growth != 0 && planFromFree(layout, growth, path, &edit)) {
    route = kMp4ItemsFromFree;
  } else if (growth <= -8 && layout.hasIlst) {
    // No free room to give it to: what the items shrank by becomes some.
    const size_t from = edit.bytes.byteCount;
    addFreshFreeBytes(&edit.bytes, static_cast<uint32_t>(-growth));
    addPlacedReplacement(&edit, atomEnd(layout.ilst), 0, from, static_cast<size_t>(-growth), path.meta);
    route = kMp4FreeFromItems;
  } else if (growth != 0) {
    releaseMp4Edit(&edit);
    initMp4Edit(&edit);
    planRatingEdit(file, layout, stars, kMp4FreshFree, &edit, &path);
    route = planShiftedTables(file, layout, facts, path, &edit);
  }
  if (edit.failed) route = kMp4MemoryShort;
  if (route == kMp4ItemsInPlace || route == kMp4ItemsFromFree || route == kMp4FreeFromItems ||
      route == kMp4RewriteMoovGrows || route == kMp4RewriteShiftOffsets)
    planOfEdit(file, edit, route, plan);
  else
    planNothing(plan, route);
  releaseMp4Edit(&edit);
  if (plan->kind != kPlanNothing && !mp4PlanReadsBack(file, layout, *plan, stars))
    planNothing(plan, kMp4PlanNotConfirmed);
}
