// SPDX-License-Identifier: LGPL-2.1-or-later
// One Ogg page; see ogg_page.h.
#include "rating/ogg/ogg_page.h"

#include <ogg/ogg.h>

#include <cstring>

namespace {

uint32_t littleEndian32(const unsigned char* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

}  // namespace

bool readOggPageHeader(SourceWindow* window, uint64_t offset, OggPageHeader* page) {
  // The lacing values are read with the fixed part when the window can.
  const unsigned char* fixed = windowBytes(window, offset, kOggPageHeaderSize, 255);
  if (fixed == nullptr || std::memcmp(fixed, "OggS", 4) != 0 || fixed[4] != 0 || (fixed[5] & ~7) != 0)
    return false;
  page->offset = offset;
  page->flags = fixed[5];
  page->granule = uint64_t{littleEndian32(fixed + 6)} | uint64_t{littleEndian32(fixed + 10)} << 32;
  page->serial = littleEndian32(fixed + 14);
  page->sequence = littleEndian32(fixed + 18);
  page->crc = littleEndian32(fixed + 22);
  page->segmentCount = fixed[26];
  page->headerLength = kOggPageHeaderSize + page->segmentCount;
  const unsigned char* lacing = windowBytes(window, offset + kOggPageHeaderSize, page->segmentCount, 0);
  if (lacing == nullptr && page->segmentCount > 0) return false;
  page->bodyLength = 0;
  for (unsigned i = 0; i < page->segmentCount; ++i) {
    page->lacing[i] = lacing[i];
    page->bodyLength += lacing[i];
  }
  const uint64_t size = window->source.size;
  return page->headerLength <= size - offset && page->bodyLength <= size - offset - page->headerLength;
}

bool oggPageEndsPacket(const OggPageHeader& page) {
  for (unsigned i = 0; i < page.segmentCount; ++i)
    if (page.lacing[i] < 255) return true;
  return false;
}

bool computeOggPageCrc(const ByteSource& source, uint64_t offset, size_t length, unsigned char* buffer,
                       uint32_t* crc) {
  if (length < kOggPageHeaderSize || length > kOggMaxPageSize) return false;
  if (readSourceAt(source, offset, buffer, length) != length) return false;
  const size_t headerLength = kOggPageHeaderSize + buffer[26];
  if (headerLength > length) return false;
  ogg_page page;
  page.header = buffer;
  page.header_len = static_cast<long>(headerLength);
  page.body = buffer + headerLength;
  page.body_len = static_cast<long>(length - headerLength);
  ogg_page_checksum_set(&page);
  *crc = littleEndian32(buffer + 22);
  return true;
}

bool oggPageCrcValid(const ByteSource& source, const OggPageHeader& page, unsigned char* buffer) {
  uint32_t crc = 0;
  return computeOggPageCrc(source, page.offset, page.headerLength + page.bodyLength, buffer, &crc) &&
         crc == page.crc;
}
