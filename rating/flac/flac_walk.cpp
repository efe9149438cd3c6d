// SPDX-License-Identifier: LGPL-2.1-or-later
// Walking a FLAC stream's block headers; see flac_walk.h.
#include "rating/flac/flac_walk.h"

#include <cstring>

#include "rating/vorbis/vorbis_comment.h"

namespace {

// Block headers usually follow each other closely: read on past the next one.
const size_t kReadAhead = 4096;
// ID3v2 tags passed over in front of "fLaC", at most.
const int kMaxLeadingTags = 4;
const size_t kId3HeaderSize = 10;

bool fail(FlacBlockWalk* walk) {
  walk->malformed = true;
  return false;
}

// The ID3v2 tag header at `at`: its whole size (header, body, footer) into *size.
bool id3v2TagSize(const unsigned char* header, uint64_t* size) {
  if (std::memcmp(header, "ID3", 3) != 0 || header[3] < 2 || header[3] > 4 || header[4] == 0xFF) return false;
  uint64_t body = 0;
  for (int i = 6; i < 10; ++i) {
    if (header[i] & 0x80) return false;
    body = body << 7 | header[i];
  }
  const bool footer = header[3] == 4 && (header[5] & 0x10) != 0;
  *size = kId3HeaderSize + body + (footer ? kId3HeaderSize : 0);
  return true;
}

// The first bytes of a FLAC audio frame: the 14-bit sync, a reserved 0 and either strategy.
bool startsWithFrameSync(const unsigned char* bytes) { return bytes[0] == 0xFF && (bytes[1] & 0xFE) == 0xF8; }

}  // namespace

bool findFlacStream(const ByteSource& file, uint64_t* streamStart) {
  unsigned char header[kId3HeaderSize];
  uint64_t at = 0;
  for (int tags = 0; tags <= kMaxLeadingTags; ++tags) {
    if (at > file.size || file.size - at < 4) return false;
    const size_t wanted = file.size - at < kId3HeaderSize ? static_cast<size_t>(file.size - at) : kId3HeaderSize;
    if (readSourceAt(file, at, header, wanted) != wanted) return false;
    if (std::memcmp(header, "fLaC", 4) == 0) {
      if (streamStart != nullptr) *streamStart = at;
      return true;
    }
    uint64_t tagSize = 0;
    if (wanted < kId3HeaderSize || !id3v2TagSize(header, &tagSize)) return false;
    at += tagSize;
  }
  return false;
}

void openFlacBlocks(FlacBlockWalk* walk, const ByteSource& file, uint64_t streamStart) {
  openWindow(&walk->window, file);
  walk->next = streamStart + 4;
  walk->first = true;
  walk->ended = false;
  walk->malformed = false;
}

bool nextFlacBlock(FlacBlockWalk* walk, FlacBlock* block) {
  if (walk->ended || walk->malformed) return false;
  const uint64_t size = walk->window.source.size;
  const unsigned char* header = windowBytes(&walk->window, walk->next, kFlacBlockHeaderSize, kReadAhead);
  if (header == nullptr) return fail(walk);
  block->offset = walk->next;
  block->last = (header[0] & 0x80) != 0;
  block->type = header[0] & 0x7F;
  block->length = static_cast<uint32_t>(header[1]) << 16 | static_cast<uint32_t>(header[2]) << 8 | header[3];
  if (block->type == kFlacInvalidType) return fail(walk);
  if (walk->first && (block->type != kFlacStreamInfo || block->length != kFlacStreamInfoLength)) return fail(walk);
  if (!walk->first && block->type == kFlacStreamInfo) return fail(walk);
  walk->first = false;
  if (size - block->offset - kFlacBlockHeaderSize < block->length) return fail(walk);
  walk->next = flacBlockEnd(*block);
  if (block->last) {
    walk->ended = true;
    // The audio: nothing at all, or a frame. Anything else is a flag set early.
    if (walk->next < size) {
      const unsigned char* audio = windowBytes(&walk->window, walk->next, 2, 0);
      if (audio == nullptr || !startsWithFrameSync(audio)) return fail(walk);
    }
  }
  return true;
}

bool walkFlacLayout(const ByteSource& file, FlacLayout* layout) {
  std::memset(layout, 0, sizeof *layout);
  if (!findFlacStream(file, &layout->streamStart)) return false;
  FlacBlockWalk walk;
  openFlacBlocks(&walk, file, layout->streamStart);
  FlacBlock block;
  bool previousIsComment = false;
  while (nextFlacBlock(&walk, &block)) {
    if (block.type == kFlacVorbisComment) {
      if (layout->hasComment) return false;
      layout->hasComment = true;
      layout->comment = block;
    }
    if (block.type == kFlacPadding) {
      if (previousIsComment) {
        layout->hasPaddingAfter = true;
        layout->paddingAfter = block;
      }
      if (!layout->hasPadding) {
        layout->hasPadding = true;
        layout->firstPadding = block;
      }
    }
    previousIsComment = block.type == kFlacVorbisComment;
    layout->last = block;
  }
  if (walk.malformed || !walk.ended) return false;
  layout->audioStart = walk.next;
  return true;
}

namespace {

const unsigned char kFlacSeekTable = 3;
const unsigned char kFlacCueSheet = 5;
const unsigned char kFlacPicture = 6;
// A CUESHEET: catalog, lead-in, flags, reserved bytes, the track count; then each track:
// offset, number, ISRC, flags, reserved bytes, the index count; then each index.
const uint64_t kCueSheetHeader = 396;
const uint64_t kCueSheetTrack = 36;
const uint64_t kCueSheetIndex = 12;

// Reads a big-endian 32-bit number at `at`; false when it cannot be read.
bool bigEndian32At(const ByteSource& file, uint64_t at, uint64_t* value) {
  unsigned char bytes[4];
  if (readSourceAt(file, at, bytes, 4) != 4) return false;
  *value = uint64_t{bytes[0]} << 24 | uint64_t{bytes[1]} << 16 | uint64_t{bytes[2]} << 8 | bytes[3];
  return true;
}

// A PICTURE block's contents: type, MIME type, description, four numbers, the data.
bool pictureFillsBlock(const ByteSource& file, const FlacBlock& block) {
  const uint64_t end = flacBlockEnd(block);
  uint64_t at = block.offset + kFlacBlockHeaderSize + 4;
  uint64_t length = 0;
  if (!bigEndian32At(file, at, &length)) return false;
  at += 4 + length;
  if (at > end || !bigEndian32At(file, at, &length)) return false;
  at += 4 + length + 16;
  if (at > end || !bigEndian32At(file, at, &length)) return false;
  return at + 4 + length == end;
}

// A CUESHEET whose tracks and indexes fit its block, as mutagen reads them (it fails to load
// a file where they do not).
bool cueSheetFitsBlock(const ByteSource& file, const FlacBlock& block) {
  const uint64_t start = block.offset + kFlacBlockHeaderSize;
  const uint64_t end = flacBlockEnd(block);
  unsigned char count = 0;
  if (block.length < kCueSheetHeader || readSourceAt(file, start + kCueSheetHeader - 1, &count, 1) != 1) return false;
  uint64_t at = start + kCueSheetHeader;
  for (unsigned track = 0; track < count; ++track) {
    unsigned char indexes = 0;
    if (end - at < kCueSheetTrack || readSourceAt(file, at + kCueSheetTrack - 1, &indexes, 1) != 1) return false;
    at += kCueSheetTrack;
    if ((end - at) / kCueSheetIndex < indexes) return false;
    at += indexes * kCueSheetIndex;
  }
  return true;
}

}  // namespace

bool flacContentsFillBlocks(const ByteSource& file, const FlacLayout& layout) {
  if (layout.hasComment) {
    int stars = 0;
    uint64_t fieldsEnd = 0;
    const uint64_t start = layout.comment.offset + kFlacBlockHeaderSize;
    // A comment that does not parse is the planner's to refuse, as malformed.
    if (readCommentStars(file, start, flacBlockEnd(layout.comment), &stars, &fieldsEnd) &&
        fieldsEnd != flacBlockEnd(layout.comment))
      return false;
  }
  FlacBlockWalk walk;
  openFlacBlocks(&walk, file, layout.streamStart);
  FlacBlock block;
  int seekTables = 0;
  int cueSheets = 0;
  while (nextFlacBlock(&walk, &block)) {
    seekTables += block.type == kFlacSeekTable;
    cueSheets += block.type == kFlacCueSheet;
    // The format allows one of each; mutagen cannot load a file with two.
    if (seekTables > 1 || cueSheets > 1 || (block.type == kFlacPicture && !pictureFillsBlock(file, block)) ||
        (block.type == kFlacCueSheet && !cueSheetFitsBlock(file, block)))
      return false;
  }
  return !walk.malformed;
}
