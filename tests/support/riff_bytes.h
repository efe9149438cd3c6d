// SPDX-License-Identifier: LGPL-2.1-or-later
// Byte builders for WAV (RIFF/WAVE, sizes little-endian) and AIFF (FORM/AIFF, sizes
// big-endian) files in the tests: chunks with their pad byte, and the form around them; and
// the tests' own chunk walk, which the WAV/AIFF room's tests and fuzz target judge it by.
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

inline uint32_t chunkSizeAt(const Bytes& file, size_t at, bool aiff) {
  uint32_t size = 0;
  for (int i = 0; i < 4; ++i) size |= uint32_t{file[at + i]} << (aiff ? 8 * (3 - i) : 8 * i);
  return size;
}

struct WalkedChunk {
  std::string id;
  Bytes whole;  // header, data and pad byte
  size_t dataSize;
};

struct WalkedChunks {
  bool aiff;
  bool formSizeRight;  // the form's size is the file's less 8
  bool padLeftOut;     // the form's size is one less: it leaves out the odd last chunk's pad byte
  bool filled;         // the chunks fill the file exactly
  std::vector<WalkedChunk> chunks;
};

// The form's header, then chunks as far as they stay inside the file.
inline WalkedChunks walkChunks(const Bytes& file) {
  WalkedChunks walked = {false, false, false, false, {}};
  if (file.size() < 12) return walked;
  walked.aiff = file[0] == 'F';
  const uint64_t formEnd = uint64_t{chunkSizeAt(file, 4, walked.aiff)} + 8;
  size_t at = 12;
  while (file.size() - at >= 8) {
    const uint32_t size = chunkSizeAt(file, at + 4, walked.aiff);
    const uint64_t end = uint64_t{at} + 8 + size + (size & 1u);
    if (end > file.size()) break;
    walked.chunks.push_back({std::string(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + 4)),
                             Bytes(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(end)), size});
    at = static_cast<size_t>(end);
  }
  walked.filled = at == file.size();
  walked.formSizeRight = formEnd == file.size();
  walked.padLeftOut = walked.filled && !walked.chunks.empty() && walked.chunks.back().dataSize % 2 == 1 &&
                      formEnd + 1 == file.size();
  return walked;
}

inline bool isId3Chunk(const WalkedChunk& chunk) { return chunk.id == "id3 " || chunk.id == "ID3 "; }
