// SPDX-License-Identifier: LGPL-2.1-or-later
// The chunks of a WAV (RIFF/WAVE, sizes little-endian) or AIFF file (FORM/AIFF or FORM/AIFC,
// sizes big-endian): a 12-byte form header, then chunks of an ID, a 32-bit size and the data,
// with a pad byte after data of odd size. Only headers are read.
//
// Strict on purpose: the form's size must be the file's size less 8, and the chunks must fill
// the form exactly, the last pad byte included, each ID of printable ASCII. One slip is let
// pass, as some writers make it (TagLib's own test AIFF has it): a form size that leaves out
// the pad byte of an odd last chunk, the pad byte being there; a write that changes sizes
// sets the form's size to count it. Files with trailing bytes after the form, a form size
// that counts more or less, or an odd last chunk without its pad byte are not walked, so they
// are never written: a write puts a chunk at the form's end and sets its size, which would be
// a guess where they disagree.
#pragma once

#include <cstdint>

#include "rating/bytes/byte_source.h"

const uint64_t kChunkHeaderSize = 8;
const uint64_t kFormHeaderSize = 12;
// More chunks than any real file holds: a file of them is not walked.
const uint32_t kMaxChunks = 4096;

enum ChunkedForm {
  kFormWave,  // RIFF/WAVE
  kFormAiff,  // FORM/AIFF or FORM/AIFC
};

struct Chunk {
  char id[4];
  uint64_t offset;  // of its header
  uint32_t size;    // of its data, without the pad byte
};

// One past the chunk's pad byte (or data, when its size is even).
inline uint64_t chunkEnd(const Chunk& chunk) { return chunk.offset + kChunkHeaderSize + chunk.size + (chunk.size & 1u); }

struct ChunkWalk {
  ByteSource file;
  ChunkedForm form;
  uint64_t at;  // the next chunk's header
  uint32_t count;
  bool padOutsideForm;  // the form's size leaves out the last chunk's pad byte
  bool lastOdd;         // the chunk walked last has a pad byte
  bool broken;  // a chunk runs past the form, a header is cut short or unreadable, ...
};

// The form the file's first 12 bytes name; false for any other file (RF64 and RIFX too).
bool chunkedFormOf(const ByteSource& file, ChunkedForm* form);

// False when the file is no WAV or AIFF, or its form's size is not the file's size less 8.
bool openChunks(ChunkWalk* walk, const ByteSource& file);
// The next chunk; false at the form's end, or with walk->broken when the chunks do not fill it.
bool nextChunk(ChunkWalk* walk, Chunk* chunk);

enum ChunkLayoutResult {
  kChunksSound,
  kChunksNotChunked,
  kChunksSizesDisagree,  // the form's size, or a chunk's, does not add up
  kChunksTooMany,
  kChunksTwoTags,        // two ID3 chunks: which one a reader takes is a guess
  kChunksTagUnread,      // an AIFF's "id3 " chunk, which mutagen does not read
  kChunksNotAudio,       // not one sound format ("fmt ", "COMM") and one sound ("data", "SSND") chunk
  kChunksListBroken,     // a list chunk mutagen stops at: shorter than its name, or a name not ASCII
};

struct ChunkLayout {
  ChunkedForm form;
  uint32_t chunkCount;
  bool hasTag;
  Chunk tag;  // the ID3 chunk
};

ChunkLayoutResult walkChunkLayout(const ByteSource& file, ChunkLayout* layout);

// The ID a new ID3 chunk gets in the form: "id3 " in a WAV, as mutagen writes it; "ID3 " in an AIFF.
const char* newTagChunkId(ChunkedForm form);

// A 32-bit size in the form's byte order.
void putChunkSize(ChunkedForm form, unsigned char* out, uint32_t size);
