// SPDX-License-Identifier: LGPL-2.1-or-later
// A FLAC stream's metadata walked a block header at a time through one window: where
// "fLaC" stands (after any ID3v2 tags some taggers put in front), each block's type, length
// and last-block flag, and where the audio starts. No block is read: only its 4-byte header.
#pragma once

#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/bytes/source_window.h"

enum FlacBlockType {
  kFlacStreamInfo = 0,
  kFlacPadding = 1,
  kFlacVorbisComment = 4,
  kFlacInvalidType = 127,
};

const uint32_t kFlacMaxBlockLength = 0xFFFFFF;  // 24 bits
const uint64_t kFlacBlockHeaderSize = 4;
const uint32_t kFlacStreamInfoLength = 34;

struct FlacBlock {
  uint64_t offset;  // of its 4-byte header
  uint32_t length;  // of its body
  unsigned char type;
  bool last;
};

inline uint64_t flacBlockEnd(const FlacBlock& block) { return block.offset + kFlacBlockHeaderSize + block.length; }

struct FlacBlockWalk {
  SourceWindow window;
  uint64_t next;  // where the next block header stands, or the audio after the last block
  bool first;     // no block walked yet
  bool ended;     // the last block has been walked and the audio after it checked
  bool malformed;
};

// Where "fLaC" stands: at the start, or after ID3v2 tags (their size from their syncsafe
// header, ten bytes more with a footer). False when the file is no FLAC stream.
bool findFlacStream(const ByteSource& file, uint64_t* streamStart);

void openFlacBlocks(FlacBlockWalk* walk, const ByteSource& file, uint64_t streamStart);

// The next block; false after the last one or when the walk found the stream malformed
// (walk->malformed): a length past the end of the file, no last-block flag before it, a
// first block that is no STREAMINFO of 34 bytes, a type 127, or no audio frame after the
// last block (a flag set early). After the last block walk->next is where the audio starts.
bool nextFlacBlock(FlacBlockWalk* walk, FlacBlock* block);

// What a rating write needs to know of the metadata, from one walk.
struct FlacLayout {
  uint64_t streamStart;
  uint64_t audioStart;
  FlacBlock last;           // the last metadata block
  FlacBlock comment;        // valid when hasComment
  FlacBlock paddingAfter;   // the block right after the comment, when it is padding
  FlacBlock firstPadding;   // valid when hasPadding
  bool hasComment;
  bool hasPaddingAfter;
  bool hasPadding;
};

// False when the file is no FLAC stream or its metadata is malformed (also: two
// VORBIS_COMMENT blocks, which the format does not allow).
bool walkFlacLayout(const ByteSource& file, FlacLayout* layout);

// True when the contents of the VORBIS_COMMENT and every PICTURE block end where the block's
// length says, and every CUESHEET's tracks fit its block. mutagen distrusts the first two
// lengths (some writers got them wrong) and takes the next block from where the contents
// end, and cannot load a file whose cue sheet runs past its block, or with two SEEKTABLE
// or two CUESHEET blocks: such a file is read otherwise by other programs, and is not
// written.
bool flacContentsFillBlocks(const ByteSource& file, const FlacLayout& layout);
