// libFuzzer target over id3lib reading a file's tag the way the plugin does (ID3Tag_LinkWithFlags
// with ID3TT_ID3V2, the first POPM frame's rating), with Debian's and our patches. The input is
// a whole file. Besides crashes, sanitizer reports, leaks and hangs it fails when id3lib and the
// strict reader disagree on a rating that the write guard lets id3lib read.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_files.h"
#include "fuzz/plugin_mirror.h"
#include "rating/id3v2_reader.h"
#include "rating/memory_source.h"
#include "rating/rating.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "id3lib read oracle failed: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = scratchPath("song.mp3");
  require(writeWholeFile(path, data, size), "cannot write the scratch file");

  const unsigned id3libByte = id3libRatingByte(path.c_str());
  const int stars = storeReadRating(path.c_str());
  require(stars >= 0 && stars <= 5, "stars outside 0..5");

  // The file is small: the guard sees all of it.
  const MemoryBytes memory = {data, size};
  const ByteSource file = memorySource(&memory, size);
  unsigned guardByte = 0;
  if (planRatingRead(file, &guardByte) == kRatingReadWithId3lib) {
    Id3v2Layout layout;
    if (parseId3v2Tag(file, &layout) && layout.popmRatingKnown) {
      require(id3libByte == layout.popmRating, "id3lib reads another rating than the strict reader");
    }
  }
  return 0;
}
