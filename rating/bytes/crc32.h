// SPDX-License-Identifier: LGPL-2.1-or-later
// CRC-32 (ISO 3309, as zlib computes it): an ID3v2 extended header's CRC, and the check of each
// note of the rewrite journal.
#pragma once

#include <cstddef>
#include <cstdint>

// A CRC-32 over pieces fed in order.
struct Crc32 {
  uint32_t table[256];
  uint32_t state;
};

void startCrc32(Crc32* crc);
void continueCrc32(Crc32* crc, const unsigned char* bytes, size_t size);
uint32_t finishCrc32(const Crc32& crc);

// The CRC-32 of `size` bytes at once.
uint32_t crc32Of(const unsigned char* bytes, size_t size);
