// SPDX-License-Identifier: LGPL-2.1-or-later
// CRC-32; see crc32.h.
#include "rating/bytes/crc32.h"

void startCrc32(Crc32* crc) {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    crc->table[i] = c;
  }
  crc->state = 0xFFFFFFFFu;
}

void continueCrc32(Crc32* crc, const unsigned char* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i)
    crc->state = crc->table[(crc->state ^ bytes[i]) & 0xFF] ^ (crc->state >> 8);
}

uint32_t finishCrc32(const Crc32& crc) { return crc.state ^ 0xFFFFFFFFu; }

uint32_t crc32Of(const unsigned char* bytes, size_t size) {
  Crc32 crc;
  startCrc32(&crc);
  continueCrc32(&crc, bytes, size);
  return finishCrc32(crc);
}
