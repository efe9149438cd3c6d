// SPDX-License-Identifier: LGPL-2.1-or-later
// Byte builders for ID3v2 tags in the tests: headers, frames of each
// version, padding and footers, put together byte by byte.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes text(const char* s, size_t length) { return Bytes(s, s + length); }  // with NULs inside
inline Bytes zeros(size_t count) { return Bytes(count, 0x00); }

inline Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline Bytes bigEndian(uint32_t value, int width) {
  Bytes out;
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
    out.push_back(static_cast<unsigned char>(value >> shift));
  }
  return out;
}

inline Bytes syncsafe(uint32_t value) {
  return {static_cast<unsigned char>((value >> 21) & 0x7F), static_cast<unsigned char>((value >> 14) & 0x7F),
          static_cast<unsigned char>((value >> 7) & 0x7F), static_cast<unsigned char>(value & 0x7F)};
}

inline Bytes frameV22(const char* id, const Bytes& body) {
  return join({text(id), bigEndian(static_cast<uint32_t>(body.size()), 3), body});
}

inline Bytes frameV23(const char* id, const Bytes& body, uint16_t flags = 0) {
  return join({text(id), bigEndian(static_cast<uint32_t>(body.size()), 4), bigEndian(flags, 2), body});
}

inline Bytes frameV24(const char* id, const Bytes& body, uint16_t flags = 0) {
  return join({text(id), syncsafe(static_cast<uint32_t>(body.size())), bigEndian(flags, 2), body});
}

// A tag whose header size covers exactly `content` (extended header, frames, padding).
inline Bytes tag(unsigned char major, unsigned char flags, const Bytes& content) {
  return join({text("ID3"), {major, 0x00, flags}, syncsafe(static_cast<uint32_t>(content.size())), content});
}

inline Bytes tagWithFooter(const Bytes& content) {
  Bytes whole = tag(4, 0x10, content);
  Bytes footer(whole.begin(), whole.begin() + 10);
  std::memcpy(footer.data(), "3DI", 3);
  return join({whole, footer});
}

inline Bytes popmBody(const std::string& owner, unsigned char rating, size_t counterBytes = 0) {
  return join({text(owner), {0x00, rating}, Bytes(counterBytes, 0x01)});
}

// `count` MPEG audio frames of `length` bytes each behind `header` (default: MPEG-1 Layer III,
// 128 kbit/s, 44.1 kHz, 417 bytes), the rest of each frame filled with 0x55.
// `count` ADTS (AAC) frames of `length` bytes each: MPEG-4 AAC LC, no CRC, 44.1 kHz (or
// sample rate index `rateIndex`), stereo, the rest of each frame filled with 0x21.
inline Bytes adtsFrames(size_t count, size_t length = 371, unsigned rateIndex = 4) {
  Bytes frame = {0xFF, 0xF1, static_cast<unsigned char>(0x40 | (rateIndex << 2)),
                 static_cast<unsigned char>(0x80 | ((length >> 11) & 0x03)),
                 static_cast<unsigned char>(length >> 3), static_cast<unsigned char>(((length & 7) << 5) | 0x1F), 0xFC};
  frame.resize(length, 0x21);
  Bytes out;
  for (size_t i = 0; i < count; ++i) out.insert(out.end(), frame.begin(), frame.end());
  return out;
}

inline Bytes mpegFrames(size_t count, const Bytes& header = {0xFF, 0xFB, 0x90, 0x00}, size_t length = 417) {
  Bytes frame = header;
  frame.resize(length, 0x55);
  Bytes out;
  for (size_t i = 0; i < count; ++i) out.insert(out.end(), frame.begin(), frame.end());
  return out;
}
