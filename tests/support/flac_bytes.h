// SPDX-License-Identifier: LGPL-2.1-or-later
// Byte builders for Vorbis comments and FLAC files in the tests: a comment body (as FLAC's
// VORBIS_COMMENT block and the Ogg comment packets carry it after their own header), FLAC
// metadata blocks and a few bytes of audio frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/tag_bytes.h"

inline Bytes littleEndian(uint32_t value, int width) {
  Bytes out;
  for (int i = 0; i < width; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
  return out;
}

// One field: its 4-byte length and "NAME=value" (or any text).
inline Bytes commentField(const std::string& field) {
  return join({littleEndian(static_cast<uint32_t>(field.size()), 4), text(field)});
}

// A comment: the vendor string, the field count and the fields.
inline Bytes commentBody(const std::string& vendor, const std::vector<std::string>& fields) {
  Bytes out = join({littleEndian(static_cast<uint32_t>(vendor.size()), 4), text(vendor),
                    littleEndian(static_cast<uint32_t>(fields.size()), 4)});
  for (const std::string& field : fields) {
    const Bytes one = commentField(field);
    out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

// The block types, as their header's low 7 bits give them.
enum BlockTypeByte : unsigned char {
  kStreamInfoBlock = 0,
  kPaddingBlock = 1,
  kApplicationBlock = 2,
  kSeekTableBlock = 3,
  kCommentBlock = 4,
  kCueSheetBlock = 5,
  kPictureBlock = 6,
};

struct BlockBytes {
  unsigned char type;
  Bytes body;
};

// A metadata block with its 4-byte header.
inline Bytes flacBlock(unsigned char type, const Bytes& body, bool last) {
  return join({{static_cast<unsigned char>((last ? 0x80 : 0x00) | type)},
               bigEndian(static_cast<uint32_t>(body.size()), 3), body});
}

// STREAMINFO of 34 bytes, filled with a pattern that tells it apart.
inline Bytes streamInfoBody() {
  Bytes body(34);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<unsigned char>(0x10 + i);
  return body;
}

// A PICTURE block's body of `size` bytes (at least 41): type, MIME type, no description,
// four numbers, and the data that fills the rest.
inline Bytes pictureBody(size_t size) {
  const size_t data = size - 41;
  return join({bigEndian(3, 4), bigEndian(9, 4), text("image/png"), bigEndian(0, 4), Bytes(16, 0x01),
               bigEndian(static_cast<uint32_t>(data), 4), Bytes(data, 0x9C)});
}

// `count` audio frames of 64 bytes, each starting with the frame sync 0xFFF8.
inline Bytes flacAudio(size_t count = 3) {
  Bytes out;
  for (size_t i = 0; i < count; ++i) {
    Bytes frame(64, static_cast<unsigned char>(0xA0 + i));
    frame[0] = 0xFF;
    frame[1] = 0xF8;
    out = join({out, frame});
  }
  return out;
}

// "fLaC", the blocks (the last one flagged last) and the audio.
inline Bytes flacFile(const std::vector<BlockBytes>& blocks, const Bytes& audio = flacAudio()) {
  Bytes out = text("fLaC");
  for (size_t i = 0; i < blocks.size(); ++i)
    out = join({out, flacBlock(blocks[i].type, blocks[i].body, i + 1 == blocks.size())});
  return join({out, audio});
}
