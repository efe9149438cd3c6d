// SPDX-License-Identifier: LGPL-2.1-or-later
// libFuzzer target over reading a file's rating: the store's own reading (readRating: the
// strict reader where it vouches for the tag, id3lib where it does not) against the reference
// reading. The reference is id3lib's (ID3Tag_LinkWithFlags with ID3TT_ID3V2, the first POPM
// frame's rating, with Debian's and our patches), an independent parser of every ID3v2.2 and
// ID3v2.3 tag, except where id3lib is known to misread a tag (a short POP frame at the end of
// an ID3v2.2 tag, a POPM in a second tag: the strict reader's reading then, which mutagen
// confirms) and for tags id3lib is never given (ID3v2.4, tags the strict reader tolerates, and
// tags made to crash it, which count as unrated). The input is a whole file. Besides crashes,
// sanitizer reports, leaks and hangs it fails when the store's stars differ from the reference's.
// FLAC and Ogg files are read by their rooms, which other targets judge.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_files.h"
#include "rating/id3v2/id3v2_reader.h"
#include "rating/bytes/memory_source.h"
#include "rating/rating.h"
#include "rating/store/track_format.h"
#include "rating/store/write_guard.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "id3lib read oracle failed: %s\n", what);
  std::abort();
}

// id3lib reads a frame header only when 10 bytes remain in the tag, the size of an ID3v2.3
// header: an ID3v2.2 frame that starts fewer than 10 bytes (after unsynchronisation) before
// the end of the tag is dropped, and a short POP frame there reads as no rating.
bool id3libDropsFirstPopm(const uint8_t* data, const Id3v2Layout& layout) {
  if (layout.majorVersion != 2 || !layout.popmFound) return false;
  uint64_t decoded = 0;
  for (uint64_t at = layout.popmFrameOffset; at < layout.tagSize; ++at) {
    const bool stuffing = layout.unsynchronised && at > layout.popmFrameOffset && data[at] == 0x00 &&
                          data[at - 1] == 0xFF;
    if (!stuffing) ++decoded;
  }
  return decoded < 10;
}

// id3lib reads the tags that follow the tag directly as part of it, while mutagen and the store
// read the first tag alone: where the first tag has no POPM, id3lib may find one further on.
bool id3libReadsFollowingTag(const uint8_t* data, size_t size, const Id3v2Layout& layout) {
  return !layout.popmFound && layout.tagSize + 3 <= size && std::memcmp(data + layout.tagSize, "ID3", 3) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = scratchPath("song.mp3");
  require(writeWholeFile(path, data, size), "cannot write the scratch file");

  static const std::wstring storePath(path.begin(), path.end());
  const unsigned id3libByte = ratingByteReadById3lib(storePath.c_str());
  const int stars = readRating(storePath.c_str());
  require(stars >= 0 && stars <= 5, "stars outside 0..5");

  const MemoryBytes memory = {data, size};
  const ByteSource file = memorySource(&memory, size);
  // A FLAC behind an ID3v2 tag, or an Ogg file, keeps its rating in its Vorbis comment, which
  // the store reads and id3lib does not: the tag in front is no reference there.
  const TrackFormat format = trackFormatOf(file);
  if (format != kFormatMp3) {
    require(stars == readRoomStars(format, file), "the store's reading differs from its room's");
    return 0;
  }
  unsigned strictByte = 0;
  const RatingReadMethod method = planRatingRead(file, &strictByte);
  Id3v2Layout layout;
  parseId3v2Tag(file, &layout);

  // Tags with a header no reader takes, ID3v2.4 tags, tolerated tags and tags made to crash
  // id3lib never reach id3lib in the store.
  const uint32_t crafted = kId3libHazardCompressedMetaFrame | kId3libHazardDecompressionBomb;
  const bool id3libReads = layout.present && layout.majorVersion < 4 && !layout.tolerated &&
                           !(method == kRatingReadZero && !layout.wellFormed) && !(layout.id3libHazards & crafted);
  // In an ID3v2.3 tag unsynchronised as a whole that has an extended header, id3lib reads
  // frame bodies otherwise than mutagen, which reads them as the strict reader does (a POPM
  // owner "Windo\xff" then rating 1, where id3lib finds none): the strict reading holds there.
  const bool id3libMisreadsUnsynchronised = method == kRatingReadFromTag && layout.majorVersion == 3 &&
                                            layout.unsynchronised && layout.hasExtendedHeader;
  const bool id3libMisreads =
      id3libMisreadsUnsynchronised ||
      (method == kRatingReadFromTag && id3libByte == 0 && id3libDropsFirstPopm(data, layout)) ||
      (method == kRatingReadZero && id3libReadsFollowingTag(data, size, layout));
  const unsigned reference = id3libReads && !id3libMisreads ? id3libByte : strictByte;
  require(stars == starsFromRatingByte(reference),
          method == kRatingReadWithId3lib ? "the store's id3lib reading differs from id3lib's"
                                          : "the strict reader and id3lib read different ratings");
  return 0;
}
