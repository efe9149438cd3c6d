// SPDX-License-Identifier: LGPL-2.1-or-later
// The byte-preserving tag editor; see tag_editor.h.
#include "rating/id3v2/tag_editor.h"

#include <cstdlib>
#include <cstring>

#include "rating/bytes/crc32.h"
#include "rating/id3v2/id3v2_format.h"

namespace {

// Format flags that the editor cannot see through.
const uint16_t kCompressedOrEncryptedV23 = kFrameCompressedV23 | kFrameEncryptedV23;
const uint16_t kCompressedOrEncryptedV24 = kFrameCompressedV24 | kFrameEncryptedV24;

// A byte buffer that grows; `failed` once memory ran short.
struct Bytes {
  unsigned char* data;
  size_t size;
  size_t capacity;
  bool failed;
};

bool reserve(Bytes* out, size_t more) {
  if (out->failed) return false;
  if (more <= out->capacity - out->size) return true;
  size_t capacity = out->capacity ? out->capacity : 4096;
  while (capacity - out->size < more) {
    if (capacity > SIZE_MAX / 2) {
      out->failed = true;
      return false;
    }
    capacity *= 2;
  }
  unsigned char* grown = static_cast<unsigned char*>(std::realloc(out->data, capacity));
  if (!grown) {
    out->failed = true;
    return false;
  }
  out->data = grown;
  out->capacity = capacity;
  return true;
}

void append(Bytes* out, const unsigned char* bytes, size_t count) {
  if (count == 0 || !reserve(out, count)) return;
  std::memcpy(out->data + out->size, bytes, count);
  out->size += count;
}

void appendZeros(Bytes* out, size_t count) {
  if (count == 0 || !reserve(out, count)) return;
  std::memset(out->data + out->size, 0, count);
  out->size += count;
}

// Appends `bytes` with unsynchronisation undone: a 0x00 after 0xFF was added by it.
void appendDecoded(Bytes* out, const unsigned char* bytes, size_t count) {
  if (!reserve(out, count)) return;
  for (size_t i = 0; i < count; ++i) {
    out->data[out->size++] = bytes[i];
    if (bytes[i] == 0xFF && i + 1 < count && bytes[i + 1] == 0x00) ++i;
  }
}

// The tag's extended header and frames as a tagger sees them: no unsynchronisation
// anywhere, frame headers rewritten only where a frame's own unsynchronisation was undone.
struct PlainTag {
  unsigned char version;
  bool plainFrameSizes;  // ID3v2.4 sizes written as plain integers
  Bytes extendedHeader;
  Bytes frames;
  Bytes trailing;  // non-zero bytes after the last frame, kept as they are
  bool popmFound;
  size_t ratingOffset;  // in frames
  bool failed;
};

// The offset of the rating byte in a POPM body that starts with `extras` flag bytes,
// 0 when there is none.
size_t ratingIndexInPopm(const unsigned char* body, size_t size, size_t extras) {
  if (extras >= size) return 0;
  const void* nul = std::memchr(body + extras, 0, size - extras);
  if (!nul) return 0;
  const size_t index = static_cast<size_t>(static_cast<const unsigned char*>(nul) - body) + 1;
  return index < size ? index : 0;
}

// Takes the frames from `area` (the frame area with any tag-wide unsynchronisation
// already undone) into plain->frames.
void takeFrames(const unsigned char* area, size_t size, bool tagUnsynchronisedV24, PlainTag* plain) {
  const unsigned char version = plain->version;
  const size_t headerSize = version == 2 ? 6 : 10;
  const size_t idSize = version == 2 ? 3 : 4;
  size_t at = 0;
  while (at + headerSize <= size && area[at] != 0) {
    const unsigned char* header = area + at;
    const uint32_t bodySize = version == 2                              ? bigEndian24(header + 3)
                              : version == 3 || plain->plainFrameSizes ? bigEndian32(header + 4)
                                                                       : syncsafe32(header + 4);
    if (bodySize > size - at - headerSize) {
      plain->failed = true;
      return;
    }
    const unsigned char* body = header + headerSize;
    uint16_t flags = version == 2 ? 0 : bigEndian16(header + 8);
    const size_t frameStart = plain->frames.size;
    bool decode = version == 4 && ((flags & kFrameUnsynchronisedV24) || tagUnsynchronisedV24);
    if (decode) {
      // Bytes that contradict the flag stay as stored, as mutagen reads them; the data-length
      // indicator is not part of what it decodes.
      const size_t indicator = (flags & (kFrameCompressedV24 | kFrameDataLengthV24)) ? 4 : 0;
      decode = indicator > bodySize || unsynchronisationHolds(body + indicator, bodySize - indicator);
    }
    if (decode || (version == 4 && (flags & kFrameUnsynchronisedV24))) {
      // The frame's own flag goes: its bytes are decoded, or were never unsynchronised.
      unsigned char newHeader[10];
      std::memcpy(newHeader, header, 10);
      flags = static_cast<uint16_t>(flags & ~kFrameUnsynchronisedV24);
      newHeader[8] = static_cast<unsigned char>(flags >> 8);
      newHeader[9] = static_cast<unsigned char>(flags);
      append(&plain->frames, newHeader, 10);
      if (!decode) {
        append(&plain->frames, body, bodySize);
      } else {
        appendDecoded(&plain->frames, body, bodySize);
        const uint32_t decodedSize = static_cast<uint32_t>(plain->frames.size - frameStart - 10);
        if (plain->plainFrameSizes)
          writeBigEndian32(plain->frames.data + frameStart + 4, decodedSize);
        else
          writeSyncsafe32(plain->frames.data + frameStart + 4, decodedSize);
      }
    } else {
      append(&plain->frames, header, headerSize + bodySize);
    }
    if (plain->frames.failed) return;

    const bool isPopm = std::memcmp(header, version == 2 ? "POP" : "POPM", idSize) == 0;
    if (isPopm && !plain->popmFound) {
      plain->popmFound = true;
      size_t extras = 0;
      bool opaque = false;
      if (version == 3) {
        opaque = (flags & kCompressedOrEncryptedV23) != 0;
        extras = (flags & kFrameGroupedV23) ? 1 : 0;
      } else if (version == 4) {
        opaque = (flags & kCompressedOrEncryptedV24) != 0;
        extras = ((flags & kFrameGroupedV24) ? 1 : 0) + ((flags & kFrameDataLengthV24) ? 4 : 0);
      }
      const unsigned char* newBody = plain->frames.data + frameStart + headerSize;
      const size_t newBodySize = plain->frames.size - frameStart - headerSize;
      const size_t index = opaque ? 0 : ratingIndexInPopm(newBody, newBodySize, extras);
      if (index == 0) {
        plain->failed = true;
        return;
      }
      plain->ratingOffset = frameStart + headerSize + index;
    }
    at += headerSize + bodySize;
  }
  // What follows the frames is padding only as far as it is zero: the rest is kept.
  size_t end = size;
  while (end > at && area[end - 1] == 0) --end;
  if (end > at) append(&plain->trailing, area + at, end - at);
}

// Splits the tag into its plain extended header and frames.
bool readPlainTag(const unsigned char* tag, size_t tagSize, bool plainFrameSizes, bool decodeTagUnsynchronisation,
                  PlainTag* plain) {
  *plain = PlainTag();
  plain->plainFrameSizes = plainFrameSizes;
  if (tagSize < kTagHeaderSize || std::memcmp(tag, "ID3", 3) != 0) return false;
  plain->version = tag[3];
  const unsigned char flags = tag[5];
  if (plain->version < 2 || plain->version > 4) return false;
  const bool footer = plain->version == 4 && (flags & kHeaderFooter);
  if (footer && tagSize < kTagHeaderSize + kFooterSize) return false;
  const size_t areaEnd = tagSize - (footer ? kFooterSize : 0);

  // ID3v2.2 and 2.3 unsynchronise everything after the header; ID3v2.4 frame by frame.
  Bytes area = {nullptr, 0, 0, false};
  const unsigned char* bytes = tag + kTagHeaderSize;
  size_t size = areaEnd - kTagHeaderSize;
  if (plain->version < 4 && (flags & kHeaderUnsynchronisation) && decodeTagUnsynchronisation) {
    appendDecoded(&area, bytes, size);
    if (area.failed) return false;
    bytes = area.data;
    size = area.size;
  }

  size_t extendedSize = 0;
  if (plain->version >= 3 && (flags & kHeaderExtendedHeader)) {
    if (size < 4) plain->failed = true;
    if (!plain->failed) {
      extendedSize = plain->version == 3 ? 4 + bigEndian32(bytes) : syncsafe32(bytes);
      if (extendedSize > size || extendedSize < 6) plain->failed = true;
    }
    if (!plain->failed) append(&plain->extendedHeader, bytes, extendedSize);
  }
  if (!plain->failed) {
    takeFrames(bytes + extendedSize, size - extendedSize,
               plain->version == 4 && (flags & kHeaderUnsynchronisation), plain);
  }
  std::free(area.data);
  return !plain->failed && !plain->frames.failed && !plain->extendedHeader.failed && !plain->trailing.failed;
}

void releasePlainTag(PlainTag* plain) {
  std::free(plain->extendedHeader.data);
  std::free(plain->frames.data);
  std::free(plain->trailing.data);
  plain->extendedHeader = {nullptr, 0, 0, false};
  plain->frames = {nullptr, 0, 0, false};
  plain->trailing = {nullptr, 0, 0, false};
}

// Appends one POPM frame of the plugin's own; returns where its rating byte is.
size_t appendOwnPopm(Bytes* frames, unsigned char version, unsigned char rating) {
  unsigned char frame[64];
  size_t frameSize = 0;
  const size_t ownerLength = std::strlen(kPluginPopmOwner);
  const size_t bodySize = ownerLength + 2;
  if (version == 2) {
    std::memcpy(frame, "POP", 3);
    writeBigEndian24(frame + 3, static_cast<uint32_t>(bodySize));
    frameSize = 6;
  } else {
    std::memcpy(frame, "POPM", 4);
    if (version == 3)
      writeBigEndian32(frame + 4, static_cast<uint32_t>(bodySize));
    else
      writeSyncsafe32(frame + 4, static_cast<uint32_t>(bodySize));
    frame[8] = frame[9] = 0;
    frameSize = 10;
  }
  std::memcpy(frame + frameSize, kPluginPopmOwner, ownerLength);
  frame[frameSize + ownerLength] = 0;
  frame[frameSize + ownerLength + 1] = rating;
  const size_t ratingAt = frames->size + frameSize + ownerLength + 1;
  append(frames, frame, frameSize + bodySize);
  return ratingAt;
}

// The extended header with its padding size and CRC made true for the new frames. The bytes
// kept after the frames count as padding, as the strict reader counts them.
void updateExtendedHeader(PlainTag* plain, size_t paddingSize) {
  Bytes& header = plain->extendedHeader;
  if (header.size == 0) return;
  if (plain->version == 3) {
    const bool crc = (bigEndian16(header.data + 4) & kExtendedCrcV23) != 0;
    writeBigEndian32(header.data + 6, static_cast<uint32_t>(plain->trailing.size + paddingSize));
    if (crc && header.size >= 14)
      writeBigEndian32(header.data + 10, crc32Of(plain->frames.data, plain->frames.size));
    return;
  }
  // ID3v2.4: flag data in flag order after the six fixed bytes; the CRC covers frames and padding.
  const unsigned char flags = header.data[5];
  if ((flags & kExtendedCrcV24) == 0) return;
  const size_t at = 6 + ((flags & kExtendedUpdateV24) ? 1 : 0) + 1;
  if (at + 5 > header.size) return;
  Crc32 crc;
  startCrc32(&crc);
  continueCrc32(&crc, plain->frames.data, plain->frames.size);
  continueCrc32(&crc, plain->trailing.data, plain->trailing.size);
  static const unsigned char kZeros[256] = {};
  for (size_t done = 0; done < paddingSize; done += sizeof kZeros)
    continueCrc32(&crc, kZeros, paddingSize - done < sizeof kZeros ? paddingSize - done : sizeof kZeros);
  unsigned char* out = header.data + at;
  uint64_t value = finishCrc32(crc);
  for (int i = 4; i >= 0; --i, value >>= 7) out[i] = static_cast<unsigned char>(value & 0x7F);
}

bool assemble(const unsigned char* oldHeader, size_t oldTagSize, PlainTag* plain, EditedTag* out) {
  const unsigned char version = plain->version;
  const bool footer = version == 4 && (oldHeader[5] & kHeaderFooter);
  const size_t fixed = kTagHeaderSize + plain->extendedHeader.size + plain->frames.size + plain->trailing.size +
                       (footer ? kFooterSize : 0);
  // The tag keeps its size where the frames fit (the rest padding, as it was);
  // a tag that grows gets room for the next change, unless a footer forbids padding.
  size_t padding = 0;
  if (fixed <= oldTagSize) {
    padding = oldTagSize - fixed;
  } else if (!footer) {
    const size_t proportional = plain->frames.size / 32;
    padding = proportional > kGrownTagPadding ? proportional : kGrownTagPadding;
  }
  const size_t total = fixed + padding;
  if (total - kTagHeaderSize - (footer ? kFooterSize : 0) >= (1u << 28)) return false;
  updateExtendedHeader(plain, padding);

  Bytes tag = {nullptr, 0, 0, false};
  unsigned char header[10];
  std::memcpy(header, oldHeader, 5);
  header[5] = static_cast<unsigned char>(oldHeader[5] & ~kHeaderUnsynchronisation);
  writeSyncsafe32(header + 6, static_cast<uint32_t>(total - kTagHeaderSize - (footer ? kFooterSize : 0)));
  append(&tag, header, sizeof header);
  append(&tag, plain->extendedHeader.data, plain->extendedHeader.size);
  const size_t framesAt = tag.size;
  append(&tag, plain->frames.data, plain->frames.size);
  append(&tag, plain->trailing.data, plain->trailing.size);
  appendZeros(&tag, padding);
  if (footer) {
    std::memcpy(header, "3DI", 3);
    append(&tag, header, sizeof header);
  }
  if (tag.failed) {
    std::free(tag.data);
    return false;
  }
  out->bytes = tag.data;
  out->size = tag.size;
  out->ratingOffset = framesAt + plain->ratingOffset;
  return true;
}

}  // namespace

bool editTagRating(const unsigned char* tag, size_t tagSize, bool plainFrameSizes, bool decodeTagUnsynchronisation,
                   unsigned char rating, EditedTag* out) {
  *out = {nullptr, 0, 0};
  PlainTag plain;
  bool edited = readPlainTag(tag, tagSize, plainFrameSizes, decodeTagUnsynchronisation, &plain);
  if (edited) {
    if (plain.popmFound)
      plain.frames.data[plain.ratingOffset] = rating;
    else
      plain.ratingOffset = appendOwnPopm(&plain.frames, plain.version, rating);
    edited = !plain.frames.failed && assemble(tag, tagSize, &plain, out);
  }
  releasePlainTag(&plain);
  return edited;
}

bool newTagWithRating(unsigned char rating, EditedTag* out) {
  static const unsigned char kEmptyV23[10] = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0};
  return editTagRating(kEmptyV23, sizeof kEmptyV23, false, false, rating, out);
}

void releaseEditedTag(EditedTag* tag) {
  std::free(tag->bytes);
  *tag = {nullptr, 0, 0};
}
