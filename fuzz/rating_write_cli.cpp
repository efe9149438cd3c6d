// SPDX-License-Identifier: LGPL-2.1-or-later
// rating_write_cli: the store's own writeRating on real files, for a driver that judges the
// files by another reader (mutagen_write_fuzz.py). A batch tool, so that the driver pays one
// process start per run, not per file: it reads lines "STARS<TAB>PATH" on stdin and answers
// each with one line "RESULT<TAB>PLAN", flushed, where PLAN is the write guard's reason for
// the file as it was. Built with ASan and UBSan: a sanitizer report ends the process, and
// the driver sees the missing answer. A leak check runs after every N-th write (N the
// optional argument, 1 by default: a check costs some milliseconds); a leak answers "leak"
// for the result.
#include <sanitizer/lsan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_files.h"
#include "rating/bytes/memory_source.h"
#include "rating/rating.h"
#include "rating/mp3/write_guard.h"

namespace {

const char* saveResultName(RatingSaveResult result) {
  switch (result) {
    case kRatingSaved:
      return "Saved";
    case kRatingSaving:
      return "Saving";
    case kRatingFileMissing:
      return "FileMissing";
    case kRatingFileReadOnly:
      return "FileReadOnly";
    case kRatingFileLocked:
      return "FileLocked";
    case kRatingDiskFull:
      return "DiskFull";
    case kRatingTagRefused:
      return "TagRefused";
    case kRatingUnknownFormat:
      return "UnknownFormat";
    case kRatingNotSaved:
      break;
  }
  return "NotSaved";
}

// The guard's reason for these bytes, as the store will plan it.
const char* planName(const std::string& path, int stars) {
  std::vector<unsigned char> bytes;
  if (!readWholeFile(path, &bytes)) return "Unreadable";
  const MemoryBytes memory = {bytes.data(), bytes.size()};
  RatingWritePlan plan;
  planRatingWrite(memorySource(&memory, bytes.size()), RatingScale[stars], &plan);
  return ratingWriteReasonName(plan.reason);
}

// The path's bytes taken as UTF-8 would be; the driver's names are ASCII.
std::wstring widePath(const std::string& path) { return std::wstring(path.begin(), path.end()); }

}  // namespace

int main(int argc, char** argv) {
  const long checkEvery = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1;
  long writes = 0;
  char line[4096];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const size_t tab = text.find('\t');
    const int stars = tab == 1 && text[0] >= '0' && text[0] <= '5' ? text[0] - '0' : -1;
    if (stars < 0) {
      std::printf("BadLine\t-\n");
    } else {
      const std::string path = text.substr(tab + 1);
      const char* plan = planName(path, stars);
      const RatingSaveResult result = writeRating(widePath(path).c_str(), stars);
      const bool leaked = ++writes % (checkEvery > 0 ? checkEvery : 1) == 0 && __lsan_do_recoverable_leak_check() != 0;
      std::printf("%s\t%s\n", leaked ? "leak" : saveResultName(result), plan);
    }
    std::fflush(stdout);
  }
  return 0;
}
