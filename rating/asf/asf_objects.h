// SPDX-License-Identifier: LGPL-2.1-or-later
// ASF (WMA) objects walked a header at a time: a 16-byte GUID, a 64-bit little-endian size
// (the 24 header bytes included), the body. Only the 24 header bytes are read; a body is never.
// A size smaller than a header, past 4 GiB or past the parent makes the walk malformed, so it
// always ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"

const uint64_t kAsfObjectHeader = 24;
// Larger objects are no music file's: refused.
const uint64_t kAsfMaxObjectSize = 0xFFFFFFFFu;

// The objects the room tells apart by their GUID.
enum AsfKind {
  kAsfOther,
  kAsfHeader,
  kAsfData,
  kAsfFileProperties,
  kAsfStreamProperties,
  kAsfHeaderExtension,
  kAsfCodecList,
  kAsfContentDescription,
  kAsfExtendedContent,  // the Extended Content Description: its descriptors
  kAsfMetadata,
  kAsfMetadataLibrary,
  kAsfPadding,
  kAsfContentEncryption,
  kAsfExtendedContentEncryption,
  kAsfAdvancedContentEncryption,
  kAsfDigitalSignature,
};

// The GUID of `kind` as it stands in a file (16 bytes; none for kAsfOther).
const unsigned char* asfGuidOf(AsfKind kind);

struct AsfObject {
  uint64_t offset;  // of its header
  uint64_t size;    // header included
  AsfKind kind;
};

inline uint64_t asfBody(const AsfObject& object) { return object.offset + kAsfObjectHeader; }
inline uint64_t asfEnd(const AsfObject& object) { return object.offset + object.size; }

struct AsfObjectWalk {
  ByteSource source;
  uint64_t next;
  uint64_t end;  // of the parent's body
  bool malformed;
};

void openAsfWalk(AsfObjectWalk* walk, const ByteSource& source, uint64_t start, uint64_t end);

// The next object; false at the parent's end or when the walk found it malformed.
bool nextAsfObject(AsfObjectWalk* walk, AsfObject* object);

uint16_t littleEndian16Of(const unsigned char* bytes);
uint32_t littleEndian32Of(const unsigned char* bytes);
uint64_t littleEndian64Of(const unsigned char* bytes);
void putLittleEndian16(unsigned char* out, uint16_t value);
void putLittleEndian32(unsigned char* out, uint32_t value);
void putLittleEndian64(unsigned char* out, uint64_t value);

// The `width` (2, 4 or 8) bytes at `at` as a little-endian number; false when they cannot be read.
bool readLittleEndian(const ByteSource& source, uint64_t at, size_t width, uint64_t* value);
