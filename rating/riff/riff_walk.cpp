// SPDX-License-Identifier: LGPL-2.1-or-later
// Walking the chunks of a WAV or AIFF file; see riff_walk.h.
#include "rating/riff/riff_walk.h"

#include <cstring>

#include "rating/bytes/source_window.h"

namespace {

uint32_t sizeIn(ChunkedForm form, const unsigned char* bytes) {
  if (form == kFormWave)
    return uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) | (uint32_t{bytes[3]} << 24);
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
}

bool printableId(const unsigned char* id) {
  for (int i = 0; i < 4; ++i)
    if (id[i] < 0x20 || id[i] > 0x7E) return false;
  return true;
}

bool isTagId(const char* id) { return std::memcmp(id, "ID3 ", 4) == 0 || std::memcmp(id, "id3 ", 4) == 0; }

}  // namespace

bool chunkedFormOf(const ByteSource& file, ChunkedForm* form) {
  unsigned char head[kFormHeaderSize];
  if (readSourceAt(file, 0, head, sizeof head) != sizeof head) return false;
  if (std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0) {
    *form = kFormWave;
    return true;
  }
  if (std::memcmp(head, "FORM", 4) == 0 && (std::memcmp(head + 8, "AIFF", 4) == 0 || std::memcmp(head + 8, "AIFC", 4) == 0)) {
    *form = kFormAiff;
    return true;
  }
  return false;
}

bool openChunks(ChunkWalk* walk, const ByteSource& file) {
  *walk = ChunkWalk();
  walk->file = file;
  walk->broken = true;
  unsigned char head[kFormHeaderSize];
  if (!chunkedFormOf(file, &walk->form) || readSourceAt(file, 0, head, sizeof head) != sizeof head) return false;
  const uint64_t formEnd = uint64_t{sizeIn(walk->form, head + 4)} + 8;
  if (formEnd != file.size && formEnd + 1 != file.size) return false;
  walk->padOutsideForm = formEnd + 1 == file.size;
  walk->at = kFormHeaderSize;
  walk->broken = false;
  return true;
}

bool nextChunk(ChunkWalk* walk, Chunk* chunk) {
  if (walk->broken) return false;
  if (walk->at == walk->file.size) {
    // Only an odd last chunk's pad byte may stand outside the form.
    if (walk->padOutsideForm && !walk->lastOdd) walk->broken = true;
    return false;
  }
  walk->broken = true;
  unsigned char header[kChunkHeaderSize];
  if (walk->file.size - walk->at < kChunkHeaderSize || walk->count >= kMaxChunks) return false;
  if (readSourceAt(walk->file, walk->at, header, sizeof header) != sizeof header || !printableId(header)) return false;
  std::memcpy(chunk->id, header, 4);
  chunk->offset = walk->at;
  chunk->size = sizeIn(walk->form, header + 4);
  if (chunkEnd(*chunk) > walk->file.size) return false;
  walk->at = chunkEnd(*chunk);
  walk->lastOdd = (chunk->size & 1u) != 0;
  ++walk->count;
  walk->broken = false;
  return true;
}

// A format chunk mutagen loads (and a player could play by): a WAV's "fmt " of 16 bytes or
// more; an AIFF's "COMM" of 18 or more whose sample rate, an 80-bit float, is a finite number
// that is not negative.
bool formatChunkSound(const ByteSource& file, ChunkedForm form, const Chunk& chunk) {
  if (form == kFormWave) return chunk.size >= 16;
  unsigned char rate[2];
  if (chunk.size < 18 || readSourceAt(file, chunk.offset + kChunkHeaderSize + 8, rate, 2) != 2) return false;
  const unsigned exponent = (unsigned{rate[0]} << 8) | rate[1];
  return exponent <= 16383 + 1000;  // sign clear, and far from a double's overflow, infinity or NaN
}

// mutagen takes a WAV's "LIST" and "RIFF" chunks, and an AIFF's "FORM", for lists of chunks:
// one shorter than its 4-byte name ends its walk of the file (a tag after it is never read),
// and one whose name is not ASCII makes it fail on the file.
bool listChunkReadable(const ByteSource& file, ChunkedForm form, const Chunk& chunk) {
  const bool list = form == kFormWave ? std::memcmp(chunk.id, "LIST", 4) == 0 || std::memcmp(chunk.id, "RIFF", 4) == 0
                                      : std::memcmp(chunk.id, "FORM", 4) == 0;
  if (!list) return true;
  unsigned char name[4];
  if (chunk.size < 4 || readSourceAt(file, chunk.offset + kChunkHeaderSize, name, 4) != 4) return false;
  return name[0] < 0x80 && name[1] < 0x80 && name[2] < 0x80 && name[3] < 0x80;
}

ChunkLayoutResult walkChunkLayout(const ByteSource& file, ChunkLayout* layout) {
  *layout = ChunkLayout();
  ChunkWalk walk;
  if (!openChunks(&walk, file)) return chunkedFormOf(file, &layout->form) ? kChunksSizesDisagree : kChunksNotChunked;
  layout->form = walk.form;
  Chunk chunk;
  bool unread = false;
  // Without its format chunk no player plays the file and mutagen does not load it.
  const char* formatId = walk.form == kFormWave ? "fmt " : "COMM";
  const char* soundId = walk.form == kFormWave ? "data" : "SSND";
  uint32_t formats = 0;
  uint32_t sounds = 0;
  while (nextChunk(&walk, &chunk)) {
    if (std::memcmp(chunk.id, formatId, 4) == 0 && !formatChunkSound(file, walk.form, chunk)) return kChunksNotAudio;
    if (std::memcmp(chunk.id, formatId, 4) == 0) ++formats;
    if (!listChunkReadable(file, walk.form, chunk)) return kChunksListBroken;
    if (std::memcmp(chunk.id, soundId, 4) == 0) ++sounds;
    if (!isTagId(chunk.id)) continue;
    if (layout->hasTag) return kChunksTwoTags;
    if (walk.form == kFormAiff && chunk.id[0] == 'i') unread = true;
    layout->hasTag = true;
    layout->tag = chunk;
  }
  if (walk.broken) return walk.count >= kMaxChunks ? kChunksTooMany : kChunksSizesDisagree;
  layout->chunkCount = walk.count;
  if (formats != 1 || sounds != 1) return kChunksNotAudio;
  return unread ? kChunksTagUnread : kChunksSound;
}

const char* newTagChunkId(ChunkedForm form) { return form == kFormWave ? "id3 " : "ID3 "; }

void putChunkSize(ChunkedForm form, unsigned char* out, uint32_t size) {
  for (int i = 0; i < 4; ++i) {
    const int shift = form == kFormWave ? 8 * i : 8 * (3 - i);
    out[i] = static_cast<unsigned char>(size >> shift);
  }
}
