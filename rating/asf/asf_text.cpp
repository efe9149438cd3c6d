// SPDX-License-Identifier: LGPL-2.1-or-later
// ASF texts as mutagen decodes them; see asf_text.h.
#include "rating/asf/asf_text.h"

namespace {

const size_t kPiece = 4096;

// The `width` bytes at `*at` as a little-endian number, `*at` moved past them; false past `end`.
bool readField(SourceWindow* window, uint64_t* at, uint64_t end, size_t width, uint64_t* value) {
  if (end < *at || end - *at < width) return false;
  const unsigned char* bytes = windowBytes(window, *at, width, kPiece);
  if (bytes == nullptr) return false;
  *value = 0;
  for (size_t i = width; i > 0; --i) *value = (*value << 8) | bytes[i - 1];
  *at += width;
  return true;
}

}  // namespace

bool strictUtf16(SourceWindow* window, uint64_t at, uint64_t length) {
  if (length % 2 != 0) return false;
  bool highPending = false;
  while (length > 0) {
    const size_t piece = length < kPiece ? static_cast<size_t>(length) : kPiece;
    const unsigned char* bytes = windowBytes(window, at, piece, kPiece);
    if (bytes == nullptr) return false;
    for (size_t i = 0; i < piece; i += 2) {
      const unsigned unit = bytes[i] | (bytes[i + 1] << 8);
      const bool high = unit >= 0xD800 && unit <= 0xDBFF;
      const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
      if (highPending != low) return false;
      highPending = high;
    }
    at += piece;
    length -= piece;
  }
  return !highPending;
}

bool contentDescriptionLoads(SourceWindow* window, const AsfObject& object) {
  const uint64_t end = asfEnd(object);
  uint64_t at = asfBody(object);
  uint64_t lengths[5];
  for (uint64_t& length : lengths)
    if (!readField(window, &at, end, 2, &length)) return false;
  for (const uint64_t length : lengths) {
    if (end - at < length || !strictUtf16(window, at, length)) return false;
    at += length;
  }
  return true;
}

bool codecListLoads(SourceWindow* window, const AsfObject& object) {
  const uint64_t end = asfEnd(object);
  uint64_t at = asfBody(object) + 16;  // a reserved GUID
  uint64_t count = 0;
  if (at > end || !readField(window, &at, end, 4, &count)) return false;
  for (uint64_t entry = 0; entry < count; ++entry) {
    uint64_t type = 0;
    uint64_t length = 0;
    if (!readField(window, &at, end, 2, &type)) return false;
    // A name and a description counted in UTF-16 units, then information counted in bytes.
    static const uint64_t kUnits[] = {2, 2, 1};
    for (const uint64_t unit : kUnits) {
      if (!readField(window, &at, end, 2, &length) || end - at < length * unit) return false;
      at += length * unit;
    }
  }
  return true;
}
