// SPDX-License-Identifier: LGPL-2.1-or-later
// libFuzzer target over reading a file's rating: the store's own reading (readRating: the
// strict reader where it vouches for the tag, id3lib parsing the tag's bytes in memory where it
// does not) against the reference reading. The reference is id3lib's own reading of the file,
// which it opens itself here and nowhere in the store (ID3_Tag::Link with ID3TT_ID3V2, the first
// POPM frame's rating, with Debian's and our patches), an independent parser of every ID3v2.2 and
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

#include <id3/tag.h>

#include "fuzz/fuzz_files.h"
#include "rating/bytes/memory_source.h"
#include "rating/id3v2/id3v2_reader.h"
#include "rating/mp3/mp3_file.h"
#include "rating/mp3/write_guard.h"
#include "rating/rating.h"
#include "rating/rooms.h"

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

// The reference: the rating byte of the first POPM frame, whatever the tag holds, as id3lib reads
// the file it opens by name (the ID3v2 tags only: those at the end hold no rating); 0 for none.
unsigned ratingByteReadById3lib(const std::string& path) {
  unsigned ratingByte = 0;
  try {
    ID3_Tag tag;
    tag.Link(path.c_str(), ID3TT_ID3V2);
    const ID3_Frame* frame = tag.Find(ID3FID_POPULARIMETER);
    const ID3_Field* rating = frame != nullptr && frame->GetField(ID3FN_EMAIL) != nullptr
                                  ? frame->GetField(ID3FN_RATING)
                                  : nullptr;
    if (rating != nullptr) ratingByte = static_cast<unsigned>(rating->Get());
  } catch (...) {
    ratingByte = 0;
  }
  return ratingByte;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = scratchPath("song.mp3");
  require(writeWholeFile(path, data, size), "cannot write the scratch file");

  static const std::wstring storePath(path.begin(), path.end());
  const unsigned id3libByte = ratingByteReadById3lib(path);
  const int stars = readRating(storePath.c_str());
  require(stars >= 0 && stars <= 5, "stars outside 0..5");

  const MemoryBytes memory = {data, size};
  const ByteSource file = memorySource(&memory, size);
  // A FLAC behind an ID3v2 tag, or an Ogg file, keeps its rating in its Vorbis comment, which
  // the store reads and id3lib does not: the tag in front is no reference there.
  const Room* room = roomOf(file);
  if (room != nullptr && room->readStars != readMp3Stars) {
    require(stars == room->readStars(file), "the store's reading differs from its room's");
    return 0;
  }
  unsigned strictByte = 0;
  const RatingReadMethod method = planRatingRead(file, &strictByte);
  Id3v2Layout layout;
  parseMp3Tag(file, &layout);

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
