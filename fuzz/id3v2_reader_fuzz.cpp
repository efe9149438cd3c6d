// SPDX-License-Identifier: LGPL-2.1-or-later
// libFuzzer target over the plugin's ID3v2 reader. Besides crashes and sanitizer reports it
// fails on any answer the plugin could not rely on, tolerated tags included: an offset outside
// the input, frames that do not end at framesEnd inside the tag, a tag that ends before its
// claim though the file holds it, a rating offset outside the POPM body or not holding the
// reported rating, an answer that changes when only the rating byte changes, or a POPM frame
// the plugin builds itself that does not read back. It also fails when the reader reads past the tag, reads more than a window at
// once, or reads into a frame body it has no need for (only flag extras and POPM bodies).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rating/bytes/memory_source.h"
#include "rating/bytes/source_window.h"
#include "rating/id3v2/id3v2_reader.h"
#include "rating/mp3/mpeg_sync.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "id3v2 reader oracle failed: %s\n", what);
  std::abort();
}

// [offset, offset + length) lies inside the first `available` bytes.
bool inside(uint64_t offset, uint64_t length, uint64_t available) {
  return offset <= available && length <= available - offset;
}

// The first `available` bytes of a file of `size` bytes, noting which bytes the reader read.
struct TrackedFile {
  MemoryBytes memory;
  uint64_t size;
  std::vector<unsigned char> read;  // per byte of memory: 1 once read
};

size_t readTracked(void* file, uint64_t offset, unsigned char* buffer, size_t count) {
  TrackedFile* tracked = static_cast<TrackedFile*>(file);
  require(offset <= tracked->size && count <= tracked->size - offset, "read past the end of the file");
  require(count <= kSourceWindowSize, "a read larger than the window");
  const ByteSource memory = memorySource(&tracked->memory, tracked->size);
  const size_t got = memory.readAt(memory.file, offset, buffer, count);
  for (size_t i = 0; i < got; ++i) tracked->read[static_cast<size_t>(offset) + i] = 1;
  return got;
}

uint32_t bigEndian(const unsigned char* bytes, int width) {
  uint32_t value = 0;
  for (int i = 0; i < width; ++i) value = (value << 8) | bytes[i];
  return value;
}

// Of the frames the reader walks one header at a time, no body byte is read past the flag
// extras (and the stuffing among them) but in POPM frames; the tag's last byte is read to
// know that the file can be read that far. A tolerated ID3v2.4 tag may have been walked with
// the other reading of its sizes too, whose headers lie inside these bodies.
void checkBodiesUnread(const unsigned char* data, const Id3v2Layout& layout, const std::vector<unsigned char>& read) {
  if (!layout.wellFormed || (layout.unsynchronised && layout.majorVersion < 4)) return;
  const bool secondReading = layout.majorVersion == 4 && layout.tolerated;
  const size_t headerSize = layout.majorVersion == 2 ? 6 : 10;
  const uint64_t end = layout.framesEnd;
  uint64_t at = layout.framesOffset;
  for (uint32_t frame = 0; frame < layout.frameCount && frame < kFramesReadOneByOne; ++frame) {
    const unsigned char* header = data + at;
    const bool plain = layout.majorVersion == 3 || layout.frameSizesPlain;
    const uint64_t bodySize = layout.majorVersion == 2 ? bigEndian(header + 3, 3)
                              : plain                  ? bigEndian(header + 4, 4)
                                      : (uint32_t{header[4]} << 21) | (uint32_t{header[5]} << 14) |
                                            (uint32_t{header[6]} << 7) | header[7];
    require(at + headerSize + bodySize <= end, "frame walk left the tag the reader vouched for");
    const bool popm = std::memcmp(header, "POP", 3) == 0 && (layout.majorVersion == 2 || header[3] == 'M');
    const bool flagged = layout.majorVersion != 2 && (header[8] != 0 || header[9] != 0);
    const uint64_t extras = flagged ? 13 : 0;
    for (uint64_t i = at + headerSize + extras; !popm && !secondReading && i < at + headerSize + bodySize;
         ++i) {
      require(!read[static_cast<size_t>(i)] || i == layout.tagSize - 1, "a frame body was read");
    }
    at += headerSize + bodySize;
  }
  require(at == end || layout.frameCount > kFramesReadOneByOne, "frames do not end where the reader says");
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
    require(id3v2BytesNeeded(data) == layout.declaredTagSize, "bytes needed differs from the claimed size");
    // Only a tag that claims more than the file has ends before its claim: where its zero
    // bytes end, or with the last frame.
    require(layout.tagSize == layout.declaredTagSize ||
                (layout.tolerated && layout.declaredTagSize > fileSize && !layout.hasFooter &&
                 layout.tagSize == layout.framesEnd + layout.paddingSize),
            "tag size differs from the claim");
    require(layout.framesOffset >= 10 && layout.framesOffset <= layout.framesEnd &&
                layout.framesEnd <= layout.tagSize - (layout.hasFooter ? 10 : 0),
            "frames end outside the tag");
    require(layout.paddingSize == 0 || layout.paddingOffset == layout.framesEnd,
            "padding does not follow the frames");
    require(layout.tolerated == (layout.toleratedProblem != Id3v2Problem::None),
            "tolerated without a reason");
    require(!layout.frameSizesPlain || (layout.majorVersion == 4 && layout.tolerated), "plain sizes");
    require(!layout.tolerated || (layout.id3libHazards & kId3libHazardToleratedTag),
            "tolerated without a hazard");
    require(!layout.popmFound || layout.popmFrameOffset + layout.popmFrameSize <= layout.framesEnd,
            "POPM frame past the frames");
  } else {
    require(!layout.tolerated, "tolerated but not well-formed");
  }
  require(layout.framesOffset <= available, "frames offset outside the input");
  if (layout.hasExtendedHeader) {
    require(inside(10, layout.extendedHeaderSize, available), "extended header outside");
  }

  if (layout.paddingSize > 0) {
    require(layout.paddingOffset >= 10 && inside(layout.paddingOffset, layout.paddingSize, available),
            "padding outside the input");
    for (size_t i = 0; i < layout.paddingSize; ++i) {
      require(data[static_cast<size_t>(layout.paddingOffset) + i] == 0, "padding byte not zero");
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
  const size_t rating = static_cast<size_t>(layout.popmRatingOffset);
  require(layout.popmRatingKnown, "rating offset but rating unknown");
  require(!layout.popmUnsynchronised && !layout.popmCompressed && !layout.popmEncrypted,
          "rating offset into encoded bytes");
  require(rating >= layout.popmBodyOffset && rating < layout.popmBodyOffset + layout.popmBodySize,
          "rating byte outside the POPM body");
  require(data[rating] == layout.popmRating, "rating byte differs from the rating");
  require(layout.popmOwnerOffset >= layout.popmBodyOffset &&
              layout.popmOwnerOffset + layout.popmOwnerLength + 1 == rating && data[rating - 1] == 0,
          "owner does not end with the NUL before the rating");
  require(std::memchr(data + static_cast<size_t>(layout.popmOwnerOffset), 0, layout.popmOwnerLength) == nullptr,
          "NUL inside the owner");
  require(rating + 1 + layout.popmCounterSize == layout.popmBodyOffset + layout.popmBodySize,
          "counter does not fill the rest of the body");
}

// Everything but the rating itself. Listed field by field: struct padding is not compared.
bool sameExceptRating(const Id3v2Layout& a, const Id3v2Layout& b) {
  return a.present == b.present && a.majorVersion == b.majorVersion && a.revision == b.revision &&
         a.headerFlags == b.headerFlags && a.unsynchronised == b.unsynchronised &&
         a.hasExtendedHeader == b.hasExtendedHeader && a.experimental == b.experimental &&
         a.hasFooter == b.hasFooter && a.tagSize == b.tagSize && a.declaredTagSize == b.declaredTagSize &&
         a.wellFormed == b.wellFormed && a.problem == b.problem && a.problemOffset == b.problemOffset &&
         a.tolerated == b.tolerated && a.toleratedProblem == b.toleratedProblem &&
         a.framesEnd == b.framesEnd && a.frameSizesPlain == b.frameSizesPlain &&
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

// Where the bytes end that mutagen takes for an ID3v2.3 tag's frames when the unsynchronisation
// flag asks it to decode them: it reads the extended header as stored, then as many bytes as
// the tag holds after its header, past the tag's end. The reader checks those bytes, and a
// stuffing byte in the first 16 after the header, as mutagen would decode them. 0 for others.
uint64_t mutagenFramesEnd(const unsigned char* data, size_t available) {
  if (available < 10 || std::memcmp(data, "ID3", 3) != 0 || data[3] != 3 || (data[5] & 0xC0) != 0xC0) return 0;
  if (available < 14) return 14;  // the extended header's size, as far as it can be read
  const uint64_t extendedSize = 4 + uint64_t{bigEndian(data + 10, 4)};
  const uint64_t size = (uint32_t{data[6] & 0x7Fu} << 21) | (uint32_t{data[7] & 0x7Fu} << 14) |
                        (uint32_t{data[8] & 0x7Fu} << 7) | (data[9] & 0x7Fu);
  const uint64_t stuffingChecked = extendedSize < 16 ? extendedSize + 1 : 16;
  return 10 + (extendedSize + size > stuffingChecked ? extendedSize + size : stuffingChecked);
}

Id3v2Layout parseAndCheck(const unsigned char* data, size_t available, uint64_t fileSize) {
  TrackedFile file = {{data, available}, fileSize, std::vector<unsigned char>(available, 0)};
  const ByteSource source = {&file, fileSize, &readTracked};
  Id3v2Layout layout;
  parseId3v2Tag(source, &mpegAudioStartsAt, &layout);
  checkLayout(data, available, fileSize, layout);
  // Nothing past the header or the tag as claimed, whichever ends later, or the bytes mutagen
  // decodes as an unsynchronised ID3v2.3 tag's frames.
  uint64_t tagEnd = layout.tagSize > layout.declaredTagSize ? layout.tagSize : layout.declaredTagSize;
  if (tagEnd < 10) tagEnd = 10;
  const uint64_t mutagenEnd = mutagenFramesEnd(data, available);
  if (mutagenEnd > tagEnd) tagEnd = mutagenEnd;
  for (size_t i = 0; i < available; ++i) require(!file.read[i] || i < tagEnd, "a byte after the tag was read");
  if (available >= fileSize) checkBodiesUnread(data, layout, file.read);
  return layout;
}

// The plugin edits a rating by rewriting one byte; nothing else about the tag may change. Where
// the ID3v2.4 frame sizes read two ways, mutagen's guess between them may turn on that byte
// (a zero byte where a frame would start is padding to one reading): the reader may then
// reject the tag, so that the write guard, which reads the tag as the write leaves it, writes
// nothing; it must never read the tag otherwise.
void checkRatingRewrite(const unsigned char* data, size_t size, const Id3v2Layout& original) {
  std::vector<unsigned char> copy(data, data + size);
  const unsigned char originalRating = data[original.popmRatingOffset];
  const unsigned char newRatings[] = {static_cast<unsigned char>(originalRating ^ 0xFF), 0x00, 0xFF};
  for (unsigned char newRating : newRatings) {
    copy[original.popmRatingOffset] = newRating;
    const Id3v2Layout rewritten = parseAndCheck(copy.data(), size, size);
    if (!rewritten.wellFormed && original.majorVersion == 4 && original.frameSizesPlain) continue;
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
    if (whole.present && whole.declaredTagSize != 0 && needed != 0) {
      require(needed == whole.declaredTagSize, "bytes needed differs from the claimed size");
    }
  }

  if (whole.wellFormed && whole.popmRatingOffset != 0) checkRatingRewrite(data, size, whole);
  checkBuiltPopm(data, size);
  return 0;
}
