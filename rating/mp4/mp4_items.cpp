// SPDX-License-Identifier: LGPL-2.1-or-later
// The items of an `ilst`; see mp4_items.h.
#include "rating/mp4/mp4_items.h"

#include <cstdio>
#include <cstring>

#include "rating/bytes/source_window.h"
#include "rating/vorbis/comment_walk.h"

namespace {

const char kItunesMean[] = "com.apple.iTunes";
// Longer `mean` or `name` strings are no rating's.
const size_t kMaxNameBytes = 32;

bool sameNoCase(const unsigned char* bytes, size_t length, const char* name) {
  if (length != std::strlen(name)) return false;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = bytes[i];
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
    unsigned char n = static_cast<unsigned char>(name[i]);
    if (n >= 'a' && n <= 'z') n = static_cast<unsigned char>(n - 'a' + 'A');
    if (c != n) return false;
  }
  return true;
}

// A `mean` or `name` atom's text (after its version and flags), when short.
bool readFreeformText(const ByteSource& source, const Mp4Atom& atom, unsigned char* text, size_t* length) {
  if (atom.size - atom.headerSize < 4) return false;
  const uint64_t textLength = atom.size - atom.headerSize - 4;
  if (textLength > kMaxNameBytes) return false;
  *length = static_cast<size_t>(textLength);
  return readSourceAt(source, atomBody(atom) + 4, text, *length) == *length;
}

// The first `data` child of an item into item->data, and for a `----` item its kind by
// `mean` and `name`. False when a child breaks the item or the `data` its own prefix.
bool readItemChildren(const ByteSource& source, Mp4Item* item, bool freeform) {
  Mp4AtomWalk walk;
  openAtomWalk(&walk, source, atomBody(item->atom), atomEnd(item->atom), false);
  Mp4Atom child;
  bool itunes = false;
  Mp4ItemKind named = kItemOther;
  while (nextAtom(&walk, &child)) {
    unsigned char text[kMaxNameBytes];
    size_t length = 0;
    if (freeform && child.type == fourCc("mean") && readFreeformText(source, child, text, &length))
      itunes = length == sizeof kItunesMean - 1 && std::memcmp(text, kItunesMean, length) == 0;
    if (freeform && child.type == fourCc("name") && readFreeformText(source, child, text, &length))
      named = sameNoCase(text, length, "RATING")        ? kItemRating
              : sameNoCase(text, length, "FMPS_Rating") ? kItemFmps
                                                        : kItemOther;
    if (child.type != fourCc("data") || item->hasData) continue;
    if (child.size - child.headerSize < kMp4DataPrefix) return false;
    item->hasData = true;
    item->data = child;
  }
  if (walk.malformed) return false;
  if (freeform) item->kind = itunes ? named : kItemOther;
  if (item->kind == kItemOther || !item->hasData) return true;
  unsigned char type[4];
  if (readSourceAt(source, atomBody(item->data), type, 4) != 4) return false;
  item->dataType = bigEndian32Of(type);
  // A RATING or FMPS_Rating of a type the store would not write back as it was is left
  // alone, as any other item.
  const bool text = item->dataType == 0 || item->dataType == kMp4DataUtf8;
  if ((item->kind == kItemFmps && !text) ||
      (item->kind == kItemRating && !text && item->dataType != kMp4DataInteger)) {
    item->kind = kItemOther;
    return true;
  }
  const uint64_t valueLength = item->data.size - item->data.headerSize - kMp4DataPrefix;
  if (valueLength > kMaxItemValueBytes) return true;
  item->valueLength = static_cast<size_t>(valueLength);
  item->valueRead = readSourceAt(source, atomBody(item->data) + kMp4DataPrefix, item->value,
                                 item->valueLength) == item->valueLength;
  return item->valueRead;
}

bool allDigits(const unsigned char* bytes, size_t length) {
  if (length == 0) return false;
  for (size_t i = 0; i < length; ++i)
    if (bytes[i] < '0' || bytes[i] > '9') return false;
  return true;
}

// A 1-, 2- or 4-byte big-endian integer, by the Vorbis comments' rules for a whole number.
int starsOfInteger(const unsigned char* value, size_t length) {
  if (length != 1 && length != 2 && length != 4) return -1;
  uint32_t number = 0;
  for (size_t i = 0; i < length; ++i) number = (number << 8) | value[i];
  char digits[12];
  const int written = std::snprintf(digits, sizeof digits, "%u", number);
  return starsFromRatingValue(kFieldRating, reinterpret_cast<const unsigned char*>(digits),
                              static_cast<size_t>(written));
}

}  // namespace

void openItemWalk(Mp4ItemWalk* walk, const ByteSource& source, const Mp4Atom& ilst) {
  openAtomWalk(&walk->atoms, source, atomBody(ilst), atomEnd(ilst), false);
  walk->malformed = false;
}

bool nextMp4Item(Mp4ItemWalk* walk, Mp4Item* item) {
  if (walk->malformed) return false;
  *item = Mp4Item();
  if (!nextAtom(&walk->atoms, &item->atom)) {
    walk->malformed = walk->atoms.malformed;
    return false;
  }
  const bool freeform = item->atom.type == fourCc("----");
  if (item->atom.type == fourCc("rate")) item->kind = kItemRate;
  if (item->kind == kItemOther && !freeform) return true;
  if (!readItemChildren(walk->atoms.source, item, freeform)) {
    walk->malformed = true;
    return false;
  }
  return true;
}

int starsOfItem(const Mp4Item& item) {
  if (item.kind == kItemOther || !item.valueRead) return -1;
  if (item.kind == kItemRate) {
    const bool digits = allDigits(item.value, item.valueLength);
    return digits ? starsFromRatingValue(kFieldRating, item.value, item.valueLength)
                  : starsOfInteger(item.value, item.valueLength);
  }
  if (item.kind == kItemRating && item.dataType == kMp4DataInteger)
    return starsOfInteger(item.value, item.valueLength);
  return starsFromRatingValue(item.kind == kItemRating ? kFieldRating : kFieldFmpsRating, item.value,
                              item.valueLength);
}

bool readIlstStars(const ByteSource& source, const Mp4Atom& ilst, int* stars) {
  int byKind[4] = {-1, -1, -1, -1};
  Mp4ItemWalk walk;
  openItemWalk(&walk, source, ilst);
  Mp4Item item;
  while (nextMp4Item(&walk, &item)) {
    if (item.kind != kItemOther && byKind[item.kind] < 0) byKind[item.kind] = starsOfItem(item);
  }
  if (walk.malformed) return false;
  *stars = 0;
  static const Mp4ItemKind kOrder[] = {kItemRate, kItemRating, kItemFmps};
  for (const Mp4ItemKind kind : kOrder) {
    if (byKind[kind] >= 0) {
      *stars = byKind[kind];
      break;
    }
  }
  return true;
}
