#include "support/tag_files.h"

namespace {

std::string bigEndian(unsigned value, int width) {
  std::string out;
  for (int i = width - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

std::string syncsafe(unsigned value) {
  std::string out;
  for (int i = 3; i >= 0; --i) out += static_cast<char>((value >> (7 * i)) & 0x7F);
  return out;
}

}  // namespace

std::string mpegAudio(int frames) {
  // MPEG-1 Layer III, 128 kbit/s, 44.1 kHz: 417 bytes a frame.
  std::string frame("\xFF\xFB\x90\x64", 4);
  frame += std::string(413, '\x55');
  std::string audio;
  for (int i = 0; i < frames; ++i) audio += frame;
  return audio;
}

std::string mp3WithRating(int ratingByte, const std::string& owner) {
  std::string body = owner + '\0' + static_cast<char>(ratingByte) + bigEndian(3, 4);
  std::string frame = "POPM" + bigEndian(static_cast<unsigned>(body.size()), 4) + std::string(2, '\0') + body;
  std::string frames = frame + std::string(64, '\0');  // some padding
  return "ID3" + std::string("\x03\x00\x00", 3) + syncsafe(static_cast<unsigned>(frames.size())) + frames +
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
