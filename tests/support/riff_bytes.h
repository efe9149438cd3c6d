// SPDX-License-Identifier: LGPL-2.1-or-later
// Byte builders for WAV (RIFF/WAVE, sizes little-endian) and AIFF (FORM/AIFF, sizes
// big-endian) files in the tests: chunks with their pad byte, and the form around them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/flac_bytes.h"
#include "support/tag_bytes.h"

struct ChunkBytes {
  std::string id;  // four characters
  Bytes data;
};

inline Bytes chunkSize(bool aiff, uint32_t size) { return aiff ? bigEndian(size, 4) : littleEndian(size, 4); }

// A chunk: ID, size, data and a pad byte after data of odd size.
inline Bytes chunkBytes(bool aiff, const ChunkBytes& chunk) {
  return join({text(chunk.id), chunkSize(aiff, static_cast<uint32_t>(chunk.data.size())), chunk.data,
               Bytes(chunk.data.size() & 1u, 0x00)});
}

inline Bytes chunkedFile(bool aiff, const std::vector<ChunkBytes>& chunks) {
  Bytes body = text(aiff ? "AIFF" : "WAVE");
  for (const ChunkBytes& chunk : chunks) body = join({body, chunkBytes(aiff, chunk)});
  return join({text(aiff ? "FORM" : "RIFF"), chunkSize(aiff, static_cast<uint32_t>(body.size())), body});
}

inline Bytes waveFile(const std::vector<ChunkBytes>& chunks) { return chunkedFile(false, chunks); }
inline Bytes aiffFile(const std::vector<ChunkBytes>& chunks) { return chunkedFile(true, chunks); }

// Sample data of `size` bytes, a pattern that tells any shift.
inline Bytes samples(size_t size) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<unsigned char>(i * 7 + 3);
  return out;
}
inline ChunkBytes waveFormat() { return {"fmt ", join({littleEndian(1, 2), littleEndian(2, 2), littleEndian(44100, 4),
                                                       littleEndian(176400, 4), littleEndian(4, 2), littleEndian(16, 2)})}; }
inline ChunkBytes aiffCommon() { return {"COMM", join({bigEndian(2, 2), bigEndian(100, 4), bigEndian(16, 2), Bytes(10, 0x40)})}; }
