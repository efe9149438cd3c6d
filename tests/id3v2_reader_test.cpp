// SPDX-License-Identifier: LGPL-2.1-or-later
// Tests of the strict ID3v2 reader on tags built byte by byte here.
#include "rating/id3v2/id3v2_reader.h"

#include <gtest/gtest.h>

#include "rating/bytes/memory_source.h"
#include "rating/mp3/mpeg_sync.h"

#include "support/tag_bytes.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

const Bytes kTitle = text("\x00Song", 5);
const std::string kOwner = "Windows Media Player 9 Series";

// The first `available` bytes of a file of `fileSize` bytes, read through a memory source; a tag
// that claims more than the file ends where MPEG audio starts, as in an MP3 (null: nowhere).
bool parseId3v2Tag(const unsigned char* data, size_t available, uint64_t fileSize, Id3v2Layout* layout,
                   AudioStartsAt audioStartsAt = &mpegAudioStartsAt) {
  const MemoryBytes memory = {data, available};
  return ::parseId3v2Tag(memorySource(&memory, fileSize), audioStartsAt, layout);
}

Id3v2Layout parse(const Bytes& bytes, uint64_t extraFileBytes = 1000) {
  Id3v2Layout layout;
  parseId3v2Tag(bytes.data(), bytes.size(), bytes.size() + extraFileBytes, &layout);
  return layout;
}

struct ShapeCase {
  const char* name;
  Bytes bytes;
  Id3v2Problem problem;
  uint32_t frameCount;
  size_t paddingSize;  // when well-formed, padding runs from tagSize - paddingSize (no footer)
  // Tolerated shapes: the rule broken, the reading of the sizes, where the frames end (0: at
  // the padding or the footer), the tag's size (0: all the bytes) and the file's bytes after
  // those given.
  Id3v2Problem tolerated = Id3v2Problem::None;
  bool plainSizes = false;
  size_t framesEnd = 0;
  size_t tagSize = 0;
  size_t fileExtra = 1000;
};

TEST(Id3v2Reader, TagShapesAndTheirProblems) {
  const Bytes title23 = frameV23("TIT2", kTitle);
  const Bytes title24 = frameV24("TIT2", kTitle);
  const Bytes v23Extended = join({bigEndian(6, 4), bigEndian(0, 2), bigEndian(16, 4)});
  const Bytes v23ExtendedCrc = join({bigEndian(10, 4), {0x80, 0}, bigEndian(7, 4), bigEndian(0x12345678, 4)});
  const Bytes v24ExtendedCrc = join({syncsafe(12), {1, 0x20, 5, 0x0F, 1, 2, 3, 4}});
  // An ID3v2.4 frame whose size is a plain integer is laid out as an ID3v2.3 frame.
  const Bytes plain256 = frameV23("TIT2", Bytes(256, 'x'));  // 00 00 01 00 reads as 128 syncsafe
  const Bytes doubtful = frameV23("TIT2", join({Bytes(128, 'x'), zeros(1), Bytes(127, 'x')}));
  const Bytes claim = join({text("ID3"), {3, 0, 0}, syncsafe(5000)});
  const Id3v2Problem plainSizes = Id3v2Problem::FrameSizeNotSyncsafe;
  const Id3v2Problem pastFile = Id3v2Problem::TagLargerThanFile;
  const ShapeCase cases[] = {
      {"v22 no padding", tag(2, 0, frameV22("TT2", kTitle)), Id3v2Problem::None, 1, 0},
      {"v22 padding", tag(2, 0, join({frameV22("TT2", kTitle), zeros(20)})), Id3v2Problem::None, 1, 20},
      {"v23 no padding", tag(3, 0, join({title23, title23})), Id3v2Problem::None, 2, 0},
      {"v23 padding", tag(3, 0, join({title23, zeros(100)})), Id3v2Problem::None, 1, 100},
      {"v24 padding", tag(4, 0, join({title24, zeros(1)})), Id3v2Problem::None, 1, 1},
      {"v24 only padding", tag(4, 0, zeros(64)), Id3v2Problem::None, 0, 64},
      {"v23 experimental", tag(3, 0x20, title23), Id3v2Problem::None, 1, 0},
      {"v23 extended", tag(3, 0x40, join({v23Extended, title23, zeros(16)})), Id3v2Problem::None, 1, 16},
      {"v23 extended crc", tag(3, 0x40, join({v23ExtendedCrc, title23, zeros(7)})), Id3v2Problem::None, 1, 7},
      {"v23 extended padding wrong", tag(3, 0x40, join({v23Extended, title23, zeros(15)})),
       Id3v2Problem::ExtendedHeaderPaddingMismatch, 1, 15},
      {"v23 extended size 12", tag(3, 0x40, join({bigEndian(12, 4), zeros(12), title23})),
       Id3v2Problem::ExtendedHeaderInvalid, 0, 0},
      {"v23 extended crc flag size 6", tag(3, 0x40, join({bigEndian(6, 4), {0x80, 0}, zeros(4), title23})),
       Id3v2Problem::ExtendedHeaderInvalid, 0, 0},
      {"v23 extended past tag", tag(3, 0x40, join({bigEndian(10, 4), {0x80, 0}, zeros(2)})),
       Id3v2Problem::ExtendedHeaderOverrunsTag, 0, 0},
      {"v24 extended crc", tag(4, 0x40, join({v24ExtendedCrc, title24})), Id3v2Problem::None, 1, 0},
      {"v24 extended update", tag(4, 0x40, join({syncsafe(7), {1, 0x40, 0}, title24})), Id3v2Problem::None, 1,
       0},
      {"v24 extended oversize", tag(4, 0x40, join({syncsafe(10), {1, 0x00}, zeros(4), title24})),
       Id3v2Problem::ExtendedHeaderInvalid, 0, 0},
      {"v24 extended past tag", tag(4, 0x40, join({syncsafe(300), {1, 0x00}, title24})),
       Id3v2Problem::ExtendedHeaderOverrunsTag, 0, 0},
      {"v24 extended data past tag", tag(4, 0x40, join({syncsafe(6), {1, 0x20}})),
       Id3v2Problem::ExtendedHeaderOverrunsTag, 0, 0},
      {"v24 extended crc too big",
       tag(4, 0x40, join({syncsafe(12), {1, 0x20, 5, 0x10, 0, 0, 0, 0}, title24})),
       Id3v2Problem::ExtendedHeaderInvalid, 0, 0},
      {"v24 footer", tagWithFooter(title24), Id3v2Problem::None, 1, 0},
      {"v24 footer flag, zeros for footer", join({tag(4, 0x10, title24), zeros(10)}),
       Id3v2Problem::FooterMismatch, 1, 0},
      {"v22 unknown flag", tag(2, 0x20, frameV22("TT2", kTitle)), Id3v2Problem::UnknownHeaderFlags, 0, 0},
      {"v22 compressed", tag(2, 0x40, frameV22("TT2", kTitle)), Id3v2Problem::CompressedTag, 0, 0},
      {"v23 footer flag", tag(3, 0x10, title23), Id3v2Problem::UnknownHeaderFlags, 0, 0},
      {"v24 unknown flag", tag(4, 0x08, title24), Id3v2Problem::UnknownHeaderFlags, 0, 0},
      {"version 5", tag(5, 0, title24), Id3v2Problem::UnsupportedVersion, 0, 0},
      {"revision FF", join({text("ID3"), {3, 0xFF, 0}, syncsafe(16), title23}), Id3v2Problem::BadRevision, 0,
       0},
      {"size not syncsafe", join({text("ID3"), {3, 0, 0, 0, 0, 0x80, 16}, title23}),
       Id3v2Problem::SizeNotSyncsafe, 0, 0},
      // The frame claims 30 bytes, the tag holds 10 of them; the audio after it is no excuse.
      {"frame past tag", join({text("ID3"), {3, 0, 0}, syncsafe(20), frameV23("TIT2", zeros(30))}),
       Id3v2Problem::FrameOverrunsTag, 0, 0},
      {"garbage after frames", tag(3, 0, join({title23, zeros(4), text("junk"), zeros(4)})),
       Id3v2Problem::None, 1, 0, Id3v2Problem::PaddingNotZero, false, 25},
      {"v24 garbage after a large frame",
       tag(4, 0, join({frameV24("TIT2", Bytes(200, 'x')), zeros(4), text("junk")})), Id3v2Problem::None, 1, 0,
       Id3v2Problem::PaddingNotZero, false, 220},
      {"garbage instead of padding", tag(3, 0, join({title23, Bytes(12, 0xFF)})),
       Id3v2Problem::InvalidFrameId, 1, 0},
      {"frame header cut", tag(3, 0, join({title23, text("TIT2"), {0, 0}})),
       Id3v2Problem::FrameHeaderTruncated, 1, 0},
      {"lower case id", tag(3, 0, frameV23("tit2", kTitle)), Id3v2Problem::None, 1, 0,
       Id3v2Problem::InvalidFrameId},
      {"v22 id and a space", tag(3, 0, join({frameV23("COM ", kTitle), title23, zeros(8)})),
       Id3v2Problem::None, 2, 8, Id3v2Problem::InvalidFrameId},
      {"space inside id", tag(3, 0, frameV23("T T2", kTitle)), Id3v2Problem::InvalidFrameId, 0, 0},
      {"zero size frame", tag(3, 0, join({frameV23("TIT2", {}), title23})), Id3v2Problem::None, 2, 0,
       Id3v2Problem::EmptyFrame},
      {"v24 size not syncsafe", tag(4, 0, join({text("TIT2"), {0, 0, 0, 0x85, 0, 0}, zeros(0x85)})),
       Id3v2Problem::None, 1, 0, plainSizes, true},
      {"v24 plain sizes that read as syncsafe", tag(4, 0, join({plain256, title24, zeros(4)})),
       Id3v2Problem::None, 2, 4, plainSizes, true},
      {"v24 size neither way", tag(4, 0, join({text("TIT2"), {0, 0, 0, 0x85, 0, 0}, zeros(0x80)})),
       Id3v2Problem::FrameSizeNotSyncsafe, 0, 0},
      {"v24 either reading ends in junk", tag(4, 0, join({doubtful, zeros(4), text("junk"), zeros(4)})),
       Id3v2Problem::PaddingNotZero, 1, 0, Id3v2Problem::PaddingNotZero},
      {"claims past the file, audio after", join({claim, title23, zeros(20), mpegFrames(3)}),
       Id3v2Problem::None, 1, 20, pastFile, false, 0, 45, 0},
      {"claims past the file, audio right after", join({claim, title23, mpegFrames(3)}), Id3v2Problem::None,
       1, 0, pastFile, false, 0, 25, 0},
      {"claims past the file, junk after", join({claim, title23, zeros(20), text("junk"), mpegFrames(3)}),
       pastFile, 0, 0, pastFile, false, 0, 0, 0},
      {"claims past the file, ends inside it", join({claim, title23, zeros(20)}), pastFile, 0, 0, pastFile,
       false, 0, 0, 0},
      {"claims past the file, unsynchronised",
       join({text("ID3"), {3, 0, 0x80}, syncsafe(5000), title23, zeros(20), mpegFrames(3)}), pastFile, 0, 0,
       Id3v2Problem::None, false, 0, 0, 0},
      {"v23 unknown frame flag", tag(3, 0, frameV23("TIT2", kTitle, 0x0010)), Id3v2Problem::UnknownFrameFlags,
       1, 0},
      {"v24 unknown frame flag", tag(4, 0, frameV24("TIT2", kTitle, 0x8000)), Id3v2Problem::UnknownFrameFlags,
       1, 0},
      {"v24 compressed without length", tag(4, 0, frameV24("TIT2", kTitle, 0x0008)),
       Id3v2Problem::CompressedFrameWithoutDataLength, 1, 0},
      {"v24 length not syncsafe", tag(4, 0, frameV24("TIT2", join({{0, 0, 0x80, 0}, kTitle}), 0x0001)),
       Id3v2Problem::DataLengthNotSyncsafe, 1, 0},
      {"v23 compressed too short", tag(3, 0, frameV23("TIT2", {0, 0, 1}, 0x0080)),
       Id3v2Problem::FrameTooShortForFlags, 1, 0},
  };
  for (const ShapeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Id3v2Layout layout = parse(c.bytes, c.fileExtra);
    EXPECT_TRUE(layout.present);
    EXPECT_STREQ(id3v2ProblemName(c.problem), id3v2ProblemName(layout.problem));
    EXPECT_EQ(c.problem == Id3v2Problem::None, layout.wellFormed);
    EXPECT_EQ(c.frameCount, layout.frameCount);
    EXPECT_EQ(c.paddingSize, layout.paddingSize);
    EXPECT_STREQ(id3v2ProblemName(c.tolerated), id3v2ProblemName(layout.toleratedProblem));
    EXPECT_EQ(layout.wellFormed && c.tolerated != Id3v2Problem::None, layout.tolerated);
    EXPECT_EQ(layout.tolerated, (layout.id3libHazards & kId3libHazardToleratedTag) != 0);
    if (layout.wellFormed) {
      EXPECT_EQ(c.plainSizes, layout.frameSizesPlain);
      const size_t tagSize = c.tagSize != 0 ? c.tagSize : c.bytes.size();
      EXPECT_EQ(tagSize, layout.tagSize);
      EXPECT_EQ(c.tagSize != 0 ? 5010u : tagSize, layout.declaredTagSize);
      const size_t framesEnd = tagSize - c.paddingSize - (layout.hasFooter ? 10 : 0);
      EXPECT_EQ(c.framesEnd != 0 ? c.framesEnd : framesEnd, layout.framesEnd);
      if (c.paddingSize > 0) {
        EXPECT_EQ(tagSize - c.paddingSize, layout.paddingOffset);
      }
    }
  }
}

TEST(Id3v2Reader, HeaderDetailsAndLimits) {
  const Bytes withExtended =
      tag(4, 0x40, join({syncsafe(12), {1, 0x20, 5, 0x0F, 1, 2, 3, 4}, frameV24("TIT2", kTitle)}));
  Id3v2Layout layout = parse(withExtended);
  ASSERT_TRUE(layout.wellFormed);
  EXPECT_TRUE(layout.hasExtendedHeader);
  EXPECT_TRUE(layout.extendedHeaderHasCrc);
  EXPECT_EQ(12u, layout.extendedHeaderSize);
  EXPECT_EQ(22u, layout.framesOffset);

  layout = parse(tag(3, 0x60, join({bigEndian(6, 4), zeros(6), frameV23("TIT2", kTitle)})));
  ASSERT_TRUE(layout.wellFormed);
  EXPECT_TRUE(layout.experimental);
  EXPECT_FALSE(layout.extendedHeaderHasCrc);
  EXPECT_EQ(10u, layout.extendedHeaderSize);
  EXPECT_EQ(20u, layout.framesOffset);
  EXPECT_EQ(3, layout.majorVersion);
  EXPECT_EQ(0x60, layout.headerFlags);
  EXPECT_FALSE(layout.unsynchronised);
  EXPECT_FALSE(layout.hasFooter);

  const Bytes footed = tagWithFooter(frameV24("TIT2", kTitle));
  layout = parse(footed);
  EXPECT_TRUE(layout.hasFooter);
  EXPECT_EQ(footed.size(), layout.tagSize);

  // Exactly as large as the file is fine; one byte larger is not.
  Id3v2Layout exact;
  EXPECT_TRUE(parseId3v2Tag(footed.data(), footed.size(), footed.size(), &exact));
  Id3v2Layout larger;
  EXPECT_FALSE(parseId3v2Tag(footed.data(), footed.size(), footed.size() - 1, &larger));
  EXPECT_EQ(Id3v2Problem::TagLargerThanFile, larger.problem);
  // Where the tag's file knows no audio (a chunk's tag), a tag that claims more is not walked.
  const Bytes claiming =
      join({text("ID3"), {3, 0, 0}, syncsafe(5000), frameV23("TIT2", kTitle), mpegFrames(3)});
  EXPECT_TRUE(parseId3v2Tag(claiming.data(), claiming.size(), claiming.size(), &larger));
  EXPECT_FALSE(parseId3v2Tag(claiming.data(), claiming.size(), claiming.size(), &larger, nullptr));
  EXPECT_EQ(Id3v2Problem::TagLargerThanFile, larger.problem);

  // Every shorter read of a good tag is reported as such, never as damage or as well-formed.
  for (size_t available = 10; available < footed.size(); ++available) {
    Id3v2Layout partial;
    EXPECT_FALSE(parseId3v2Tag(footed.data(), available, footed.size(), &partial));
    EXPECT_EQ(Id3v2Problem::TagNotFullyRead, partial.problem) << available;
    EXPECT_EQ(footed.size(), partial.tagSize);
  }

  const Bytes noTag = text("RIFF....WAVE");
  EXPECT_EQ(Id3v2Problem::NoTag, parse(noTag).problem);
  EXPECT_FALSE(parse(noTag).present);
  Id3v2Layout shortHeader;
  EXPECT_FALSE(parseId3v2Tag(footed.data(), 9, 1000, &shortHeader));
  EXPECT_EQ(Id3v2Problem::HeaderTruncated, shortHeader.problem);
  Id3v2Layout nothing;
  EXPECT_FALSE(parseId3v2Tag(nullptr, 0, 0, &nothing));
  EXPECT_FALSE(parseId3v2Tag(footed.data(), footed.size(), footed.size(), nullptr));
}

TEST(Id3v2Reader, BytesNeeded) {
  struct Case {
    Bytes header;
    size_t needed;
  } cases[] = {
      {join({text("ID3"), {3, 0, 0}, syncsafe(257)}), 267},
      {join({text("ID3"), {4, 0, 0x10}, syncsafe(257)}), 277},
      {join({text("ID3"), {3, 0, 0x10}, syncsafe(257)}), 267},  // no footer before ID3v2.4
      {join({text("ID3"), {4, 0, 0}, {0x7F, 0x7F, 0x7F, 0x7F}}), 10 + 0x0FFFFFFF},
      {join({text("ID3"), {4, 0, 0}, {0, 0, 0x80, 0}}), 0},
      {join({text("ID3"), {0xFF, 0, 0}, syncsafe(1)}), 0},
      {join({text("ID3"), {3, 0xFF, 0}, syncsafe(1)}), 0},
      {join({text("ID2"), {3, 0, 0}, syncsafe(1)}), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.needed, id3v2BytesNeeded(c.header.data()));
  EXPECT_EQ(0u, id3v2BytesNeeded(nullptr));
}

struct PopmCase {
  const char* name;
  Bytes bytes;
  bool found;
  size_t frameOffset;
  bool ratingKnown;
  unsigned char rating;
  size_t ratingOffset;  // 0: must not be offered for editing in place
  size_t counterSize;
};

TEST(Id3v2Reader, PopmFramesAcrossVersionsAndFlags) {
  const Bytes title23 = frameV23("TIT2", kTitle);  // 15 bytes
  const size_t ownerEnd = 20 + kOwner.size() + 1;  // rating offset of a POPM right after the header
  const PopmCase cases[] = {
      {"v23 first", tag(3, 0, join({frameV23("POPM", popmBody(kOwner, 196)), zeros(10)})), true, 10, true,
       196, ownerEnd, 0},
      {"v23 second with counter", tag(3, 0, join({title23, frameV23("POPM", popmBody(kOwner, 64, 4))})), true,
       25, true, 64, ownerEnd + 15, 4},
      {"v23 absent", tag(3, 0, title23), false, 0, false, 0, 0, 0},
      {"v23 two, first reported",
       tag(3, 0, join({frameV23("POPM", popmBody("a@b", 1)), frameV23("POPM", popmBody(kOwner, 255))})), true,
       10, true, 1, 24, 0},
      {"v23 empty owner", tag(3, 0, frameV23("POPM", popmBody("", 128))), true, 10, true, 128, 21, 0},
      {"v22 POP", tag(2, 0, join({frameV22("TT2", kTitle), frameV22("POP", popmBody("x", 50, 1))})), true, 21,
       true, 50, 29, 1},
      {"v24 plain", tag(4, 0, frameV24("POPM", popmBody(kOwner, 255))), true, 10, true, 255, ownerEnd, 0},
      {"v24 grouped with length",
       tag(4, 0, frameV24("POPM", join({{7}, syncsafe(5), popmBody("abc", 9)}), 0x0041)), true, 10, true, 9,
       29, 0},
      {"v23 grouped", tag(3, 0, frameV23("POPM", join({{7}, popmBody("abc", 9)}), 0x0020)), true, 10, true, 9,
       25, 0},
      {"v24 frame unsynchronised", tag(4, 0, frameV24("POPM", text("a\0\xFF\x00", 4), 0x0002)), true, 10,
       true, 0xFF, 0, 0},
      {"v24 tag unsynchronised", tag(4, 0x80, frameV24("POPM", popmBody("a", 3))), true, 10, true, 3, 0, 0},
      {"v24 compressed", tag(4, 0, frameV24("POPM", join({syncsafe(30), zeros(12)}), 0x0009)), true, 10,
       false, 0, 0, 0},
      {"v23 encrypted", tag(3, 0, frameV23("POPM", join({{0x80}, zeros(12)}), 0x0040)), true, 10, false, 0, 0,
       0},
      // Unsynchronised ID3v2.3: FF 00 in the stream is a lone FF, sizes count decoded bytes.
      {"v23 tag unsynchronised",
       tag(3, 0x80,
           join({text("POPM"),
                 {0, 0, 0, 4, 0, 0},
                 text("a\0\xFF\x00\x01", 5),
                 frameV23("TIT2", kTitle),
                 zeros(3)})),
       true, 10, true, 0xFF, 0, 1},
      // A tolerated tag: offsets by the plain sizes.
      {"v24 plain sizes",
       tag(4, 0, join({frameV23("TIT2", Bytes(200, 'x')), frameV23("POPM", popmBody(kOwner, 77))})), true,
       220, true, 77, ownerEnd + 210, 0},
      {"v23 no NUL", tag(3, 0, frameV23("POPM", text("owner"))), true, 10, false, 0, 0, 0},
      {"v23 NUL but no rating", tag(3, 0, frameV23("POPM", text("owner\0", 6))), true, 10, false, 0, 0, 0},
  };
  for (const PopmCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Id3v2Layout layout = parse(c.bytes);
    EXPECT_EQ(c.found, layout.popmFound);
    EXPECT_EQ(c.frameOffset, layout.popmFrameOffset);
    EXPECT_EQ(c.ratingKnown, layout.popmRatingKnown);
    EXPECT_EQ(c.rating, layout.popmRating);
    EXPECT_EQ(c.ratingOffset, layout.popmRatingOffset);
    EXPECT_EQ(c.counterSize, layout.popmCounterSize);
    const bool broken = c.found && !c.ratingKnown && !layout.popmCompressed && !layout.popmEncrypted;
    EXPECT_EQ(broken, layout.popmBroken);
    EXPECT_EQ(broken ? Id3v2Problem::PopmBroken : Id3v2Problem::None, layout.problem);
    if (c.ratingOffset != 0) {
      EXPECT_EQ(c.rating, c.bytes[c.ratingOffset]);
      EXPECT_EQ(c.ratingOffset, layout.popmOwnerOffset + layout.popmOwnerLength + 1);
      EXPECT_GE(layout.popmOwnerOffset, layout.popmBodyOffset);
      EXPECT_LT(c.ratingOffset, layout.popmBodyOffset + layout.popmBodySize);
    } else {
      EXPECT_EQ(0u, layout.popmOwnerOffset);
    }
  }
}

TEST(Id3v2Reader, PopmFlagsDecoded) {
  Id3v2Layout layout = parse(tag(4, 0, frameV24("POPM", join({{7}, {0x80}, syncsafe(5), zeros(5)}), 0x4047)));
  EXPECT_TRUE(layout.popmGrouped);
  EXPECT_TRUE(layout.popmEncrypted);
  EXPECT_TRUE(layout.popmUnsynchronised);
  EXPECT_TRUE(layout.popmHasDataLength);
  EXPECT_FALSE(layout.popmCompressed);
  EXPECT_EQ(0x4047, layout.popmFrameFlags);
  EXPECT_EQ(21u, layout.popmFrameSize);
  EXPECT_EQ(11u, layout.popmBodySize);

  // A broken POPM after a good one still spoils the tag.
  layout = parse(tag(3, 0, join({frameV23("POPM", popmBody("a", 1)), frameV23("POPM", text("zz"))})));
  EXPECT_EQ(Id3v2Problem::PopmBroken, layout.problem);
  EXPECT_EQ(23u, layout.problemOffset);
  EXPECT_FALSE(layout.popmBroken);
}

struct HazardCase {
  const char* name;
  Bytes bytes;
  uint32_t hazards;
};

TEST(Id3v2Reader, WhatId3libWouldMisrender) {
  const HazardCase cases[] = {
      {"v23 standard frames", tag(3, 0, join({frameV23("TIT2", kTitle), frameV23("POPM", popmBody("a", 1))})),
       0},
      {"v22 standard frames", tag(2, 0, frameV22("TT2", kTitle)), 0},
      {"v23 unknown id", tag(3, 0, frameV23("XYZW", kTitle)), kId3libHazardUnknownFrameId},
      {"v23 lower-case id", tag(3, 0, frameV23("tit2", kTitle)),
       kId3libHazardUnknownFrameId | kId3libHazardToleratedTag},
      {"v23 id of v24", tag(3, 0, frameV23("TDRC", kTitle)), kId3libHazardUnknownFrameId},
      {"v24 id of v23", tag(4, 0, frameV24("TYER", kTitle)), kId3libHazardUnknownFrameId},
      {"v22 unknown id", tag(2, 0, frameV22("TQQ", kTitle)), kId3libHazardUnknownFrameId},
      {"v22 CDM", tag(2, 0, frameV22("CDM", zeros(8))),
       kId3libHazardCompressedMetaFrame | kId3libHazardUnknownFrameId},
      {"v23 encrypted, method only", tag(3, 0, frameV23("TIT2", {0x80}, 0x0040)),
       kId3libHazardEmptyEncryptedOrGroupedFrame},
      {"v23 grouped, empty", tag(3, 0, frameV23("TIT2", {}, 0x0020)),
       kId3libHazardEmptyEncryptedOrGroupedFrame},
      {"v24 encrypted, empty", tag(4, 0, frameV24("TIT2", {}, 0x0004)),
       kId3libHazardEmptyEncryptedOrGroupedFrame},
      {"v23 encrypted with data", tag(3, 0, frameV23("TIT2", {0x80, 1}, 0x0040)), 0},
      {"v23 compressed 16 MiB + 1",
       tag(3, 0, frameV23("TIT2", join({bigEndian(16 * 1024 * 1024 + 1, 4), zeros(300000)}), 0x0080)),
       kId3libHazardDecompressionBomb},
      {"v23 compressed 65x", tag(3, 0, frameV23("TIT2", join({bigEndian(650, 4), zeros(10)}), 0x0080)),
       kId3libHazardDecompressionBomb},
      {"v23 compressed 64x", tag(3, 0, frameV23("TIT2", join({bigEndian(640, 4), zeros(10)}), 0x0080)), 0},
      {"v24 compressed 65x", tag(4, 0, frameV24("TIT2", join({syncsafe(650), zeros(10)}), 0x0009)),
       kId3libHazardDecompressionBomb},
      {"v24 compressed 64x", tag(4, 0, frameV24("TIT2", join({syncsafe(640), zeros(10)}), 0x0009)), 0},
      // The group byte comes before the data-length indicator.
      {"v24 grouped compressed 65x",
       tag(4, 0, frameV24("TIT2", join({{1}, syncsafe(650), zeros(10)}), 0x0049)),
       kId3libHazardDecompressionBomb},
      {"v24 grouped compressed 64x",
       tag(4, 0, frameV24("TIT2", join({{1}, syncsafe(640), zeros(10)}), 0x0049)), 0},
      {"v23 grouped compressed 64x",
       tag(3, 0, frameV23("TIT2", join({bigEndian(640, 4), {1}, zeros(10)}), 0x00A0)), 0},
  };
  for (const HazardCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Id3v2Layout layout = parse(c.bytes);
    EXPECT_EQ(c.hazards, layout.id3libHazards);
    EXPECT_EQ(c.hazards != 0, layout.id3libWouldMisrender);
  }
}

TEST(Id3v2Reader, BuiltPopmFramesRoundTrip) {
  for (unsigned rating : {0u, 1u, 128u, 255u}) {
    unsigned char frame[64];
    const size_t written =
        buildPopmFrameV24(frame, sizeof frame, "me@example.org", static_cast<unsigned char>(rating));
    ASSERT_EQ(10u + 14 + 2, written);
    const Bytes bytes = tag(4, 0, join({frameV24("TIT2", kTitle), Bytes(frame, frame + written), zeros(7)}));
    const Id3v2Layout layout = parse(bytes);
    ASSERT_TRUE(layout.wellFormed) << id3v2ProblemName(layout.problem);
    EXPECT_EQ(0u, layout.id3libHazards);
    EXPECT_EQ(rating, layout.popmRating);
    EXPECT_EQ(25u + 10 + 14 + 1, layout.popmRatingOffset);
    EXPECT_EQ(14u, layout.popmOwnerLength);
    EXPECT_EQ(0u, layout.popmCounterSize);
    EXPECT_EQ(7u, layout.paddingSize);
  }

  unsigned char frame[32];
  const size_t v23Size = buildPopmFrameV23(frame, sizeof frame, nullptr, 42);
  ASSERT_EQ(12u, v23Size);
  const Id3v2Layout layout = parse(tag(3, 0, Bytes(frame, frame + v23Size)));
  EXPECT_TRUE(layout.wellFormed);
  EXPECT_EQ(42, layout.popmRating);
  EXPECT_EQ(0u, layout.popmOwnerLength);

  // A syncsafe size: 200 body bytes are stored as 01 48, not 00 C8.
  unsigned char large[256];
  const std::string owner(198, 'o');
  ASSERT_EQ(210u, buildPopmFrameV24(large, sizeof large, owner.c_str(), 1));
  EXPECT_EQ(0x01, large[6]);
  EXPECT_EQ(0x48, large[7]);
  ASSERT_EQ(210u, buildPopmFrameV23(large, sizeof large, owner.c_str(), 1));
  EXPECT_EQ(0xC8, large[7]);

  EXPECT_EQ(0u, buildPopmFrameV24(frame, 15, "abcd", 1));  // needs 16
  EXPECT_EQ(16u, buildPopmFrameV24(frame, 16, "abcd", 1));
  EXPECT_EQ(0u, buildPopmFrameV24(nullptr, 100, "abcd", 1));
}

}  // namespace
