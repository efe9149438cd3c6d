// libFuzzer target over the plugin's ID3v2 reader. Besides crashes and sanitizer reports it
// fails on any answer the plugin could not rely on: an offset outside the input, a rating
// offset outside the POPM body or not holding the reported rating, an answer that changes
// when only the rating byte changes, or a POPM frame the plugin builds itself that does not
// read back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rating/id3v2_reader.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "id3v2 reader oracle failed: %s\n", what);
  std::abort();
}

// [offset, offset + length) lies inside the first `available` bytes.
bool inside(size_t offset, size_t length, size_t available) {
  return offset <= available && length <= available - offset;
}

void checkLayout(const unsigned char* data, size_t available, uint64_t fileSize, const Id3v2Layout& layout) {
  if (available > fileSize) available = static_cast<size_t>(fileSize);
  require(layout.wellFormed == (layout.problem == Id3v2Problem::None), "wellFormed vs problem");
  require(std::strcmp(id3v2ProblemName(layout.problem), "Unknown") != 0, "problem without a name");
  require(layout.problemOffset <= available, "problem offset outside the input");
  require(layout.id3libWouldMisrender == (layout.id3libHazards != 0), "hazard summary");
  if (!layout.present) {
    require(!layout.wellFormed && !layout.popmFound, "no tag but tag facts");
    return;
  }

  if (layout.wellFormed) {
    require(layout.majorVersion >= 2 && layout.majorVersion <= 4, "version");
    require(layout.tagSize >= 10 && layout.tagSize <= available && layout.tagSize <= fileSize,
            "well-formed tag outside the input");
    require(id3v2BytesNeeded(data) == layout.tagSize, "bytes needed differs from tag size");
    require(layout.framesOffset >= 10 && layout.framesOffset <= layout.tagSize, "frames offset");
  }
  require(layout.framesOffset <= available, "frames offset outside the input");
  if (layout.hasExtendedHeader) {
    require(inside(10, layout.extendedHeaderSize, available), "extended header outside");
  }

  if (layout.paddingSize > 0) {
    require(layout.paddingOffset >= 10 && inside(layout.paddingOffset, layout.paddingSize, available),
            "padding outside the input");
    for (size_t i = 0; i < layout.paddingSize; ++i) {
      require(data[layout.paddingOffset + i] == 0, "padding byte not zero");
    }
  } else {
    require(layout.paddingOffset == 0, "padding offset without padding");
  }

  if (!layout.popmFound) {
    require(layout.popmRatingOffset == 0 && !layout.popmRatingKnown, "rating without POPM");
    return;
  }
  require(layout.popmFrameOffset >= 10 && inside(layout.popmFrameOffset, layout.popmFrameSize, available),
          "POPM frame outside the input");
  require(std::memcmp(data + layout.popmFrameOffset, "POP", 3) == 0, "POPM offset misses POP");
  require(layout.popmBodyOffset >= layout.popmFrameOffset + 6 &&
              layout.popmBodyOffset + layout.popmBodySize == layout.popmFrameOffset + layout.popmFrameSize,
          "POPM body does not end the frame");

  if (layout.popmRatingOffset == 0) {
    require(layout.popmOwnerOffset == 0 && layout.popmOwnerLength == 0, "owner without rating");
    return;
  }
  const size_t rating = layout.popmRatingOffset;
  require(layout.popmRatingKnown, "rating offset but rating unknown");
  require(!layout.popmUnsynchronised && !layout.popmCompressed && !layout.popmEncrypted,
          "rating offset into encoded bytes");
  require(rating >= layout.popmBodyOffset && rating < layout.popmBodyOffset + layout.popmBodySize,
          "rating byte outside the POPM body");
  require(data[rating] == layout.popmRating, "rating byte differs from the rating");
  require(layout.popmOwnerOffset >= layout.popmBodyOffset &&
              layout.popmOwnerOffset + layout.popmOwnerLength + 1 == rating && data[rating - 1] == 0,
          "owner does not end with the NUL before the rating");
  require(std::memchr(data + layout.popmOwnerOffset, 0, layout.popmOwnerLength) == nullptr,
          "NUL inside the owner");
  require(rating + 1 + layout.popmCounterSize == layout.popmBodyOffset + layout.popmBodySize,
          "counter does not fill the rest of the body");
}

// Everything but the rating itself. Listed field by field: struct padding is not compared.
bool sameExceptRating(const Id3v2Layout& a, const Id3v2Layout& b) {
  return a.present == b.present && a.majorVersion == b.majorVersion && a.revision == b.revision &&
         a.headerFlags == b.headerFlags && a.unsynchronised == b.unsynchronised &&
         a.hasExtendedHeader == b.hasExtendedHeader && a.experimental == b.experimental &&
         a.hasFooter == b.hasFooter && a.tagSize == b.tagSize && a.wellFormed == b.wellFormed &&
         a.problem == b.problem && a.problemOffset == b.problemOffset &&
         a.extendedHeaderHasCrc == b.extendedHeaderHasCrc && a.extendedHeaderSize == b.extendedHeaderSize &&
         a.framesOffset == b.framesOffset && a.frameCount == b.frameCount &&
         a.paddingOffset == b.paddingOffset && a.paddingSize == b.paddingSize && a.popmFound == b.popmFound &&
         a.popmFrameOffset == b.popmFrameOffset && a.popmFrameSize == b.popmFrameSize &&
         a.popmBodyOffset == b.popmBodyOffset && a.popmBodySize == b.popmBodySize &&
         a.popmFrameFlags == b.popmFrameFlags && a.popmCompressed == b.popmCompressed &&
         a.popmEncrypted == b.popmEncrypted && a.popmUnsynchronised == b.popmUnsynchronised &&
         a.popmGrouped == b.popmGrouped && a.popmHasDataLength == b.popmHasDataLength &&
         a.popmBroken == b.popmBroken && a.popmRatingKnown == b.popmRatingKnown &&
         a.popmRatingOffset == b.popmRatingOffset && a.popmOwnerOffset == b.popmOwnerOffset &&
         a.popmOwnerLength == b.popmOwnerLength && a.popmCounterSize == b.popmCounterSize &&
         a.id3libHazards == b.id3libHazards && a.id3libWouldMisrender == b.id3libWouldMisrender;
}

Id3v2Layout parseAndCheck(const unsigned char* data, size_t available, uint64_t fileSize) {
  Id3v2Layout layout;
  parseId3v2Tag(data, available, fileSize, &layout);
  checkLayout(data, available, fileSize, layout);
  return layout;
}

// The plugin edits a rating by rewriting one byte; nothing else about the tag may change.
void checkRatingRewrite(const unsigned char* data, size_t size, const Id3v2Layout& original) {
  std::vector<unsigned char> copy(data, data + size);
  const unsigned char originalRating = data[original.popmRatingOffset];
  const unsigned char newRatings[] = {static_cast<unsigned char>(originalRating ^ 0xFF), 0x00, 0xFF};
  for (unsigned char newRating : newRatings) {
    copy[original.popmRatingOffset] = newRating;
    const Id3v2Layout rewritten = parseAndCheck(copy.data(), size, size);
    require(sameExceptRating(original, rewritten), "answer depends on the rating byte");
    require(rewritten.popmRating == newRating, "rewritten rating not read back");
  }
}

// A POPM frame built by the plugin, put into an ID3v2.4 or ID3v2.3 tag with padding, must
// read back with the owner and rating it was built from.
void checkBuiltPopm(const unsigned char* data, size_t size) {
  char owner[48];
  size_t ownerLength = 0;
  while (ownerLength < size && ownerLength + 1 < sizeof owner && data[ownerLength] != 0) {
    owner[ownerLength] = static_cast<char>(data[ownerLength]);
    ++ownerLength;
  }
  owner[ownerLength] = '\0';
  const unsigned char rating = static_cast<unsigned char>(size);

  for (unsigned char version : {4, 3}) {
    const size_t padding = 16;
    unsigned char tag[10 + 10 + sizeof owner + 2 + padding];
    const size_t capacity = sizeof tag - 10 - padding;
    const size_t frameSize = version == 4 ? buildPopmFrameV24(tag + 10, capacity, owner, rating)
                                          : buildPopmFrameV23(tag + 10, capacity, owner, rating);
    require(frameSize == 10 + ownerLength + 2, "built POPM frame size");
    const size_t contentSize = frameSize + padding;
    const unsigned char header[10] = {'I',
                                      'D',
                                      '3',
                                      version,
                                      0,
                                      0,
                                      0,
                                      0,
                                      static_cast<unsigned char>(contentSize >> 7),
                                      static_cast<unsigned char>(contentSize & 0x7F)};
    std::memcpy(tag, header, sizeof header);
    std::memset(tag + 10 + frameSize, 0, padding);
    const size_t tagSize = 10 + contentSize;

    const Id3v2Layout layout = parseAndCheck(tag, tagSize, tagSize + 100);
    require(layout.wellFormed && layout.id3libHazards == 0, "built POPM frame makes the tag malformed");
    require(layout.popmRatingOffset == 10 + 10 + ownerLength + 1 && layout.popmRating == rating,
            "built POPM rating not read back");
    require(layout.popmOwnerLength == ownerLength &&
                std::memcmp(tag + layout.popmOwnerOffset, owner, ownerLength) == 0,
            "built POPM owner not read back");
    require(layout.paddingSize == padding, "padding after the built POPM frame");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input as a whole file, then as a file shorter than what was read, then as the start
  // of a longer file read only in part.
  const Id3v2Layout whole = parseAndCheck(data, size, size);
  parseAndCheck(data, size, size / 2);
  parseAndCheck(data, size / 2, size);
  parseAndCheck(data, size, uint64_t{1} << 40);

  if (size >= 10) {
    const size_t needed = id3v2BytesNeeded(data);
    require(needed == 0 || needed >= 10, "bytes needed below the header size");
    if (whole.present && whole.tagSize != 0 && needed != 0) {
      require(needed == whole.tagSize, "bytes needed differs from tag size");
    }
  }

  if (whole.wellFormed && whole.popmRatingOffset != 0) checkRatingRewrite(data, size, whole);
  checkBuiltPopm(data, size);
  return 0;
}
