// SPDX-License-Identifier: LGPL-2.1-or-later
// The numbers of the ID3v2 byte format that the reader, the guard and the tag
// editor share: header and frame flags, and big-endian and syncsafe integers.
#pragma once

#include <cstddef>
#include <cstdint>

// The owner of the POPM frames the plugin creates.
inline constexpr char kPluginPopmOwner[] = "ID3Vimbrel";

const size_t kTagHeaderSize = 10;
const size_t kFooterSize = 10;

// Header flags.
const unsigned char kHeaderUnsynchronisation = 0x80;
const unsigned char kHeaderExtendedHeader = 0x40;  // ID3v2.3, ID3v2.4
const unsigned char kHeaderCompressionV22 = 0x40;  // ID3v2.2
const unsigned char kHeaderExperimental = 0x20;    // ID3v2.3, ID3v2.4
const unsigned char kHeaderFooter = 0x10;          // ID3v2.4

// ID3v2.3 frame flags: status %abc00000, format %ijk00000.
const uint16_t kFrameCompressedV23 = 0x0080;
const uint16_t kFrameEncryptedV23 = 0x0040;
const uint16_t kFrameGroupedV23 = 0x0020;

// ID3v2.4 frame flags: status %0abc0000, format %0h00kmnp.
const uint16_t kFrameGroupedV24 = 0x0040;
const uint16_t kFrameCompressedV24 = 0x0008;
const uint16_t kFrameEncryptedV24 = 0x0004;
const uint16_t kFrameUnsynchronisedV24 = 0x0002;
const uint16_t kFrameDataLengthV24 = 0x0001;

// Extended header flags: ID3v2.4's are each followed by a length byte and that many data bytes.
const unsigned char kExtendedUpdateV24 = 0x40;
const unsigned char kExtendedCrcV24 = 0x20;
const unsigned char kExtendedRestrictionsV24 = 0x10;
const uint16_t kExtendedCrcV23 = 0x8000;

inline uint32_t bigEndian32(const unsigned char* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

inline uint32_t bigEndian24(const unsigned char* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 16) | (static_cast<uint32_t>(bytes[1]) << 8) |
         static_cast<uint32_t>(bytes[2]);
}

inline uint16_t bigEndian16(const unsigned char* bytes) { return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]); }

// The high bit of each byte is ignored, as a tolerant reader does.
inline uint32_t syncsafe32(const unsigned char* bytes) {
  return (static_cast<uint32_t>(bytes[0] & 0x7F) << 21) | (static_cast<uint32_t>(bytes[1] & 0x7F) << 14) |
         (static_cast<uint32_t>(bytes[2] & 0x7F) << 7) | static_cast<uint32_t>(bytes[3] & 0x7F);
}

inline void writeBigEndian32(unsigned char* out, uint32_t value) {
  out[0] = static_cast<unsigned char>(value >> 24);
  out[1] = static_cast<unsigned char>(value >> 16);
  out[2] = static_cast<unsigned char>(value >> 8);
  out[3] = static_cast<unsigned char>(value);
}

inline void writeBigEndian24(unsigned char* out, uint32_t value) {
  out[0] = static_cast<unsigned char>(value >> 16);
  out[1] = static_cast<unsigned char>(value >> 8);
  out[2] = static_cast<unsigned char>(value);
}

inline void writeSyncsafe32(unsigned char* out, uint32_t value) {
  out[0] = static_cast<unsigned char>((value >> 21) & 0x7F);
  out[1] = static_cast<unsigned char>((value >> 14) & 0x7F);
  out[2] = static_cast<unsigned char>((value >> 7) & 0x7F);
  out[3] = static_cast<unsigned char>(value & 0x7F);
}

// Whether bytes flagged as unsynchronised really are: unsynchronisation never leaves 0xFF
// followed by 0xE0 or more (nor by another 0xFF), and never ends data in 0xFF. Faulty
// taggers set the flag on bytes that were never unsynchronised (a JPEG holds FF E0 in its
// first four bytes); readers like mutagen then take the bytes as stored, and so does the
// plugin. Fed in pieces, in order.
struct UnsynchronisationCheck {
  bool afterFF;        // the last byte fed was 0xFF
  bool contradicted;   // a pair was seen that unsynchronisation cannot leave
  bool hasStuffing;    // an FF 00 pair was seen: decoding changes the bytes
};

inline void feedUnsynchronisationCheck(UnsynchronisationCheck* check, const unsigned char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (check->afterFF) {
      if (bytes[i] >= 0xE0) check->contradicted = true;
      if (bytes[i] == 0x00) check->hasStuffing = true;
    }
    check->afterFF = bytes[i] == 0xFF;
  }
}

// True when the bytes fed may be decoded: nothing contradicts the flag.
inline bool unsynchronisationHolds(const UnsynchronisationCheck& check) {
  return !check.contradicted && !check.afterFF;
}

inline bool unsynchronisationHolds(const unsigned char* bytes, size_t count) {
  UnsynchronisationCheck check = {false, false, false};
  feedUnsynchronisationCheck(&check, bytes, count);
  return unsynchronisationHolds(check);
}

// A fingerprint of a walk of the frames: each frame's ID, size (as the walk read it) and
// flags, in order. Two readings of a tag that find the same frames give the same one.
const uint32_t kWalkFingerprintStart = 2166136261u;

inline uint32_t foldWalkFingerprint(uint32_t fingerprint, const unsigned char* id, size_t idLength,
                                    uint64_t size, uint16_t flags) {
  unsigned char bytes[4 + 8 + 2] = {};
  for (size_t i = 0; i < idLength && i < 4; ++i) bytes[i] = id[i];
  for (int i = 0; i < 8; ++i) bytes[4 + i] = static_cast<unsigned char>(size >> (8 * i));
  bytes[12] = static_cast<unsigned char>(flags >> 8);
  bytes[13] = static_cast<unsigned char>(flags);
  // FNV-1a, multiplied in 64 bits so that nothing wraps.
  for (unsigned char byte : bytes)
    fingerprint = static_cast<uint32_t>((uint64_t{fingerprint ^ byte} * 16777619u) & 0xFFFFFFFFu);
  return fingerprint;
}
