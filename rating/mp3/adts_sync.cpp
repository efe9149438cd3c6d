// SPDX-License-Identifier: LGPL-2.1-or-later
// Telling ADTS frames at the start of a file; see adts_sync.h.
#include "rating/mp3/adts_sync.h"

#include <cstddef>
#include <cstdint>

#include "rating/bytes/source_window.h"

namespace {

const size_t kHeaderBytes = 7;
const size_t kFramesInRun = 3;
// Sample rate indexes 13 and 14 are reserved, 15 (a rate given elsewhere) has no place in ADTS.
const unsigned kHighestRateIndex = 12;

struct AdtsHeader {
  unsigned char fixed[3];  // sync, version, layer, CRC flag, profile, rate and channels
  size_t length;           // the whole frame, header included
};

bool readAdtsHeader(const unsigned char* bytes, AdtsHeader* header) {
  if (bytes[0] != 0xFF || (bytes[1] & 0xF6) != 0xF0) return false;
  if (((bytes[2] >> 2) & 0x0F) > kHighestRateIndex) return false;
  const bool crc = (bytes[1] & 0x01) == 0;
  const size_t length = (size_t{bytes[3] & 0x03u} << 11) | (size_t{bytes[4]} << 3) | (bytes[5] >> 5);
  if (length < kHeaderBytes + (crc ? 2 : 0)) return false;
  header->fixed[0] = bytes[1];
  header->fixed[1] = static_cast<unsigned char>(bytes[2] & 0xFD);  // the private bit may differ
  header->fixed[2] = static_cast<unsigned char>(bytes[3] & 0xC0);
  header->length = length;
  return true;
}

bool sameStream(const AdtsHeader& a, const AdtsHeader& b) {
  return a.fixed[0] == b.fixed[0] && a.fixed[1] == b.fixed[1] && a.fixed[2] == b.fixed[2];
}

}  // namespace

bool startsWithAdtsFrames(const ByteSource& file) {
  unsigned char bytes[kHeaderBytes];
  AdtsHeader first;
  if (readSourceAt(file, 0, bytes, kHeaderBytes) != kHeaderBytes || !readAdtsHeader(bytes, &first)) return false;
  uint64_t next = first.length;
  for (size_t frames = 1; frames < kFramesInRun; ++frames) {
    if (next == file.size) return frames >= 2;
    AdtsHeader header;
    if (readSourceAt(file, next, bytes, kHeaderBytes) != kHeaderBytes || !readAdtsHeader(bytes, &header) ||
        !sameStream(first, header)) {
      return false;
    }
    next += header.length;
  }
  return next <= file.size;
}
