// libFuzzer target over the whole write of a rating: the input is a music file's bytes, the star
// count comes from its last byte. The file is written to a scratch folder and the rating stored
// as the plugin stores it (plugin_mirror.h: the write guard's plan, then the planned bytes in
// place, or id3lib's update with the render check, the check of id3lib's copy and its recovery).
//
// Then the oracle. The file is byte for byte as it was, or:
// - after planned bytes: only those bytes changed, all inside the tag;
// - after id3lib: a well-formed ID3v2.3 tag followed by every byte that followed the old tag;
// and in both cases every frame but the first POPM is kept with the same bytes, and the rating
// reads back (through the store's read) as the stars written. No copy may be left beside the
// file. Crashes, sanitizer reports, leaks and hangs (-timeout) count as failures too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_files.h"
#include "fuzz/plugin_mirror.h"
#include "rating/id3v2_reader.h"
#include "rating/memory_source.h"
#include "rating/rating.h"

namespace {

// The file as the store left it and what the store did, for a failure report.
const FileBytes* fileAfter = nullptr;
const StoreWrite* storeWrite = nullptr;

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "rating write oracle failed: %s\n", what);
  if (storeWrite != nullptr && storeWrite->planned) {
    const RatingWritePlan& plan = storeWrite->plan;
    std::fprintf(stderr,
                 "plan: %s, offset %llu, length %zu, old tag %llu bytes with %u frames; id3lib asked: %d, "
                 "copy removed: %d, copy copied over: %d\n",
                 ratingWriteReasonName(plan.reason), static_cast<unsigned long long>(plan.offset),
                 plan.length, static_cast<unsigned long long>(plan.tagSize), plan.frameCount,
                 storeWrite->id3libUpdated, storeWrite->leftoverRemoved, storeWrite->leftoverCopied);
  }
  // VIMBREL_FUZZ_DUMP=FILE keeps the file as the store left it, for a look at the difference.
  const char* dump = std::getenv("VIMBREL_FUZZ_DUMP");
  if (dump != nullptr && fileAfter != nullptr) writeWholeFile(dump, fileAfter->data(), fileAfter->size());
  std::abort();
}

// A frame's bytes on disk: header and body.
struct FrameBytes {
  size_t offset;
  size_t size;
};

uint32_t bigEndian(const unsigned char* bytes, int width) {
  uint32_t value = 0;
  for (int i = 0; i < width; ++i) value = (value << 8) | bytes[i];
  return value;
}

uint32_t syncsafe(const unsigned char* bytes) {
  return (uint32_t{bytes[0]} << 21) | (uint32_t{bytes[1]} << 14) | (uint32_t{bytes[2]} << 7) | bytes[3];
}

// The frames of a well-formed tag as stored: the reader vouches that they follow each other
// from framesOffset to the padding (or the end of the frame area) with sizes inside the tag.
std::vector<FrameBytes> framesOf(const unsigned char* tag, const Id3v2Layout& layout) {
  std::vector<FrameBytes> frames;
  const size_t headerSize = layout.majorVersion == 2 ? 6 : 10;
  const size_t end = layout.paddingSize > 0
                         ? layout.paddingOffset
                         : static_cast<size_t>(layout.tagSize) - (layout.hasFooter ? 10 : 0);
  size_t at = layout.framesOffset;
  while (at + headerSize <= end) {
    const unsigned char* header = tag + at;
    size_t bodySize = 0;
    if (layout.majorVersion == 2) {
      bodySize = bigEndian(header + 3, 3);
    } else if (layout.majorVersion == 3) {
      bodySize = bigEndian(header + 4, 4);
    } else {
      bodySize = syncsafe(header + 4);
    }
    require(bodySize <= end - at - headerSize, "frame walk left the tag the reader vouched for");
    frames.push_back({at, headerSize + bodySize});
    at += headerSize + bodySize;
  }
  require(frames.size() == layout.frameCount, "frame walk disagrees with the reader's frame count");
  return frames;
}

bool isPopm(const unsigned char* tag, const FrameBytes& frame, const Id3v2Layout& layout) {
  return layout.majorVersion == 2 ? std::memcmp(tag + frame.offset, "POP", 3) == 0
                                  : std::memcmp(tag + frame.offset, "POPM", 4) == 0;
}

// What a frame holds, for comparing a frame before and after a write. Not content: the two
// ID3v2.3 status flags that ask to discard a frame when the tag or the file changes (id3lib
// sets them on TLEN and a few other frames), and the byte order mark of an empty UTF-16
// string (id3lib writes an empty string as NUL NUL alone).
struct FrameContent {
  std::string id;
  uint32_t flags;
  std::string body;
};

// The frames that start with a text encoding byte.
bool hasTextEncoding(const std::string& id) {
  static const char* const kIds[] = {"IPLS", "COMM", "USLT", "SYLT", "APIC", "GEOB", "USER", "OWNE", "COMR",
                                     "WXXX", "IPL",  "COM",  "ULT",  "SLT",  "PIC",  "GEO",  "WXX"};
  if (id[0] == 'T') return true;
  for (const char* known : kIds) {
    if (id == known) return true;
  }
  return false;
}

bool isByteOrderMark(const std::string& bytes, size_t at) {
  return bytes.size() - at >= 2 && ((bytes[at] == '\xFF' && bytes[at + 1] == '\xFE') ||
                                    (bytes[at] == '\xFE' && bytes[at + 1] == '\xFF'));
}

bool isNulNul(const std::string& bytes, size_t at) {
  return bytes.size() - at >= 2 && bytes[at] == 0 && bytes[at + 1] == 0;
}

// `after` is `before` with the byte order marks of some empty UTF-16 strings (BOM, NUL NUL)
// left out.
bool sameButEmptyStringBoms(const std::string& before, const std::string& after) {
  size_t i = 0;
  size_t j = 0;
  while (i < before.size() && j < after.size()) {
    if (before[i] == after[j]) {
      ++i;
      ++j;
    } else if (isByteOrderMark(before, i) && isNulNul(before, i + 2) && isNulNul(after, j)) {
      i += 4;
      j += 2;
    } else {
      return false;
    }
  }
  return i == before.size() && j == after.size();
}

bool sameContent(const FrameContent& before, const FrameContent& after) {
  if (before.id != after.id || before.flags != after.flags) return false;
  if (before.body == after.body) return true;
  return hasTextEncoding(before.id) && !before.body.empty() && before.body[0] == 0x01 &&
         sameButEmptyStringBoms(before.body, after.body);
}

// The frames' contents but the first POPM frame's.
std::vector<FrameContent> framesButFirstPopm(const unsigned char* tag, const Id3v2Layout& layout) {
  std::vector<FrameContent> kept;
  bool popmSeen = false;
  const size_t idSize = layout.majorVersion == 2 ? 3 : 4;
  const size_t headerSize = layout.majorVersion == 2 ? 6 : 10;
  for (const FrameBytes& frame : framesOf(tag, layout)) {
    if (!popmSeen && isPopm(tag, frame, layout)) {
      popmSeen = true;
      continue;
    }
    const unsigned char* start = tag + frame.offset;
    FrameContent content;
    content.id.assign(reinterpret_cast<const char*>(start), idSize);
    content.flags = layout.majorVersion == 2 ? 0 : bigEndian(start + 8, 2);
    if (layout.majorVersion == 3) content.flags &= ~0xC000u;
    content.body.assign(reinterpret_cast<const char*>(start + headerSize), frame.size - headerSize);
    kept.push_back(content);
  }
  return kept;
}

// Old and new tags hold the same frames but the first POPM. An old tag that the reader does not
// vouch for, or an unsynchronised one, may not have been changed at all.
void checkFramesKept(const FileBytes& before, const Id3v2Layout& old, const FileBytes& after,
                     const Id3v2Layout& now) {
  require(now.wellFormed, "the stored tag is not well-formed");
  std::vector<FrameContent> oldFrames;
  if (old.present) {
    require(old.wellFormed, "a malformed tag was changed");
    require(!(old.unsynchronised && old.majorVersion < 4), "an unsynchronised tag was rewritten");
    oldFrames = framesButFirstPopm(before.data(), old);
  }
  const std::vector<FrameContent> newFrames = framesButFirstPopm(after.data(), now);
  require(newFrames.size() == oldFrames.size(), "frames other than the first POPM were added or lost");
  for (size_t i = 0; i < oldFrames.size(); ++i) {
    require(sameContent(oldFrames[i], newFrames[i]), "a frame other than the first POPM changed");
  }
}

Id3v2Layout layoutOf(const FileBytes& file) {
  const MemoryBytes memory = {file.data(), file.size()};
  Id3v2Layout layout;
  parseId3v2Tag(memorySource(&memory, file.size()), &layout);
  return layout;
}

void checkPlannedBytes(const FileBytes& before, const FileBytes& after, const StoreWrite& what) {
  const RatingWritePlan& plan = what.plan;
  require(what.bytesWritten, "planned bytes were not written");
  require(plan.length > 0 && plan.length <= sizeof plan.bytes, "planned length");
  require(plan.offset <= before.size() && plan.length <= before.size() - plan.offset,
          "plan outside the file");
  require(after.size() == before.size(), "the file size changed");
  for (size_t i = 0; i < before.size(); ++i) {
    const bool planned = i >= plan.offset && i - plan.offset < plan.length;
    require(planned ? after[i] == plan.bytes[i - plan.offset] : after[i] == before[i],
            planned ? "a planned byte differs" : "a byte outside the plan changed");
  }
  const Id3v2Layout old = layoutOf(before);
  require(old.present && old.wellFormed, "bytes planned into a tag the reader does not vouch for");
  require(plan.offset + plan.length <= old.tagSize, "planned bytes outside the tag");
  checkFramesKept(before, old, after, layoutOf(after));
}

void checkId3libRewrite(const FileBytes& before, const FileBytes& after, const StoreWrite& what) {
  const RatingWritePlan& plan = what.plan;
  require(after != before, "id3lib updated the file but it did not change");
  require(!what.leftoverRemoved, "id3lib's copy was incomplete");
  const Id3v2Layout now = layoutOf(after);
  require(now.present && now.majorVersion == 3, "id3lib did not leave an ID3v2.3 tag");
  require(plan.tagSize <= before.size(), "planned old tag larger than the file");
  require(now.tagSize <= after.size() && after.size() - now.tagSize == before.size() - plan.tagSize &&
              std::memcmp(after.data() + now.tagSize, before.data() + plan.tagSize,
                          before.size() - plan.tagSize) == 0,
          "the bytes after the tag changed");
  Id3v2Layout old = layoutOf(before);
  if (plan.tagSize == 0) {
    require(!old.present, "id3lib planned as tagless for a file with a tag");
  } else {
    require(old.tagSize == plan.tagSize, "id3lib planned with another tag size than the reader's");
  }
  checkFramesKept(before, old, after, now);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = scratchPath("song.mp3");
  static const std::string leftover = path + ".XXXXXX";
  storeWrite = nullptr;
  fileAfter = nullptr;
  removePath(leftover);
  require(writeWholeFile(path, data, size), "cannot write the scratch file");
  const FileBytes before(data, data + size);
  const int stars = size > 0 ? data[size - 1] % 6 : 0;

  StoreWrite what;
  storeWriteRating(path.c_str(), stars, &what);
  storeWrite = &what;

  FileBytes after;
  require(readWholeFile(path, &after), "the file is gone");
  fileAfter = &after;
  require(!pathExists(leftover), "a copy was left beside the file");
  require(what.planned || after == before, "the file changed without a plan");
  if (!what.planned) return 0;

  switch (what.plan.method) {
    case kRatingWriteNothing:
      require(after == before, "nothing was planned, yet the file changed");
      if (what.plan.reason == kWriteReasonAlreadyStored) {
        require(storeReadRating(path.c_str()) == stars, "a rating found already stored does not read back");
      }
      return 0;
    case kRatingWriteBytes:
      checkPlannedBytes(before, after, what);
      break;
    case kRatingWriteWithId3lib:
      if (!what.id3libUpdated) {
        require(after == before, "id3lib was not asked, yet the file changed");
        return 0;
      }
      checkId3libRewrite(before, after, what);
      break;
  }
  require(storeReadRating(path.c_str()) == stars, "the rating written does not read back");
  return 0;
}
