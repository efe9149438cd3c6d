// SPDX-License-Identifier: LGPL-2.1-or-later
// rating_tool: the rating store from the command line, for tests that drive it
// under Wine and inspect the files natively.
//   rating_tool read PATH              prints the star count
//   rating_tool write PATH STARS       stores STARS (any integer; the store vets it) and
//                                      prints what became of it (saved, read-only...)
//   rating_tool write-held STARS PATH...  the same for each file, while the file is
//                                      held open as the player holds the playing file
//   rating_tool recover PATH           finishes an interrupted rewrite
//   rating_tool check STARS PATH...    for each file: the write guard's plan, the
//                                      strict reader's view of the tag before, the
//                                      write, the star count read back and the
//                                      reader's view after, as key=value lines
//   rating_tool check-held STARS PATH...  the same, each file held open as the
//                                      player holds it while the rating is written
// Exit status 0 on success, 1 when a file cannot be held, 2 on a usage error.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rating/id3v2/id3v2_reader.h"
#include "rating/bytes/memory_source.h"
#include "rating/rating.h"
#include "rating/mp3/write_guard.h"

namespace {

int usage() {
  std::fputs(
      "usage: rating_tool read PATH | write PATH STARS | write-held STARS PATH... | recover PATH"
      " | check STARS PATH... | check-held STARS PATH...\n",
      stderr);
  return 2;
}

bool parseInt(const char* text, int& value) {
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || parsed < -1000000 || parsed > 1000000) return false;
  value = static_cast<int>(parsed);
  return true;
}

// The text in UTF-8, for the output.
std::string utf8(const wchar_t* text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(length > 0 ? length : 1, '\0');
  if (length > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], length, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

// The whole file (the test files are small); empty when it cannot be read.
std::string fileBytes(const wchar_t* path) {
  std::string bytes;
  HANDLE file =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

void printLayout(const char* prefix, const std::string& bytes) {
  const MemoryBytes memory = {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()};
  Id3v2Layout layout;
  parseMp3Tag(memorySource(&memory, bytes.size()), &layout);
  std::printf("%s.present=%d\n", prefix, layout.present ? 1 : 0);
  std::printf("%s.version=%d\n", prefix, layout.majorVersion);
  std::printf("%s.wellFormed=%d\n", prefix, layout.wellFormed ? 1 : 0);
  std::printf("%s.tolerated=%d\n", prefix, layout.tolerated ? 1 : 0);
  std::printf("%s.problem=%s\n", prefix, id3v2ProblemName(layout.problem));
  std::printf("%s.tagSize=%llu\n", prefix, static_cast<unsigned long long>(layout.tagSize));
  std::printf("%s.frameCount=%u\n", prefix, static_cast<unsigned>(layout.frameCount));
  std::printf("%s.paddingSize=%u\n", prefix, static_cast<unsigned>(layout.paddingSize));
  std::printf("%s.popmFound=%d\n", prefix, layout.popmFound ? 1 : 0);
  std::printf("%s.popmRating=%d\n", prefix, layout.popmRatingKnown ? layout.popmRating : -1);
  std::printf("%s.hazards=%u\n", prefix, static_cast<unsigned>(layout.id3libHazards));
}

// A handle as the player holds the playing file: reading, sharing read and write.
HANDLE holdLikePlayer(const wchar_t* path) {
  return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

void check(int stars, const wchar_t* path, bool held) {
  const std::string before = fileBytes(path);
  RatingWritePlan plan;
  const int ratingByte = stars >= 0 && stars <= 5 ? RatingScale[stars] : -1;
  const MemoryBytes memory = {reinterpret_cast<const unsigned char*>(before.data()), before.size()};
  planRatingWrite(memorySource(&memory, before.size()), ratingByte, &plan);
  std::printf("file=%s\n", utf8(path).c_str());
  std::printf("plan=%s\n", ratingWriteReasonName(plan.reason));
  printLayout("before", before);
  HANDLE player = held ? holdLikePlayer(path) : INVALID_HANDLE_VALUE;
  std::printf("held=%d\n", player != INVALID_HANDLE_VALUE ? 1 : 0);
  writeRating(path, stars);
  if (player != INVALID_HANDLE_VALUE) CloseHandle(player);
  std::printf("read=%d\n", readRating(path));
  printLayout("after", fileBytes(path));
  std::printf("\n");
}

const char* saveResultName(RatingSaveResult result) {
  switch (result) {
    case kRatingSaved:
      return "saved";
    case kRatingSaving:
      return "saving";
    case kRatingFileMissing:
      return "missing";
    case kRatingFileReadOnly:
      return "read-only";
    case kRatingFileLocked:
      return "locked";
    case kRatingDiskFull:
      return "disk-full";
    case kRatingTagRefused:
      return "refused";
    case kRatingUnknownFormat:
      return "unknown-format";
    case kRatingNotSaved:
      break;
  }
  return "not-saved";
}

}  // namespace

// Paths come in UTF-16, so that names in any script reach the store as they are.
int wmain(int argc, wchar_t** wideArgv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(utf8(wideArgv[i]));
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  if (argc == 3 && std::strcmp(argv[1], "read") == 0) {
    std::printf("%d\n", readRating(wideArgv[2]));
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "write") == 0) {
    int stars = 0;
    if (!parseInt(argv[3], stars)) return usage();
    std::printf("%s\n", saveResultName(writeRating(wideArgv[2], stars)));
    return 0;
  }
  if (argc >= 3 && std::strcmp(argv[1], "write-held") == 0) {
    int stars = 0;
    if (!parseInt(argv[2], stars)) return usage();
    for (int i = 3; i < argc; ++i) {
      HANDLE player = holdLikePlayer(wideArgv[i]);
      if (player == INVALID_HANDLE_VALUE) return 1;
      writeRating(wideArgv[i], stars);
      CloseHandle(player);
    }
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "recover") == 0) {
    recoverRewrite(wideArgv[2]);
    return 0;
  }
  if (argc >= 3 && (std::strcmp(argv[1], "check") == 0 || std::strcmp(argv[1], "check-held") == 0)) {
    int stars = 0;
    if (!parseInt(argv[2], stars)) return usage();
    const bool held = std::strcmp(argv[1], "check-held") == 0;
    for (int i = 3; i < argc; ++i) check(stars, wideArgv[i], held);
    return 0;
  }
  return usage();
}
