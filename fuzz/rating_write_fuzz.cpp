// SPDX-License-Identifier: LGPL-2.1-or-later
// libFuzzer target over the whole write of a rating: the input is a music file's bytes, the star
// count comes from its last byte. The file is written to a scratch folder and the rating stored
// by the store itself (rating.h: writeRating, with the file calls of track_file_posix.cpp).
//
// Then the oracle, against the write guard's plan for these bytes. The file is byte for byte as
// it was, or:
// - after planned bytes: only those bytes changed, all inside the tag;
// - after id3lib's tag (made in memory): a well-formed ID3v2.3 tag followed by every byte that
//   followed the old tag;
// - after the tag editor: a tag of the same version followed by every byte that followed the
//   old tag, its frames as mutagen decodes them (unsynchronisation undone only where it holds);
// and in each case every frame but the first POPM is kept with the same bytes, and the rating
// reads back (through the store's read) as the stars written. A write reported as saved reads
// back; a changed file was reported as saved. No file may be left beside it. Crashes, sanitizer
// reports, leaks and hangs (-timeout) count as failures too.
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_files.h"
#include "rating/bytes/memory_source.h"
#include "rating/id3v2/id3v2_format.h"
#include "rating/id3v2/id3v2_reader.h"
#include "rating/mp3/mp3_file.h"
#include "rating/mp3/write_guard.h"
#include "rating/rating.h"
#include "rating/rooms.h"

using FileBytes = std::vector<unsigned char>;

namespace {

// The file as the store left it and the guard's plan, for a failure report.
const FileBytes* fileAfter = nullptr;
const RatingWritePlan* guardPlan = nullptr;
RatingSaveResult saveResult = kRatingNotSaved;

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "rating write oracle failed: %s\n", what);
  if (guardPlan != nullptr) {
    std::fprintf(stderr, "plan: %s, offset %llu, length %zu, old tag %llu bytes with %u frames; result %d\n",
                 ratingWriteReasonName(guardPlan->reason), static_cast<unsigned long long>(guardPlan->offset),
                 guardPlan->length, static_cast<unsigned long long>(guardPlan->tagSize), guardPlan->frameCount,
                 static_cast<int>(saveResult));
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

// The frames of a well-formed tag as stored: the reader vouches that they follow each other
// from framesOffset to framesEnd with sizes inside the tag.
std::vector<FrameBytes> framesOf(const unsigned char* tag, const Id3v2Layout& layout) {
  std::vector<FrameBytes> frames;
  const size_t headerSize = layout.majorVersion == 2 ? 6 : 10;
  const size_t end = static_cast<size_t>(layout.framesEnd);
  size_t at = layout.framesOffset;
  while (at + headerSize <= end) {
    const unsigned char* header = tag + at;
    size_t bodySize = 0;
    if (layout.majorVersion == 2) {
      bodySize = bigEndian24(header + 3);
    } else if (layout.majorVersion == 3 || layout.frameSizesPlain) {
      bodySize = bigEndian32(header + 4);
    } else {
      bodySize = syncsafe32(header + 4);
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
    content.flags = layout.majorVersion == 2 ? 0 : bigEndian16(start + 8);
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
  parseMp3Tag(memorySource(&memory, file.size()), &layout);
  return layout;
}

void checkPlannedBytes(const FileBytes& before, const FileBytes& after, const RatingWritePlan& plan) {
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

void checkId3libRewrite(const FileBytes& before, const FileBytes& after, const RatingWritePlan& plan) {
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

// The names in the scratch folder but the song's: copies left beside it.
int filesBeside(const std::string& folder, const char* song) {
  int count = 0;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const char* name = entry->d_name;
      if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 && std::strcmp(name, song) != 0) ++count;
    }
    closedir(dir);
  }
  return count;
}

std::wstring widePath(const std::string& plain) { return std::wstring(plain.begin(), plain.end()); }

// `bytes` with unsynchronisation undone as mutagen undoes it: not at all where the bytes hold
// what unsynchronisation never leaves (FF at the end, FF FF, FF followed by E0 or more): some
// taggers set the flag on bytes they never unsynchronised. The store promises that reading:
// such bytes stay as stored and only the flag is cleared.
std::string undoLikeMutagen(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    out += bytes[i];
    if (byte != 0xFF) continue;
    if (i + 1 == bytes.size()) return bytes;
    const unsigned char next = static_cast<unsigned char>(bytes[i + 1]);
    if (next == 0xFF || next >= 0xE0) return bytes;
    if (next == 0x00) ++i;
  }
  return out;
}

// A tag's frames as mutagen reads them: unsynchronisation undone where it holds (tag-wide in
// ID3v2.2/2.3, per frame in ID3v2.4, whose unsynchronisation flag is then left out), for the
// frames the strict reader vouched for (the guard writes only where mutagen walks the same
// ones). Bytes after them (non-zero bytes kept after the frames, then padding) are no frame.
std::vector<FrameContent> decodedFrames(const FileBytes& file, const Id3v2Layout& layout) {
  std::vector<FrameContent> frames;
  const unsigned char version = layout.majorVersion;
  const size_t areaEnd = static_cast<size_t>(layout.tagSize) - (layout.hasFooter ? 10 : 0);
  std::string area(reinterpret_cast<const char*>(file.data()) + 10, areaEnd - 10);
  if (version < 4 && layout.unsynchronised) area = undoLikeMutagen(area);
  size_t at = layout.extendedHeaderSize > 0 ? (version == 3 ? 4 + bigEndian32(
      reinterpret_cast<const unsigned char*>(area.data())) : layout.extendedHeaderSize) : 0;
  const size_t headerSize = version == 2 ? 6 : 10;
  while (frames.size() < layout.frameCount && at + headerSize <= area.size() && area[at] != 0) {
    const unsigned char* header = reinterpret_cast<const unsigned char*>(area.data()) + at;
    const size_t size = version == 2                              ? bigEndian24(header + 3)
                        : version == 3 || layout.frameSizesPlain ? bigEndian32(header + 4)
                                                                 : syncsafe32(header + 4);
    require(size <= area.size() - at - headerSize, "a decoded frame runs past its tag");
    FrameContent frame;
    frame.id.assign(reinterpret_cast<const char*>(header), version == 2 ? 3 : 4);
    frame.flags = version == 2 ? 0 : bigEndian16(header + 8);
    frame.body = area.substr(at + headerSize, size);
    if (version == 4 && ((frame.flags & 0x0002) || layout.unsynchronised)) {
      // The data-length indicator (compression 0x0008, indicator 0x0001) is never unsynchronised.
      const size_t indicator = (frame.flags & 0x0009) ? std::min<size_t>(4, frame.body.size()) : 0;
      frame.body = frame.body.substr(0, indicator) + undoLikeMutagen(frame.body.substr(indicator));
      frame.flags &= ~0x0002u;
    }
    frames.push_back(frame);
    at += headerSize + size;
  }
  require(frames.size() == layout.frameCount, "the decoded frames are not the ones the reader counted");
  return frames;
}

// The tag editor's write: the same version, the same frames but the first POPM (bytes and
// flags, decoded), a POPM added only where there was none, and every byte after the old
// tag still after the new one.
void checkEditorRewrite(const FileBytes& before, const FileBytes& after, const RatingWritePlan& plan) {
  const Id3v2Layout old = layoutOf(before);
  const Id3v2Layout now = layoutOf(after);
  require(now.present && now.wellFormed && !now.unsynchronised, "the editor left no plain tag");
  require(plan.tagSize <= before.size() && now.tagSize <= after.size(), "tag sizes");
  require(after.size() - now.tagSize == before.size() - plan.tagSize &&
              std::memcmp(after.data() + now.tagSize, before.data() + plan.tagSize, before.size() - plan.tagSize) == 0,
          "the bytes after the tag changed");
  std::vector<FrameContent> oldFrames;
  if (plan.tagSize > 0) {
    require(old.wellFormed && old.majorVersion == now.majorVersion, "the editor changed the version");
    oldFrames = decodedFrames(before, old);
  }
  std::vector<FrameContent> newFrames = decodedFrames(after, now);
  const auto isPopm = [](const FrameContent& f) { return f.id == "POPM" || f.id == "POP"; };
  const auto dropFirstPopm = [&](std::vector<FrameContent>& frames) {
    for (size_t i = 0; i < frames.size(); ++i)
      if (isPopm(frames[i])) {
        frames.erase(frames.begin() + static_cast<long>(i));
        return true;
      }
    return false;
  };
  const bool hadPopm = dropFirstPopm(oldFrames);
  require(dropFirstPopm(newFrames), "the editor left no POPM");
  require(hadPopm || !old.popmFound, "the old POPM went");
  require(newFrames.size() == oldFrames.size(), "frames other than the first POPM were added or lost");
  for (size_t i = 0; i < oldFrames.size(); ++i)
    require(oldFrames[i].id == newFrames[i].id && oldFrames[i].flags == newFrames[i].flags &&
                oldFrames[i].body == newFrames[i].body,
            "the editor changed a frame other than the first POPM");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = scratchPath("song.mp3");
  static const std::string folder = path.substr(0, path.rfind('/'));
  static const std::wstring storePath = widePath(path);
  guardPlan = nullptr;
  fileAfter = nullptr;
  require(writeWholeFile(path, data, size), "cannot write the scratch file");
  const FileBytes before(data, data + size);
  const int stars = size > 0 ? data[size - 1] % 6 : 0;

  // The guard's plan for these bytes: the file is small, so the store's head is all of it.
  RatingWritePlan plan;
  const MemoryBytes memory = {data, size};
  planRatingWrite(memorySource(&memory, size), RatingScale[stars], &plan);
  guardPlan = &plan;
  saveResult = writeRating(storePath.c_str(), stars);

  FileBytes after;
  require(readWholeFile(path, &after), "the file is gone");
  fileAfter = &after;
  require(filesBeside(folder, "song.mp3") == 0, "a file was left beside the song");
  const bool readsBack = readRating(storePath.c_str()) == stars;
  require(saveResult != kRatingSaved || readsBack, "a write reported as saved does not read back");
  require(after == before || saveResult == kRatingSaved, "the file changed, yet the write was not reported saved");

  // A FLAC behind an ID3v2 tag, or an Ogg file, is its room's to plan: the file afterwards is
  // the old one, or the one the room planned, byte for byte.
  const ByteSource source = memorySource(&memory, size);
  const Room* room = roomOf(source);
  if (room != nullptr && room->plan != planMp3Write) {
    WritePlan roomPlan;
    initWritePlan(&roomPlan);
    room->plan(source, stars, &roomPlan);
    FileBytes planned;
    if (roomPlan.kind != kPlanNothing && !roomPlan.failed) {
      const PlannedFile plannedFile = {&roomPlan, source};
      const ByteSource plannedBytes = plannedSource(&plannedFile);
      planned.resize(static_cast<size_t>(plannedBytes.size));
      require(plannedBytes.readAt(plannedBytes.file, 0, planned.data(), planned.size()) == planned.size(),
              "the planned file cannot be read");
    }
    const bool nothing = roomPlan.kind == kPlanNothing;
    const bool stored = roomPlan.alreadyStored;
    releaseWritePlan(&roomPlan);
    if (nothing) {
      require(after == before, "the room planned nothing, yet the file changed");
      if (stored) require(readsBack, "a rating the room found stored does not read back");
      return 0;
    }
    require(after == before || after == planned, "the file is neither the old one nor the one the room planned");
    if (after == planned) require(readsBack, "the room's rating does not read back");
    return 0;
  }

  switch (plan.method) {
    case kRatingWriteNothing:
      require(after == before, "nothing was planned, yet the file changed");
      if (plan.reason == kWriteReasonAlreadyStored) require(readsBack, "a rating found already stored does not read back");
      return 0;
    case kRatingWriteBytes:
      checkPlannedBytes(before, after, plan);
      break;
    case kRatingWriteRewrite:
      if (after == before) return 0;
      checkEditorRewrite(before, after, plan);
      break;
    case kRatingWriteWithId3lib:
      // The room may still decline (id3lib reads another tag, its render fails a check).
      if (after == before) return 0;
      checkId3libRewrite(before, after, plan);
      break;
  }
  require(readsBack, "the rating written does not read back");
  return 0;
}
