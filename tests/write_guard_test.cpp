// SPDX-License-Identifier: LGPL-2.1-or-later
// Tests of the write guard on tags built byte by byte here: which way each kind of file is
// read and written, and the check of what id3lib renders.
#include "rating/mp3/write_guard.h"

#include <gtest/gtest.h>

#include "support/tag_bytes.h"

#include <cstring>
#include <string>
#include <vector>

#include "rating/bytes/memory_source.h"
#include "rating/id3v2/id3v2_reader.h"
#include "rating/mp3/id3lib_render_check.h"
#include "rating/mp3/id3lib_tag.h"

namespace {

// The calls below hand in the first `available` bytes of a file of `fileSize` bytes; these
// read them through a memory source.
void planRatingWrite(const unsigned char* data, size_t available, uint64_t fileSize, int ratingByte,
                     RatingWritePlan* plan) {
  const MemoryBytes memory = {data, available};
  ::planRatingWrite(memorySource(&memory, fileSize), ratingByte, plan);
}

RatingReadMethod planRatingRead(const unsigned char* data, size_t available, uint64_t fileSize,
                                unsigned* ratingByte) {
  const MemoryBytes memory = {data, available};
  return ::planRatingRead(memorySource(&memory, fileSize), ratingByte);
}

bool parseId3v2Tag(const unsigned char* data, size_t available, uint64_t fileSize, Id3v2Layout* layout) {
  const MemoryBytes memory = {data, available};
  return parseMp3Tag(memorySource(&memory, fileSize), layout);
}

bool id3libRenderKeepsTag(const unsigned char* data, size_t available, uint64_t fileSize, int ratingByte,
                          const unsigned char* rendered, size_t renderedSize) {
  const MemoryBytes memory = {data, available};
  return ::id3libRenderKeepsTag(memorySource(&memory, fileSize), ratingByte, rendered, renderedSize);
}

// MPEG-1 Layer III, 128 kbit/s, 44.1 kHz.
Bytes mpeg(size_t frames = 2) {
  Bytes out;
  for (size_t i = 0; i < frames; ++i) out = join({out, {0xFF, 0xFB, 0x90, 0x00}, Bytes(413, 0x55)});
  return out;
}

const Bytes kTitle = text("\x00Song", 5);
const Bytes kTitle23 = frameV23("TIT2", kTitle);
const Bytes kTitle24 = frameV24("TIT2", kTitle);
const Bytes kOwnFrame23 = frameV23("POPM", popmBody("ID3Vimbrel", 64));

// A compressed frame declaring ~4 GB once inflated.
Bytes bombV23() { return frameV23("TIT2", join({bigEndian(0xFFFFFFF0u, 4), Bytes(12, 0x78)}), 0x0080); }

RatingWritePlan plan(const Bytes& file, int ratingByte = 64) {
  RatingWritePlan result;
  planRatingWrite(file.data(), file.size(), file.size(), ratingByte, &result);
  return result;
}

struct WriteCase {
  const char* name;
  Bytes file;
  RatingWriteReason reason;
};

TEST(WriteGuard, DecisionForEachKindOfFile) {
  const Bytes audio = mpeg();
  const Bytes v23Extended = join({bigEndian(6, 4), bigEndian(0, 2), bigEndian(0, 4)});
  const Bytes v23ExtendedPadded = join({bigEndian(6, 4), bigEndian(0, 2), bigEndian(40, 4)});
  const Bytes v23ExtendedCrc = join({bigEndian(10, 4), {0x80, 0}, bigEndian(0, 4), bigEndian(0x12345678, 4)});
  const Bytes v24ExtendedCrc = join({syncsafe(12), {1, 0x20, 5, 0x0F, 1, 2, 3, 4}});
  const Bytes bigPadding = zeros(5000);
  const Bytes audio4 = mpeg(4);
  const Bytes claim = join({text("ID3"), {3, 0, 0}, syncsafe(5000)});
  const Bytes plainSizes = frameV23("TIT2", join({kTitle, Bytes(195, 'x')}));  // in an ID3v2.4 tag
  const WriteCase cases[] = {
      // Without a tag.
      {"empty file", {}, kWriteReasonEmptyFile},
      {"MPEG audio", audio, kWriteReasonId3libNewTag},
      {"MPEG-2 audio", join({{0xFF, 0xF3, 0x90, 0x00}, Bytes(200, 0x55)}), kWriteReasonId3libNewTag},
      {"one byte", {0xFF}, kWriteReasonNotMpegAudio},
      {"three bytes of sync", {0xFF, 0xFB, 0x90}, kWriteReasonNotMpegAudio},
      {"zero bytes first", join({zeros(100), audio}), kWriteReasonNotMpegAudio},
      {"one zero byte", {0x00}, kWriteReasonNotMpegAudio},
      {"FF 00 00 00 first", join({{0xFF, 0, 0, 0}, audio}), kWriteReasonNotMpegAudio},
      {"reserved layer", join({{0xFF, 0xF9, 0x90, 0x00}, audio}), kWriteReasonNotMpegAudio},
      {"bad bitrate", join({{0xFF, 0xFB, 0xF0, 0x00}, audio}), kWriteReasonNotMpegAudio},
      {"bad sample rate", join({{0xFF, 0xFB, 0x9C, 0x00}, audio}), kWriteReasonNotMpegAudio},
      {"RIFF", join({text("RIFF"), zeros(4), text("WAVE"), audio}), kWriteReasonNotMpegAudio},
      {"ID3v1 only", join({text("TAG"), zeros(125)}), kWriteReasonNotMpegAudio},
      {"ID", text("ID"), kWriteReasonNotMpegAudio},
      // Audio after junk: three frames in a row, each where the last one's length ends.
      {"junk then audio", join({text(std::string(300, 'j')), audio4}), kWriteReasonEditorNewTag},
      {"audio starting at 64 KB - 1", join({zeros(65535), audio4}), kWriteReasonEditorNewTag},
      {"audio starting at 64 KB", join({zeros(65536), audio4}), kWriteReasonNotMpegAudio},
      {"MPEG-1 padded frames", join({zeros(9), mpegFrames(3, {0xFF, 0xFB, 0x92, 0x00}, 418)}),
       kWriteReasonEditorNewTag},
      {"MPEG-1 frames one byte long", join({zeros(9), mpegFrames(3, {0xFF, 0xFB, 0x90, 0x00}, 418)}),
       kWriteReasonNotMpegAudio},
      {"MPEG-2 layer III", join({zeros(9), mpegFrames(3, {0xFF, 0xF3, 0x80, 0x00}, 208)}),
       kWriteReasonEditorNewTag},
      {"MPEG-2.5 layer III", join({zeros(9), mpegFrames(3, {0xFF, 0xE3, 0x18, 0x00}, 72)}),
       kWriteReasonEditorNewTag},
      {"MPEG-2 layer II", join({zeros(9), mpegFrames(3, {0xFF, 0xF5, 0xE4, 0x00}, 960)}),
       kWriteReasonEditorNewTag},
      {"MPEG-1 layer I", join({zeros(9), mpegFrames(3, {0xFF, 0xFF, 0xC0, 0x00}, 416)}),
       kWriteReasonEditorNewTag},
      {"free format", join({zeros(9), mpegFrames(3, {0xFF, 0xFB, 0x00, 0x00}, 417)}),
       kWriteReasonNotMpegAudio},
      {"RIFF of MPEG frames", join({text("RIFF"), zeros(4), text("WAVEfmt "), audio4}),
       kWriteReasonNotMpegAudio},
      {"MP4", join({bigEndian(12, 4), text("ftypM4A "), audio4}), kWriteReasonNotMpegAudio},
      // ADTS (AAC): frames whose lengths chain from the file's start; anything less is refused.
      {"ADTS", adtsFrames(4), kWriteReasonEditorTagsAdts},
      {"ADTS, two frames to the end", adtsFrames(2), kWriteReasonEditorTagsAdts},
      {"ADTS, three frames and a cut one", join({adtsFrames(3), Bytes(9, 0x21)}), kWriteReasonEditorTagsAdts},
      {"one ADTS frame", adtsFrames(1), kWriteReasonNotMpegAudio},
      {"ADTS, two frames and a byte", join({adtsFrames(2), {0x21}}), kWriteReasonNotMpegAudio},
      {"ADTS, lengths that do not chain", join({adtsFrames(1, 371), Bytes(5, 0x21), adtsFrames(3, 371)}),
       kWriteReasonNotMpegAudio},
      {"ADTS, sample rate changes", join({adtsFrames(1), adtsFrames(1, 371, 3), adtsFrames(2)}),
       kWriteReasonNotMpegAudio},
      {"ADTS, reserved sample rate", adtsFrames(4, 371, 13), kWriteReasonNotMpegAudio},
      {"ADTS, frame shorter than its header", adtsFrames(4, 6), kWriteReasonNotMpegAudio},
      {"ADTS after junk", join({zeros(9), adtsFrames(4)}), kWriteReasonNotMpegAudio},
      {"ADTS with a tag", join({tag(3, 0, join({kTitle23, zeros(100)})), adtsFrames(4)}), kWriteReasonFrameInPadding},
      // Tags the strict reader does not vouch for.
      {"ID3 and nothing", text("ID3"), kWriteReasonMalformedTag},
      {"version 5", join({tag(5, 0, kTitle24), audio}), kWriteReasonMalformedTag},
      {"tag larger than file", join({text("ID3"), {3, 0, 0}, syncsafe(200000000), kTitle23, audio}),
       kWriteReasonMalformedTag},
      {"v23 extended header past tag", join({tag(3, 0x40, join({bigEndian(6, 4), zeros(2)})), audio}),
       kWriteReasonMalformedTag},
      {"garbage before the padding", join({tag(3, 0, join({kTitle23, text("x"), zeros(30)})), audio}),
       kWriteReasonMalformedTag},
      // Tolerated tags: in place, never through id3lib.
      {"garbage padding", join({tag(3, 0, join({kTitle23, zeros(30), text("x")})), audio}),
       kWriteReasonEditorKeepsFlags},
      {"short frame ID", join({tag(3, 0, join({frameV23("TT2 ", kTitle), zeros(40)})), audio}),
       kWriteReasonFrameInPadding},
      {"v24 plain sizes, no room", join({tag(4, 0, plainSizes), audio}), kWriteReasonEditorGrowsTag},
      // mutagen cannot load a file whose tag claims more than it has: its rating byte alone may change.
      {"tag larger than file, audio after it",
       join({claim, kTitle23, frameV23("POPM", popmBody("x", 1)), audio4}), kWriteReasonRatingByte},
      {"tag larger than file, no POPM", join({claim, kTitle23, zeros(10), audio4}), kWriteReasonReadingsDisagree},
      // A POPM frame is there.
      {"v22 POP", join({tag(2, 0, frameV22("POP", popmBody("x", 1))), audio}), kWriteReasonRatingByte},
      {"v23 POPM", join({tag(3, 0, join({kTitle23, frameV23("POPM", popmBody("x", 1, 4))})), audio}),
       kWriteReasonRatingByte},
      {"v24 POPM", join({tag(4, 0, join({kTitle24, frameV24("POPM", popmBody("x", 1))})), audio}),
       kWriteReasonRatingByte},
      {"v24 footer", join({tagWithFooter(frameV24("POPM", popmBody("x", 1))), audio}),
       kWriteReasonRatingByte},
      {"v23 POPM holding it already", join({tag(3, 0, frameV23("POPM", popmBody("x", 64))), audio}),
       kWriteReasonAlreadyStored},
      {"v23 compressed POPM",
       join({tag(3, 0, frameV23("POPM", join({bigEndian(8, 4), zeros(6)}), 0x0080)), audio}),
       kWriteReasonPopmNotAddressable},
      {"v23 encrypted POPM",
       join({tag(3, 0, frameV23("POPM", join({{0x80}, popmBody("x", 1)}), 0x0040)), audio}),
       kWriteReasonPopmNotAddressable},
      // The write fuzzer's find: mutagen reads the group byte as the owner's first letter.
      {"v24 grouped POPM", join({tag(4, 0, frameV24("POPM", join({{0x81}, popmBody("x", 1)}), 0x0040)), audio}),
       kWriteReasonPopmNotAddressable},
      {"v23 unsynchronised", join({tag(3, 0x80, frameV23("POPM", popmBody("x", 1))), audio}),
       kWriteReasonEditorReencodesTag},
      {"v24 unsynchronised frame", join({tag(4, 0, frameV24("POPM", popmBody("x", 1), 0x0002)), audio}),
       kWriteReasonEditorReencodesTag},
      {"v24 unsynchronised tag", join({tag(4, 0x80, frameV24("POPM", popmBody("x", 1))), audio}),
       kWriteReasonEditorReencodesTag},
      {"v23 CRC", join({tag(3, 0x40, join({v23ExtendedCrc, frameV23("POPM", popmBody("x", 1))})), audio}),
       kWriteReasonEditorReencodesTag},
      {"v24 CRC", join({tag(4, 0x40, join({v24ExtendedCrc, frameV24("POPM", popmBody("x", 1))})), audio}),
       kWriteReasonEditorReencodesTag},
      {"v23 extended header",
       join({tag(3, 0x40, join({v23Extended, frameV23("POPM", popmBody("x", 1))})), audio}),
       kWriteReasonRatingByte},
      {"v23 bomb and POPM", join({tag(3, 0, join({bombV23(), frameV23("POPM", popmBody("x", 1))})), audio}),
       kWriteReasonId3libHazard},
      {"v24 bomb and POPM",
       join({tag(4, 0,
                 join({frameV24("TIT2", join({syncsafe(0x0FFFFFFF), zeros(8)}), 0x0009),
                       frameV24("POPM", popmBody("x", 1))})),
             audio}),
       kWriteReasonRatingByte},
      {"v22 CDM and POP",
       join({tag(2, 0, join({frameV22("CDM", text("z\0\0\0\x10xx", 7)), frameV22("POP", popmBody("x", 1))})),
             audio}),
       kWriteReasonId3libHazard},
      {"v23 unknown frame and POPM",
       join({tag(3, 0, join({frameV23("XYZW", text("abc")), frameV23("POPM", popmBody("x", 1))})), audio}),
       kWriteReasonRatingByte},
      // No POPM frame: into the padding.
      {"v24 padding", join({tag(4, 0, join({kTitle24, zeros(22)})), audio}), kWriteReasonFrameInPadding},
      {"v24 padding too small", join({tag(4, 0, join({kTitle24, zeros(21)})), audio}),
       kWriteReasonEditorGrowsTag},
      {"v24 no padding", join({tag(4, 0, kTitle24), audio}), kWriteReasonEditorGrowsTag},
      {"v24 footer without POPM", join({tagWithFooter(kTitle24), audio}), kWriteReasonEditorGrowsTag},
      {"v24 footer, padding", join({tagWithFooter(join({kTitle24, zeros(40)})), audio}),
       kWriteReasonEditorGrowsTag},
      {"v24 unsynchronised padding", join({tag(4, 0x80, join({kTitle24, zeros(100)})), audio}),
       kWriteReasonEditorReencodesTag},
      {"v24 CRC padding", join({tag(4, 0x40, join({v24ExtendedCrc, kTitle24, zeros(100)})), audio}),
       kWriteReasonEditorReencodesTag},
      {"v24 only padding", join({tag(4, 0, zeros(64)), audio}), kWriteReasonFrameInPadding},
      {"v23 padding", join({tag(3, 0, join({kTitle23, zeros(22)})), audio}), kWriteReasonFrameInPadding},
      {"v23 big padding", join({tag(3, 0, join({kTitle23, bigPadding})), audio}), kWriteReasonFrameInPadding},
      {"v22 padding", join({tag(2, 0, join({frameV22("TT2", kTitle), zeros(18)})), audio}),
       kWriteReasonFrameInPadding},
      {"v22 padding too small", join({tag(2, 0, join({frameV22("TT2", kTitle), zeros(17)})), audio}),
       kWriteReasonEditorGrowsTag},
      {"v22 unsynchronised", join({tag(2, 0x80, join({frameV22("TT2", kTitle), zeros(40)})), audio}),
       kWriteReasonEditorReencodesTag},
      // No POPM frame and no room: id3lib where it keeps every frame, else the editor.
      {"v23 no padding", join({tag(3, 0, kTitle23), audio}), kWriteReasonId3libAddsFrame},
      {"v23 padding too small", join({tag(3, 0, join({kTitle23, zeros(21)})), audio}),
       kWriteReasonId3libAddsFrame},
      {"v23 extended header and padding",
       join({tag(3, 0x40, join({v23ExtendedPadded, kTitle23, zeros(40)})), audio}),
       kWriteReasonEditorGrowsTag},
      {"v23 CRC without POPM", join({tag(3, 0x40, join({v23ExtendedCrc, kTitle23})), audio}),
       kWriteReasonEditorReencodesTag},
      {"v23 only a tag", tag(3, 0, kTitle23), kWriteReasonId3libAddsFrame},
      {"v23 unsynchronised", join({tag(3, 0x80, kTitle23), audio}), kWriteReasonEditorReencodesTag},
      {"v23 unknown frame", join({tag(3, 0, frameV23("XYZW", text("abc"))), audio}),
       kWriteReasonEditorKeepsFlags},
      {"v23 empty encrypted frame",
       join({tag(3, 0, join({kTitle23, frameV23("TPE1", {0x80}, 0x0040)})), audio}),
       kWriteReasonEditorKeepsFlags},
      {"v23 empty grouped frame",
       join({tag(3, 0, join({kTitle23, frameV23("TPE1", {0x01}, 0x0020)})), audio}),
       kWriteReasonEditorKeepsFlags},
      {"v23 experimental", join({tag(3, 0x20, kTitle23), audio}), kWriteReasonEditorKeepsFlags},
      {"v23 experimental, padding", join({tag(3, 0x20, join({kTitle23, zeros(22)})), audio}),
       kWriteReasonFrameInPadding},
      {"v23 then zero bytes", join({tag(3, 0, kTitle23), zeros(50), audio}), kWriteReasonEditorKeepsFlags},
      {"v23 then FF 00 00 00", join({tag(3, 0, kTitle23), {0xFF, 0, 0, 0}, audio}),
       kWriteReasonEditorKeepsFlags},
      {"v23 then a second tag", join({tag(3, 0, kTitle23), tag(3, 0, kTitle23), audio}),
       kWriteReasonEditorKeepsFlags},
      {"v23 extended header, big padding",
       join({tag(3, 0x40,
                 join({join({bigEndian(6, 4), bigEndian(0, 2), bigEndian(5000, 4)}), kTitle23, bigPadding})),
             audio}),
       kWriteReasonEditorGrowsTag},
      // mutagen reads as many bytes after the extended header as the tag's size: past the end here.
      {"v23 only a tag, extended header and padding",
       tag(3, 0x40, join({join({bigEndian(6, 4), bigEndian(0, 2), bigEndian(30, 4)}), kTitle23, zeros(30)})),
       kWriteReasonReadingsDisagree},
      {"v22 no padding", join({tag(2, 0, frameV22("TT2", kTitle)), audio}), kWriteReasonEditorGrowsTag},
  };
  for (const WriteCase& c : cases) {
    const RatingWritePlan result = plan(c.file);
    EXPECT_STREQ(ratingWriteReasonName(result.reason), ratingWriteReasonName(c.reason)) << c.name;
    const RatingWriteMethod method =
        c.reason >= kWriteReasonEditorNewTag || c.reason == kWriteReasonFrameSpansSectors ? kRatingWriteRewrite
        : c.reason >= kWriteReasonId3libNewTag                                             ? kRatingWriteWithId3lib
        : c.reason >= kWriteReasonRatingByte                                               ? kRatingWriteBytes
                                                                                           : kRatingWriteNothing;
    EXPECT_EQ(result.method, method) << c.name;
  }
}


// The tag of a WAV's or AIFF's ID3 chunk, the chunk's data alone: what follows the tag there
// is the chunk's own, never MPEG audio, and id3lib, which writes at a file's start, is never chosen.
TEST(WriteGuard, DecisionForChunkTags) {
  const Bytes claim = join({text("ID3"), {3, 0, 0}, syncsafe(500), kTitle23, zeros(50)});
  const WriteCase cases[] = {
      {"no tag", adtsFrames(3), kWriteReasonMalformedTag},
      {"empty chunk", {}, kWriteReasonMalformedTag},
      {"tag claiming more than the chunk", claim, kWriteReasonMalformedTag},
      {"tag header cut short", text("ID3\x03\x00", 5), kWriteReasonMalformedTag},
      {"POPM", tag(3, 0, frameV23("POPM", popmBody("x", 1))), kWriteReasonRatingByte},
      {"room in the padding", tag(3, 0, join({kTitle23, zeros(100)})), kWriteReasonFrameInPadding},
      {"v23 tag without room", tag(3, 0, kTitle23), kWriteReasonEditorKeepsFlags},
      {"v23 tag without room, zeros after it", join({tag(3, 0, kTitle23), zeros(7)}), kWriteReasonEditorKeepsFlags},
      {"v23 tag without room, audio after it", join({tag(3, 0, kTitle23), mpeg(4)}), kWriteReasonEditorKeepsFlags},
      {"v24 tag without room", tag(4, 0, kTitle24), kWriteReasonEditorGrowsTag},
      {"v23 unsynchronised", tag(3, 0x80, frameV23("POPM", popmBody("x", 1))), kWriteReasonEditorReencodesTag},
  };
  for (const WriteCase& c : cases) {
    const MemoryBytes memory = {c.file.data(), c.file.size()};
    const ByteSource chunk = memorySource(&memory, c.file.size());
    RatingWritePlan result;
    planChunkTagWrite(chunk, 64, &result);
    EXPECT_STREQ(ratingWriteReasonName(result.reason), ratingWriteReasonName(c.reason)) << c.name;
    EXPECT_NE(result.method, kRatingWriteWithId3lib) << c.name;
    unsigned ratingByte = 7;
    const RatingReadMethod read = planChunkTagRead(chunk, &ratingByte);
    const bool popm = c.reason == kWriteReasonRatingByte || c.reason == kWriteReasonEditorReencodesTag;
    EXPECT_EQ(read, popm ? kRatingReadFromTag : kRatingReadZero) << c.name;
    EXPECT_EQ(ratingByte, popm ? 1u : 0u) << c.name;
  }
}
TEST(WriteGuard, RatingByteIsTheOneByteOfTheFirstPopm) {
  const Bytes file = join({tag(3, 0,
                               join({kTitle23, frameV23("POPM", popmBody("first", 200, 4)),
                                     frameV23("POPM", popmBody("second", 30))})),
                           mpeg()});
  const unsigned char ratings[] = {0, 1, 64, 128, 160, 255};
  for (unsigned char rating : ratings) {
    const RatingWritePlan result = plan(file, rating);
    ASSERT_EQ(result.method, kRatingWriteBytes) << int{rating};
    const size_t offset = 10 + kTitle23.size() + 10 + 6;
    EXPECT_EQ(result.offset, offset);
    EXPECT_EQ(result.length, 1u);
    EXPECT_EQ(result.bytes[0], rating);
    EXPECT_EQ(result.expected[0], 200);
    EXPECT_EQ(file[offset], 200);
  }
  EXPECT_EQ(plan(file, 200).reason, kWriteReasonAlreadyStored);

  // An ID3v2.4 POPM of 257 bytes (129 read as syncsafe, where its rating byte follows): mutagen
  // guesses plain sizes while the rating is not 0; a 0 there would make it guess syncsafe ones.
  const Bytes body = join({text(std::string(129, 'a')), {0x00, 64}, zeros(12), syncsafe(2048), zeros(110)});
  const Bytes popm = join({text("POPM"), bigEndian(257, 4), zeros(2), body});
  const Bytes guessed = join({tag(4, 0, join({popm, zeros(20)})), mpeg()});
  EXPECT_EQ(plan(guessed, 1).reason, kWriteReasonRatingByte);
  EXPECT_EQ(plan(guessed, 0).reason, kWriteReasonReadingsDisagree);
}

TEST(WriteGuard, NewFrameGoesWhereThePaddingStarts) {
  const struct {
    const char* name;
    Bytes tagBytes;
    Bytes frame;
  } cases[] = {
      {"v24", tag(4, 0, join({kTitle24, zeros(30)})),
       join({text("POPM"), syncsafe(12), zeros(2), text("ID3Vimbrel"), {0x00, 160}})},
      {"v23", tag(3, 0, join({kTitle23, zeros(30)})),
       join({text("POPM"), bigEndian(12, 4), zeros(2), text("ID3Vimbrel"), {0x00, 160}})},
      {"v22", tag(2, 0, join({frameV22("TT2", kTitle), zeros(30)})),
       join({text("POP"), bigEndian(12, 3), text("ID3Vimbrel"), {0x00, 160}})},
  };
  for (const auto& c : cases) {
    const Bytes file = join({c.tagBytes, mpeg()});
    const RatingWritePlan result = plan(file, 160);
    ASSERT_EQ(result.method, kRatingWriteBytes) << c.name;
    EXPECT_EQ(result.offset, c.tagBytes.size() - 30) << c.name;
    ASSERT_EQ(result.length, c.frame.size()) << c.name;
    EXPECT_EQ(Bytes(result.bytes, result.bytes + result.length), c.frame) << c.name;
    EXPECT_EQ(Bytes(result.expected, result.expected + result.length), zeros(c.frame.size())) << c.name;

    // Written there, the tag stays well-formed and the rating reads back.
    Bytes written = file;
    std::memcpy(written.data() + result.offset, result.bytes, result.length);
    Id3v2Layout layout;
    ASSERT_TRUE(parseId3v2Tag(written.data(), written.size(), written.size(), &layout)) << c.name;
    EXPECT_TRUE(layout.popmRatingKnown) << c.name;
    EXPECT_EQ(layout.popmRating, 160) << c.name;
    EXPECT_EQ(layout.paddingSize, 30 - c.frame.size()) << c.name;
    EXPECT_EQ(plan(written, 160).reason, kWriteReasonAlreadyStored) << c.name;
  }
}

TEST(WriteGuard, Id3libPlanNamesTheTagId3libMustFind) {
  const Bytes tagBytes = tag(3, 0, join({kTitle23, frameV23("TPE1", kTitle)}));
  RatingWritePlan result = plan(join({tagBytes, mpeg()}));
  ASSERT_EQ(result.method, kRatingWriteWithId3lib);
  EXPECT_EQ(result.tagSize, tagBytes.size());
  EXPECT_EQ(result.frameCount, 2u);

  result = plan(mpeg());
  ASSERT_EQ(result.method, kRatingWriteWithId3lib);
  EXPECT_EQ(result.tagSize, 0u);
  EXPECT_EQ(result.frameCount, 0u);

  // The editor's new tag replaces nothing: all the file follows it.
  result = plan(join({zeros(7), mpeg(4)}));
  ASSERT_EQ(result.method, kRatingWriteRewrite);
  EXPECT_EQ(result.tagSize, 0u);
}

TEST(WriteGuard, NothingWithoutTheBytesItNeeds) {
  const Bytes file = join({tag(3, 0, kTitle23), mpeg()});
  const size_t tagSize = 10 + kTitle23.size();
  RatingWritePlan result;
  // The whole tag and the 4 bytes after it are needed for id3lib; one less is not enough.
  planRatingWrite(file.data(), tagSize + 4, file.size(), 64, &result);
  EXPECT_EQ(result.reason, kWriteReasonId3libAddsFrame);
  planRatingWrite(file.data(), tagSize + 3, file.size(), 64, &result);
  EXPECT_EQ(result.reason, kWriteReasonHeadNotRead);
  planRatingWrite(file.data(), tagSize - 1, file.size(), 64, &result);
  EXPECT_EQ(result.reason, kWriteReasonHeadNotRead);
  planRatingWrite(file.data(), 5, file.size(), 64, &result);
  EXPECT_EQ(result.reason, kWriteReasonHeadNotRead);
  planRatingWrite(nullptr, 0, file.size(), 64, &result);
  EXPECT_EQ(result.reason, kWriteReasonHeadNotRead);
  planRatingWrite(file.data(), 2, file.size(), 64, &result);
  EXPECT_EQ(result.reason, kWriteReasonHeadNotRead);
  // Without a tag, four bytes decide.
  const Bytes audio = mpeg();
  planRatingWrite(audio.data(), 4, audio.size(), 64, &result);
  EXPECT_EQ(result.reason, kWriteReasonId3libNewTag);
  planRatingWrite(audio.data(), 3, audio.size(), 64, &result);
  EXPECT_EQ(result.reason, kWriteReasonHeadNotRead);
  // An in-place change needs nothing after the tag.
  const Bytes rated = join({tag(3, 0, frameV23("POPM", popmBody("x", 1))), mpeg()});
  planRatingWrite(rated.data(), 10 + 10 + 3, rated.size(), 64, &result);
  EXPECT_EQ(result.reason, kWriteReasonRatingByte);

  for (int bad : {-1, 256, 1000, -1000}) {
    planRatingWrite(rated.data(), rated.size(), rated.size(), bad, &result);
    EXPECT_EQ(result.method, kRatingWriteNothing) << bad;
    EXPECT_EQ(result.reason, kWriteReasonBadRating) << bad;
  }
  planRatingWrite(rated.data(), rated.size(), rated.size(), 64, nullptr);  // no crash
}

TEST(WriteGuard, HeadBytesWanted) {
  const Bytes v23 = tag(3, 0, join({kTitle23, zeros(100)}));
  const Bytes v24Footer = tagWithFooter(kTitle24);
  const struct {
    const char* name;
    Bytes header;
    uint64_t fileSize;
    uint64_t wanted;
  } cases[] = {
      {"v23", Bytes(v23.begin(), v23.begin() + 10), 100000, v23.size() + 4},
      {"v23 file ends with the tag", Bytes(v23.begin(), v23.begin() + 10), v23.size(), v23.size()},
      {"v24 footer", Bytes(v24Footer.begin(), v24Footer.begin() + 10), 100000, v24Footer.size() + 4},
      {"no tag", mpeg(), 100000, 16},
      {"small file", {0xFF, 0xFB, 0x90}, 3, 3},
      {"bad tag size", join({text("ID3"), {3, 0, 0, 0x80, 0, 0, 0}}), 100000, 16},
      {"largest tag", join({text("ID3"), {3, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F}}), uint64_t{1} << 32,
       10 + 0x0FFFFFFFull + 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ratingHeadBytesWanted(c.header.data(), c.header.size() < 10 ? c.header.size() : 10, c.fileSize),
              c.wanted)
        << c.name;
  }
  EXPECT_EQ(ratingHeadBytesWanted(nullptr, 0, 1000), 16u);
}

TEST(WriteGuard, ReadPlans) {
  const Bytes audio = mpeg();
  const struct {
    const char* name;
    Bytes file;
    RatingReadMethod method;
    unsigned rating;
  } cases[] = {
      {"no tag", audio, kRatingReadZero, 0},
      {"v24 POPM", join({tag(4, 0, join({kTitle24, frameV24("POPM", popmBody("x", 200))})), audio}),
       kRatingReadFromTag, 200},
      {"v24 second POPM ignored",
       join({tag(4, 0, join({frameV24("POPM", popmBody("a", 1)), frameV24("POPM", popmBody("b", 255))})),
             audio}),
       kRatingReadFromTag, 1},
      {"v24 without POPM", join({tag(4, 0, join({kTitle24, zeros(10)})), audio}), kRatingReadZero, 0},
      {"v24 unsynchronised POPM", join({tag(4, 0, frameV24("POPM", text("x\0\xFF\x00", 4), 0x0002)), audio}),
       kRatingReadFromTag, 255},
      {"v24 compressed POPM",
       join({tag(4, 0, frameV24("POPM", join({syncsafe(3), zeros(6)}), 0x0009)), audio}), kRatingReadZero, 0},
      {"v24 encrypted POPM",
       join({tag(4, 0, frameV24("POPM", join({{0x80}, popmBody("x", 9)}), 0x0004)), audio}), kRatingReadZero,
       0},
      {"v24 larger than the file",
       join({text("ID3"), {4, 0, 0}, syncsafe(100000), frameV24("POPM", popmBody("x", 9))}), kRatingReadZero,
       0},
      {"v23", join({tag(3, 0, frameV23("POPM", popmBody("x", 9))), audio}), kRatingReadFromTag, 9},
      {"v22", join({tag(2, 0, frameV22("POP", popmBody("x", 9))), audio}), kRatingReadFromTag, 9},
      {"v23 without POPM", join({tag(3, 0, join({kTitle23, zeros(10)})), audio}), kRatingReadZero, 0},
      {"v23 compressed POPM",
       join({tag(3, 0, frameV23("POPM", join({bigEndian(8, 4), zeros(6)}), 0x0080)), audio}),
       kRatingReadWithId3lib, 0},
      {"v23 malformed", join({tag(3, 0, join({frameV23("POPM", popmBody("x", 9)), text("junk")})), audio}),
       kRatingReadWithId3lib, 0},
      {"v23 bomb", join({tag(3, 0, join({bombV23(), frameV23("POPM", popmBody("x", 9))})), audio}),
       kRatingReadZero, 0},
      {"v22 CDM",
       join({tag(2, 0, join({frameV22("CDM", text("z\0\0\0\x10xx", 7)), frameV22("POP", popmBody("x", 9))})),
             audio}),
       kRatingReadZero, 0},
      {"v23 unknown frame",
       join({tag(3, 0, join({frameV23("XYZW", text("abc")), frameV23("POPM", popmBody("x", 9))})), audio}),
       kRatingReadFromTag, 9},
      // Tolerated tags are read here, never by id3lib.
      {"v23 lower-case frame",
       join({tag(3, 0, join({frameV23("xyzw", text("abc")), frameV23("POPM", popmBody("x", 9))})), audio}),
       kRatingReadFromTag, 9},
      {"v23 lower-case frame, compressed POPM",
       join({tag(3, 0,
                 join({frameV23("xyzw", text("abc")),
                       frameV23("POPM", join({bigEndian(8, 4), zeros(6)}), 0x0080)})),
             audio}),
       kRatingReadZero, 0},
      {"v23 larger than the file, audio after",
       join({text("ID3"), {3, 0, 0}, syncsafe(100000), frameV23("POPM", popmBody("x", 9)), mpeg(3)}),
       kRatingReadFromTag, 9},
      {"version 5", join({tag(5, 0, kTitle24), audio}), kRatingReadZero, 0},
      {"size not syncsafe", join({text("ID3"), {3, 0, 0, 0, 0, 0x80, 0}, audio}), kRatingReadZero, 0},
      {"header cut", text("ID3\x03\x00", 5), kRatingReadZero, 0},
  };
  for (const auto& c : cases) {
    unsigned rating = 12345;
    EXPECT_EQ(planRatingRead(c.file.data(), c.file.size(), c.file.size(), &rating), c.method) << c.name;
    EXPECT_EQ(rating, c.rating) << c.name;
  }
  EXPECT_EQ(planRatingRead(nullptr, 0, 0, nullptr), kRatingReadZero);
}

// ---- What id3lib renders ---------------------------------------------------

// The frame id3lib adds: our owner, the rating and a 4-byte counter of zeros.
Bytes id3libPopm(unsigned char rating, size_t counter = 4) {
  return frameV23("POPM", join({text("ID3Vimbrel"), {0x00, rating}, zeros(counter)}));
}

// A tag as id3lib renders it: ID3v2.3, the frames, padding.
Bytes rendered(const Bytes& frames, size_t padding = 100) {
  return tag(3, 0, join({frames, zeros(padding)}));
}

bool keeps(const Bytes& file, const Bytes& render, int rating = 64) {
  return id3libRenderKeepsTag(file.data(), file.size(), file.size(), rating, render.data(), render.size());
}

TEST(Id3libRender, TheSameFramesThenOurPopm) {
  const Bytes comment = frameV23("COMM", text("\x01"
                                              "eng\xFF\xFE\x00\x00\xFF\xFE"
                                              "c\x00\x00\x00",
                                              14));
  const Bytes commentWithoutBom = frameV23("COMM", text("\x01"
                                                        "eng\x00\x00\xFF\xFE"
                                                        "c\x00\x00\x00",
                                                        12));
  const Bytes length = frameV23("TLEN", text("\x00"
                                             "1000",
                                             5));
  const Bytes lengthDiscarded = frameV23("TLEN",
                                         text("\x00"
                                              "1000",
                                              5),
                                         0x4000);
  const Bytes other = frameV23("TPE1", kTitle);
  const Bytes file = join({tag(3, 0, join({kTitle23, comment, length, other})), mpeg()});
  const Bytes tagless = mpeg();
  const struct {
    const char* name;
    const Bytes& file;
    Bytes render;
    int rating;
    bool keeps;
  } cases[] = {
      {"as it was", file, rendered(join({kTitle23, comment, length, other, id3libPopm(64)})), 64, true},
      {"no padding", file, rendered(join({kTitle23, comment, length, other, id3libPopm(64)}), 0), 64, true},
      {"no counter", file, rendered(join({kTitle23, comment, length, other, id3libPopm(64, 0)})), 64, true},
      {"empty string without BOM", file,
       rendered(join({kTitle23, commentWithoutBom, length, other, id3libPopm(64)})), 64, true},
      {"TLEN marked", file, rendered(join({kTitle23, comment, lengthDiscarded, other, id3libPopm(64)})), 64,
       true},
      {"tagless", tagless, rendered(id3libPopm(255)), 255, true},
      {"other rating", file, rendered(join({kTitle23, comment, length, other, id3libPopm(65)})), 64, false},
      {"counter not zero", file,
       rendered(join({kTitle23, comment, length, other,
                      frameV23("POPM", join({text("ID3Vimbrel"), {0x00, 64}, bigEndian(1, 4)}))})),
       64, false},
      {"other owner", file,
       rendered(join(
           {kTitle23, comment, length, other, frameV23("POPM", join({text("ID3Vimbrelx"), {0x00, 64}}))})),
       64, false},
      {"POPM flags", file,
       rendered(join({kTitle23, comment, length, other,
                      frameV23("POPM", join({text("ID3Vimbrel"), {0x00, 64}, zeros(4)}), 0x0020)})),
       64, false},
      {"frame dropped", file, rendered(join({kTitle23, comment, other, id3libPopm(64)})), 64, false},
      {"frames swapped", file, rendered(join({comment, kTitle23, length, other, id3libPopm(64)})), 64, false},
      {"frame added", file, rendered(join({kTitle23, comment, length, other, other, id3libPopm(64)})), 64,
       false},
      {"POPM first", file, rendered(join({id3libPopm(64), kTitle23, comment, length, other})), 64, false},
      {"two POPM frames", file,
       rendered(join({kTitle23, comment, length, other, id3libPopm(64), id3libPopm(64)})), 64, false},
      {"no POPM", file, rendered(join({kTitle23, comment, length, other})), 64, false},
      {"body changed", file,
       rendered(join({frameV23("TIT2", text("\x00Sonh", 5)), comment, length, other, id3libPopm(64)})), 64,
       false},
      {"format flag added", file,
       rendered(join({frameV23("TIT2", kTitle, 0x0020), comment, length, other, id3libPopm(64)})), 64, false},
      {"BOM dropped from text", file,
       rendered(join({kTitle23,
                      frameV23("COMM", text("\x01"
                                            "eng\x00\x00"
                                            "c\x00\x00\x00",
                                            10)),
                      length, other, id3libPopm(64)})),
       64, false},
      {"empty string without BOM, text cut", file,
       rendered(join({kTitle23,
                      frameV23("COMM", text("\x01"
                                            "eng\x00\x00\xFF\xFE"
                                            "c\x00",
                                            10)),
                      length, other, id3libPopm(64)})),
       64, false},
      {"UTF-16 text changed",
       join({tag(3, 0,
                 frameV23("COMM", text("\x01"
                                       "eng\x00\x00\xFF\xFE"
                                       "c\x00\x00\x00",
                                       12))),
             mpeg()}),
       rendered(join({frameV23("COMM", text("\x01"
                                            "eng\x00\x00\xFF\xFE"
                                            "d\x00\x00\x00",
                                            12)),
                      id3libPopm(64)})),
       64, false},
      {"UTF-16 text lost",
       join({tag(3, 0,
                 frameV23("COMM", text("\x01"
                                       "eng\x00\x00\xFF\xFE"
                                       "c\x00",
                                       10))),
             mpeg()}),
       rendered(join({frameV23("COMM", text("\x01"
                                            "eng\x00\x00\x00\x00",
                                            8)),
                      id3libPopm(64)})),
       64, false},
      {"Latin-1 text lost",
       join({tag(3, 0,
                 frameV23("COMM", text("\x00"
                                       "eng\xFF\xFE\x00\x00",
                                       8))),
             mpeg()}),
       rendered(join({frameV23("COMM", text("\x00"
                                            "eng\x00\x00",
                                            6)),
                      id3libPopm(64)})),
       64, false},
      {"BOM dropped in a frame without text",
       join({tag(3, 0, frameV23("PRIV", text("\x01\x00\xFF\xFE\x00\x00", 6))), mpeg()}),
       rendered(join({frameV23("PRIV", text("\x01\x00\x00\x00", 4)), id3libPopm(64)})), 64, false},
      {"BOM dropped in a Latin-1 frame",
       join({tag(3, 0, frameV23("PRIV", text("o\x00\xFF\xFE\x00\x00", 6))), mpeg()}),
       rendered(join({frameV23("PRIV", text("o\x00\x00\x00", 4)), id3libPopm(64)})), 64, false},
      {"version 4", file, tag(4, 0, join({kTitle24, id3libPopm(64)})), 64, false},
      {"unsynchronised", file, tag(3, 0x80, join({kTitle23, comment, length, other, id3libPopm(64)})), 64,
       false},
      {"experimental", file, tag(3, 0x20, join({kTitle23, comment, length, other, id3libPopm(64)})), 64,
       false},
      {"malformed", file,
       join({tag(3, 0, join({kTitle23, comment, length, other, id3libPopm(64)})), text("x")}), 64,
       true},  // bytes after the tag are not part of it
      {"garbage padding", file,
       tag(3, 0, join({kTitle23, comment, length, other, id3libPopm(64), zeros(3), text("x")})), 64, false},
      {"tagless, a frame more", tagless, rendered(join({kTitle23, id3libPopm(64)})), 64, false},
      {"empty", file, {}, 64, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(keeps(c.file, c.render, c.rating), c.keeps) << c.name;
  }
}

TEST(Id3libRender, OnlyForFilesThatGoToId3lib) {
  const Bytes render = rendered(join({kTitle23, id3libPopm(64)}));
  // With room in the padding the frame goes there; id3lib is not asked.
  EXPECT_FALSE(keeps(join({tag(3, 0, join({kTitle23, zeros(100)})), mpeg()}), render));
  EXPECT_TRUE(keeps(join({tag(3, 0, kTitle23), mpeg()}), render));
  EXPECT_FALSE(keeps(join({tag(3, 0, kTitle23), zeros(10), mpeg()}), render));
  EXPECT_FALSE(keeps(join({tag(3, 0, kTitle23), mpeg()}), render, 300));
  const Bytes file = join({tag(3, 0, kTitle23), mpeg()});
  EXPECT_FALSE(id3libRenderKeepsTag(file.data(), file.size(), file.size(), 64, nullptr, 0));
}

// ---- id3lib's tag, made in memory ------------------------------------------

TEST(Id3libTag, RenderedInMemoryKeepsEveryFrame) {
  const Bytes comment = frameV23("COMM", text("\x00eng\x00A comment", 14));
  const Bytes files[] = {mpeg(), join({tag(3, 0, kTitle23), mpeg()}),
                         join({tag(3, 0, join({kTitle23, comment})), mpeg()})};
  for (const Bytes& file : files) {
    const RatingWritePlan guard = plan(file, 160);
    ASSERT_EQ(guard.method, kRatingWriteWithId3lib);
    std::string render;
    ASSERT_TRUE(renderTagWithPopm(file.data(), guard.tagSize, guard.frameCount, 160, &render));
    const Bytes rendered(render.begin(), render.end());
    EXPECT_TRUE(keeps(file, rendered, 160));
    EXPECT_EQ(rendered.size() % 2048, 0u) << "in memory id3lib pads the tag alone to 2 KB";
    // As id3lib reads a file: the new tag, then the audio.
    const Bytes after = join({rendered, Bytes(file.begin() + guard.tagSize, file.end())});
    const MemoryBytes memory = {after.data(), after.size()};
    EXPECT_EQ(id3libRatingByte(memorySource(&memory, after.size())), 160u);
    EXPECT_FALSE(renderTagWithPopm(file.data(), guard.tagSize, guard.frameCount + 1, 160, &render));
  }
}

TEST(Id3libTag, ReadsTheTagsThatFollowOneAnother) {
  const Bytes claiming = tag(3, 0, join({frameV23("POPM", popmBody("a", 200)), zeros(9000)}));
  const struct {
    const char* name;
    Bytes file;
    unsigned rating;
  } cases[] = {
      {"POPM in the second tag",
       join({tag(3, 0, kTitle23), tag(3, 0, frameV23("POPM", popmBody("a", 200))), mpeg()}), 200},
      {"tag claiming more than the file", Bytes(claiming.begin(), claiming.begin() + 100), 0},
      {"no tag", mpeg(), 0},
  };
  for (const auto& c : cases) {
    const MemoryBytes memory = {c.file.data(), c.file.size()};
    EXPECT_EQ(id3libRatingByte(memorySource(&memory, c.file.size())), c.rating) << c.name;
  }
}

// id3lib's own rule when it writes a tag into a file (ID3_TagImpl::PaddingSize).
TEST(Id3libTag, PaddedAsId3libPadsAFile) {
  const struct {
    const char* name;
    uint64_t rendered, oldTag, file, size;
  } cases[] = {
      {"fits the old tag", 110, 210, 5000, 210},
      {"4 KB to spare", 110, 4206, 10000, 6144 - 5794},
      {"no old tag", 36, 0, 4170, 6144 - 4170},
      {"the file a multiple of 2 KB already", 48, 0, 2000, 4096 - 2000},
      {"only a tag", 60, 50, 50, 60},
      {"an empty old tag", 36, 10, 1010, 2048 - 1000},
      {"grows", 110, 60, 1060, 2048 - 1000},
  };
  for (const auto& c : cases) EXPECT_EQ(id3libFileTagSize(c.rendered, c.oldTag, c.file), c.size) << c.name;
}

}  // namespace
