// SPDX-License-Identifier: LGPL-2.1-or-later
// ASF object headers; see asf_objects.h.
#include "rating/asf/asf_objects.h"

#include <cstring>

#include "rating/bytes/source_window.h"

namespace {

struct KnownGuid {
  AsfKind kind;
  unsigned char bytes[16];
};

// As the GUIDs stand in a file: the first three groups little-endian.
const KnownGuid kKnown[] = {
    {kAsfHeader,
     {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C}},
    {kAsfData,
     {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C}},
    {kAsfFileProperties,
     {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65}},
    {kAsfStreamProperties,
     {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11, 0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65}},
    {kAsfHeaderExtension,
     {0xB5, 0x03, 0xBF, 0x5F, 0x2E, 0xA9, 0xCF, 0x11, 0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65}},
    {kAsfCodecList,
     {0x40, 0x52, 0xD1, 0x86, 0x1D, 0x31, 0xD0, 0x11, 0xA3, 0xA4, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0xF6}},
    {kAsfContentDescription,
     {0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C}},
    {kAsfExtendedContent,
     {0x40, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11, 0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8, 0x50}},
    {kAsfMetadata,
     {0xEA, 0xCB, 0xF8, 0xC5, 0xAF, 0x5B, 0x77, 0x48, 0x84, 0x67, 0xAA, 0x8C, 0x44, 0xFA, 0x4C, 0xCA}},
    {kAsfMetadataLibrary,
     {0x94, 0x1C, 0x23, 0x44, 0x98, 0x94, 0xD1, 0x49, 0xA1, 0x41, 0x1D, 0x13, 0x4E, 0x45, 0x70, 0x54}},
    {kAsfPadding,
     {0x74, 0xD4, 0x06, 0x18, 0xDF, 0xCA, 0x09, 0x45, 0xA4, 0xBA, 0x9A, 0xAB, 0xCB, 0x96, 0xAA, 0xE8}},
    {kAsfContentEncryption,
     {0xFB, 0xB3, 0x11, 0x22, 0x23, 0xBD, 0xD2, 0x11, 0xB4, 0xB7, 0x00, 0xA0, 0xC9, 0x55, 0xFC, 0x6E}},
    {kAsfExtendedContentEncryption,
     {0x14, 0xE6, 0x8A, 0x29, 0x22, 0x26, 0x17, 0x4C, 0xB9, 0x35, 0xDA, 0xE0, 0x7E, 0xE9, 0x28, 0x9C}},
    {kAsfAdvancedContentEncryption,
     {0x33, 0x85, 0x05, 0x43, 0x81, 0x69, 0xE6, 0x49, 0x9B, 0x74, 0xAD, 0x12, 0xCB, 0x86, 0xD5, 0x8C}},
    {kAsfDigitalSignature,
     {0xFC, 0xB3, 0x11, 0x22, 0x23, 0xBD, 0xD2, 0x11, 0xB4, 0xB7, 0x00, 0xA0, 0xC9, 0x55, 0xFC, 0x6E}},
};

AsfKind kindOf(const unsigned char* guid) {
  for (const KnownGuid& known : kKnown)
    if (std::memcmp(known.bytes, guid, 16) == 0) return known.kind;
  return kAsfOther;
}

}  // namespace

const unsigned char* asfGuidOf(AsfKind kind) {
  for (const KnownGuid& known : kKnown)
    if (known.kind == kind) return known.bytes;
  return nullptr;
}

uint16_t littleEndian16Of(const unsigned char* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

uint32_t littleEndian32Of(const unsigned char* bytes) {
  return uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
         (uint32_t{bytes[3]} << 24);
}

uint64_t littleEndian64Of(const unsigned char* bytes) {
  return uint64_t{littleEndian32Of(bytes)} | (uint64_t{littleEndian32Of(bytes + 4)} << 32);
}

void putLittleEndian16(unsigned char* out, uint16_t value) {
  out[0] = static_cast<unsigned char>(value);
  out[1] = static_cast<unsigned char>(value >> 8);
}

void putLittleEndian32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

void putLittleEndian64(unsigned char* out, uint64_t value) {
  putLittleEndian32(out, static_cast<uint32_t>(value));
  putLittleEndian32(out + 4, static_cast<uint32_t>(value >> 32));
}

bool readLittleEndian(const ByteSource& source, uint64_t at, size_t width, uint64_t* value) {
  unsigned char bytes[8];
  if (width > sizeof bytes || readSourceAt(source, at, bytes, width) != width) return false;
  *value = 0;
  for (size_t i = width; i > 0; --i) *value = (*value << 8) | bytes[i - 1];
  return true;
}

void openAsfWalk(AsfObjectWalk* walk, const ByteSource& source, uint64_t start, uint64_t end) {
  walk->source = source;
  walk->next = start;
  walk->end = end;
  walk->malformed = start > end || end > source.size;
}

bool nextAsfObject(AsfObjectWalk* walk, AsfObject* object) {
  if (walk->malformed || walk->next == walk->end) return false;
  const uint64_t left = walk->end - walk->next;
  unsigned char header[kAsfObjectHeader];
  if (left < kAsfObjectHeader ||
      readSourceAt(walk->source, walk->next, header, sizeof header) != sizeof header) {
    walk->malformed = true;
    return false;
  }
  const uint64_t size = littleEndian64Of(header + 16);
  if (size < kAsfObjectHeader || size > kAsfMaxObjectSize || size > left) {
    walk->malformed = true;
    return false;
  }
  object->offset = walk->next;
  object->size = size;
  object->kind = kindOf(header);
  walk->next += size;
  return true;
}
