// SPDX-License-Identifier: LGPL-2.1-or-later
#include "support/tag_files.h"

std::string bigEndian(uint32_t value, int width) {
  std::string out;
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
  return out;
}

std::string syncsafe(uint32_t value) {
  std::string out;
  for (int shift = 21; shift >= 0; shift -= 7) out += static_cast<char>((value >> shift) & 0x7F);
  return out;
}

std::string mpegAudio(int frames) {
  std::string out;
  for (int i = 0; i < frames; ++i) {
    out += "\xFF\xFB\x90\x00";
    for (int k = 0; k < 413; ++k) out += static_cast<char>((i * 31 + k) & 0x7F);
  }
  return out;
}

std::string frame23(const char* id, const std::string& body, uint16_t flags) {
  return std::string(id, 4) + bigEndian(static_cast<uint32_t>(body.size()), 4) + bigEndian(flags, 2) + body;
}

std::string frame22(const char* id, const std::string& body) {
  return std::string(id, 3) + bigEndian(static_cast<uint32_t>(body.size()), 3) + body;
}

std::string mp3WithRating(int ratingByte, const std::string& owner) {
  std::string body = owner + '\0' + static_cast<char>(ratingByte) + bigEndian(3, 4);
  std::string frames = frame23("POPM", body) + std::string(64, '\0');  // some padding
  return "ID3" + std::string("\x03\x00\x00", 3) + syncsafe(static_cast<uint32_t>(frames.size())) + frames +
         mpegAudio(6);
}

int popmRatingByte(const std::string& file) {
  size_t at = file.find("POPM");
  if (at == std::string::npos) return -1;
  size_t owner = at + 10;
  size_t nul = file.find('\0', owner);
  if (nul == std::string::npos || nul + 1 >= file.size()) return -1;
  return static_cast<unsigned char>(file[nul + 1]);
}
