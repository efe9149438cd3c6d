// SPDX-License-Identifier: LGPL-2.1-or-later
// Tests of the Ogg room on Vorbis and Opus files built byte by byte: what is read, which way
// a rating is written, and the file each plan makes, walked page by page: CRCs, sequence,
// granules, every packet but the comment as it was, and the rating read back.
#include "rating/ogg/ogg_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rating/bytes/memory_source.h"
#include "support/ogg_bytes.h"

namespace {

int readStars(const Bytes& file) {
  const MemoryBytes memory = {file.data(), file.size()};
  return readOggStars(memorySource(&memory, file.size()));
}

// Plans `stars` into `file`; the plan's kind and reason and the file it makes.
struct Outcome {
  WritePlanKind kind;
  int reason;
  bool alreadyStored;
  Bytes after;
};

Outcome write(const Bytes& file, int stars) {
  const MemoryBytes memory = {file.data(), file.size()};
  WritePlan plan;
  planOggWrite(memorySource(&memory, file.size()), stars, &plan);
  Outcome outcome = {plan.kind, plan.reason, plan.alreadyStored, bytesAfterPlan(file, plan)};
  EXPECT_EQ(plan.oldSize, file.size());
  EXPECT_EQ(plan.ratingOffset, kNoRatingOffset);
  releaseWritePlan(&plan);
  return outcome;
}

// The written file walks as a sound stream: every CRC valid, one serial, pages in sequence, as
// many pages as before with the same granules past the headers, every packet but the comment
// the same, the audio pages byte for byte, the rating read back.
void expectSoundWrite(const Bytes& before, const Outcome& outcome, int stars) {
  std::vector<WalkedPage> oldPages, newPages;
  std::vector<Bytes> oldPackets, newPackets;
  ASSERT_TRUE(walkOggBytes(before, &oldPages, &oldPackets));
  ASSERT_TRUE(walkOggBytes(outcome.after, &newPages, &newPackets));
  ASSERT_EQ(newPages.size(), oldPages.size());
  ASSERT_EQ(newPackets.size(), oldPackets.size());
  for (size_t i = 0; i < newPages.size(); ++i) {
    EXPECT_TRUE(newPages[i].crcValid) << "page " << i;
    EXPECT_EQ(newPages[i].sequence, oldPages[i].sequence) << "page " << i;
    EXPECT_EQ(newPages[i].serial, oldPages[0].serial) << "page " << i;
  }
  for (size_t i = 0; i < newPackets.size(); ++i) {
    if (i == 1) continue;  // the comment
    EXPECT_EQ(newPackets[i], oldPackets[i]) << "packet " << i;
  }
  // Audio pages: the same bytes at the end of the file.
  size_t audioPages = 0;
  for (const WalkedPage& page : oldPages) audioPages += page.granule != 0 && page.granule != ~uint64_t{0};
  const size_t firstAudio = oldPages.size() - audioPages;
  const size_t audioLength = before.size() - oldPages[firstAudio].offset;
  ASSERT_GE(outcome.after.size(), audioLength);
  EXPECT_TRUE(std::equal(before.end() - audioLength, before.end(), outcome.after.end() - audioLength));
  for (size_t i = firstAudio; i < newPages.size(); ++i) EXPECT_EQ(newPages[i].granule, oldPages[i].granule);
  EXPECT_EQ(readStars(outcome.after), stars);
}

const std::vector<std::string> kFields = {"TITLE=Song", "ARTIST=Someone"};

Bytes commentWith(std::vector<std::string> fields) { return commentBody("Lavf60", fields); }

TEST(OggFile, ReadsTheRatingOfVorbisAndOpus) {
  const Bytes vorbis = vorbisFile(vorbisCommentPacket(commentWith({"TITLE=x", "RATING=80"})));
  const Bytes opus = opusFile(opusTags(commentWith({"rating=60"})));
  const Bytes opusWithBinary = opusFile(opusTags(commentWith({"FMPS_RATING=0.8"}), {0x01, 0x02}));
  EXPECT_EQ(readStars(vorbis), 4);
  EXPECT_EQ(readStars(opus), 3);
  EXPECT_EQ(readStars(opusWithBinary), 4);
  EXPECT_EQ(readStars(vorbisFile(vorbisCommentPacket(commentWith(kFields)))), 0);
  const MemoryBytes memory = {vorbis.data(), vorbis.size()};
  EXPECT_TRUE(isOggFile(memorySource(&memory, vorbis.size())));
}

TEST(OggFile, VorbisSlackKeepsThePacketLengthInPlace) {
  const Bytes before = vorbisFile(vorbisCommentPacket(commentWith(kFields), 40));
  const Outcome outcome = write(before, 4);
  ASSERT_EQ(outcome.kind, kPlanInPlace) << oggWriteReasonName(outcome.reason);
  EXPECT_EQ(outcome.after.size(), before.size());
  expectSoundWrite(before, outcome, 4);
  // Then back to none, and the same length again.
  const Outcome cleared = write(outcome.after, 0);
  ASSERT_EQ(cleared.kind, kPlanInPlace);
  expectSoundWrite(outcome.after, cleared, 0);
}

TEST(OggFile, SameLengthValueChangesOnlyTheCommentPage) {
  const Bytes before = vorbisFile(vorbisCommentPacket(commentWith({"TITLE=x", "RATING=80"})));
  const Outcome outcome = write(before, 3);
  ASSERT_EQ(outcome.kind, kPlanInPlace) << oggWriteReasonName(outcome.reason);
  expectSoundWrite(before, outcome, 3);
}

TEST(OggFile, VorbisWithoutSlackIsPaginatedAnew) {
  const Bytes before = vorbisFile(vorbisCommentPacket(commentWith(kFields)));
  const Outcome outcome = write(before, 5);
  ASSERT_EQ(outcome.kind, kPlanNewFile) << oggWriteReasonName(outcome.reason);
  expectSoundWrite(before, outcome, 5);
  // The padding it was given takes the next change in place.
  EXPECT_EQ(write(outcome.after, 2).kind, kPlanInPlace);
}

TEST(OggFile, CommentOverSeveralPagesWithTheSetupOnItsLastPage) {
  const std::string picture = "METADATA_BLOCK_PICTURE=" + std::string(60000, 'P');
  const Bytes before = vorbisFile(vorbisCommentPacket(commentWith({"TITLE=x", picture, "RATING=20"})), 16);
  std::vector<WalkedPage> pages;
  std::vector<Bytes> packets;
  ASSERT_TRUE(walkOggBytes(before, &pages, &packets));
  ASSERT_GT(pages.size(), 10u);
  EXPECT_EQ(readStars(before), 1);
  for (int stars = 0; stars <= 5; ++stars) {
    const Outcome outcome = write(before, stars);
    if (stars == 1) {
      EXPECT_TRUE(outcome.alreadyStored);
      continue;
    }
    ASSERT_NE(outcome.kind, kPlanNothing) << oggWriteReasonName(outcome.reason);
    expectSoundWrite(before, outcome, stars);
  }
}

TEST(OggFile, OpusPaddingTakesTheChangeInPlace) {
  const Bytes before = opusFile(opusTags(commentWith(kFields), Bytes(64, 0x00)));
  const Outcome outcome = write(before, 4);
  ASSERT_EQ(outcome.kind, kPlanInPlace) << oggWriteReasonName(outcome.reason);
  expectSoundWrite(before, outcome, 4);
}

TEST(OggFile, OpusWithoutPaddingGetsSomeWhenWrittenAnew) {
  const Bytes before = opusFile(opusTags(commentWith(kFields)));
  const Outcome outcome = write(before, 4);
  ASSERT_EQ(outcome.kind, kPlanNewFile) << oggWriteReasonName(outcome.reason);
  expectSoundWrite(before, outcome, 4);
  EXPECT_EQ(write(outcome.after, 1).kind, kPlanInPlace);
}

TEST(OggFile, OpusBinaryDataStaysByteForByte) {
  const Bytes binary = {0x01, 0xDE, 0xAD, 0xBE, 0xEF};
  const Bytes before = opusFile(opusTags(commentWith(kFields), binary));
  const Outcome outcome = write(before, 2);
  ASSERT_EQ(outcome.kind, kPlanNewFile) << oggWriteReasonName(outcome.reason);
  expectSoundWrite(before, outcome, 2);
  std::vector<WalkedPage> pages;
  std::vector<Bytes> packets;
  ASSERT_TRUE(walkOggBytes(outcome.after, &pages, &packets));
  EXPECT_TRUE(std::equal(binary.begin(), binary.end(), packets[1].end() - binary.size()));
}

TEST(OggFile, AlreadyStoredPlansNothing) {
  const Bytes file = opusFile(opusTags(commentWith({"RATING=60"})));
  const Outcome outcome = write(file, 3);
  EXPECT_EQ(outcome.kind, kPlanNothing);
  EXPECT_TRUE(outcome.alreadyStored);
}

TEST(OggFile, FullHeaderPagesAreRefused) {
  // The comment and the setup fill the one header page's 255 lacing values to the last.
  const Bytes setup = vorbisSetup(40);
  const size_t commentSegments = 255 - (setup.size() / 255 + 1);
  const Bytes base = vorbisCommentPacket(commentWith({"TITLE=x"}));
  const size_t fill = (commentSegments - 1) * 255 + 250 - base.size() - 4;
  const Bytes packet = vorbisCommentPacket(commentWith({"TITLE=x", std::string(fill - 4, 'a') + "=z"}));
  ASSERT_EQ(packet.size() / 255 + 1, commentSegments);
  const Bytes before = vorbisFile(packet);
  const Outcome outcome = write(before, 5);
  EXPECT_EQ(outcome.kind, kPlanNothing);
  EXPECT_EQ(outcome.reason, kOggWriteNoRoom) << oggWriteReasonName(outcome.reason);
}

// A source that counts what is read of it: the largest single read and all bytes together.
struct CountedReads {
  MemoryBytes memory;
  size_t largest;
  uint64_t total;
};

size_t readCounted(void* file, uint64_t offset, unsigned char* buffer, size_t count) {
  CountedReads* counted = static_cast<CountedReads*>(file);
  counted->largest = count > counted->largest ? count : counted->largest;
  counted->total += count;
  const ByteSource memory = memorySource(&counted->memory, counted->memory.length);
  return memory.readAt(memory.file, offset, buffer, count);
}

TEST(OggFile, AnEightMegabytePictureIsNeverReadWhole) {
  const std::string picture = "METADATA_BLOCK_PICTURE=" + std::string(8u << 20, 'P');
  for (size_t segments : {size_t{255}, size_t{16}}) {  // pages of 64 KB and of 4 KB
    const Bytes before = vorbisFile(vorbisCommentPacket(commentWith({"TITLE=x", picture})), segments);
    CountedReads counted = {{before.data(), before.size()}, 0, 0};
    const ByteSource source = {&counted, before.size(), readCounted};
    EXPECT_EQ(readOggStars(source), 0);
    WritePlan plan;
    planOggWrite(source, 4, &plan);
    ASSERT_EQ(plan.kind, kPlanNewFile) << oggWriteReasonName(plan.reason);
    EXPECT_LE(counted.largest, size_t{65307});  // a page at most
    EXPECT_LT(plan.byteCount, size_t{128 * 1024}) << segments;  // page headers and the new field
    const Outcome outcome = {plan.kind, plan.reason, false, bytesAfterPlan(before, plan)};
    releaseWritePlan(&plan);
    expectSoundWrite(before, outcome, 4);
  }
}

TEST(OggFile, AFullCommentPageSpillsOntoTheSetupPage) {
  // The comment fills its own page's 255 lacing values; the setup header has a page of its own.
  const Bytes base = vorbisCommentPacket(commentWith({"TITLE=x"}));
  const size_t fill = 254 * 255 + 100 - base.size() - 4;
  const Bytes packet = vorbisCommentPacket(commentWith({"TITLE=x", std::string(fill - 2, 'a') + "=z"}));
  ASSERT_EQ(packet.size() / 255 + 1, 255u);
  const Bytes before = oggStream(0x1234, {{{vorbisIdentification()}, 0, 255},
                                          {{packet}, 0, 255},
                                          {{vorbisSetup()}, 0, 255},
                                          {{Bytes(300, 0xA1)}, 4096, 255}});
  const Outcome outcome = write(before, 5);
  ASSERT_EQ(outcome.kind, kPlanNewFile) << oggWriteReasonName(outcome.reason);
  expectSoundWrite(before, outcome, 5);
}

struct BadCase {
  const char* name;
  Bytes file;
  int reason;
};

TEST(OggFile, FilesNotProvenSoundReadNothingAndPlanNothing) {
  const Bytes good = vorbisFile(vorbisCommentPacket(commentWith({"RATING=80"})));
  Bytes badCrc = good;
  badCrc[58 + 40] ^= 0x40;  // inside the comment page, after the first page's 58 bytes
  Bytes longLacing = good;
  longLacing[58 + 27] = 0xFE;  // the second page's first lacing value, past the packet
  Bytes vendor4g = vorbisFile(vorbisCommentPacket(join({littleEndian(0xFFFFFFFFu, 4), text("v"),
                                                        oggLittleEndian(1, 4), oggLittleEndian(9, 4), text("RATING=80")})));
  Bytes countTooLarge = vorbisFile(vorbisCommentPacket(join({oggLittleEndian(1, 4), text("v"),
                                                             oggLittleEndian(100000, 4)})));
  const Bytes chained = join({good, oggStream(0x77, {{{vorbisIdentification()}, 0, 255},
                                                      {{vorbisCommentPacket(commentWith({})), vorbisSetup()}, 0, 255},
                                                      {{Bytes(20, 1)}, 100, 255}})});
  // A second stream begins on the second page.
  const Bytes multiplexed = join({Bytes(good.begin(), good.begin() + 58),
                                  oggPage(0x02, 0, 0x99, 0, {30}, vorbisIdentification()),
                                  Bytes(good.begin() + 58, good.end())});
  const Bytes oggFlac = oggStream(0x5, {{{join({text("\x7F" "FLAC"), Bytes(40, 0)})}, 0, 255},
                                        {{Bytes(30, 0x84)}, 0, 255}});
  const Bytes neverEnds = oggStream(0x1234, {{{vorbisIdentification()}, 0, 255},
                                             {{Bytes(255 * 3, 'x')}, 0, 3}});  // the last page ends the packet: cut it
  const Bytes longIdentification =
      oggStream(0x1234, {{{join({vorbisIdentification(), {0x00}})}, 0, 255},
                         {{vorbisCommentPacket(commentWith({"RATING=80"})), vorbisSetup()}, 0, 255},
                         {{Bytes(20, 1)}, 100, 255}});
  const BadCase cases[] = {
      {"bad CRC", badCrc, kOggWriteBrokenPage},
      {"an identification header of 31 bytes", longIdentification, kOggWriteOtherCodec},
      {"lacing past the file", longLacing, kOggWriteBrokenPage},
      {"cut short", Bytes(good.begin(), good.begin() + good.size() / 2), kOggWriteBrokenPage},
      {"packet never ends", Bytes(neverEnds.begin(), neverEnds.end() - 27 - 1), kOggWriteBrokenHeaders},
      {"vendor of 4 GB", vendor4g, kOggWriteBrokenComment},
      {"count larger than the packet", countTooLarge, kOggWriteBrokenComment},
      {"chained", chained, kOggWriteManyStreams},
      {"multiplexed", multiplexed, kOggWriteManyStreams},
      {"Ogg FLAC", oggFlac, kOggWriteOtherCodec},
      {"no Ogg", text("RIFF....WAVE"), kOggWriteNotOgg},
  };
  for (const BadCase& bad : cases) {
    EXPECT_EQ(readStars(bad.file), 0) << bad.name;
    const Outcome outcome = write(bad.file, 4);
    EXPECT_EQ(outcome.kind, kPlanNothing) << bad.name;
    EXPECT_EQ(outcome.reason, bad.reason) << bad.name << ": " << oggWriteReasonName(outcome.reason);
  }
  // A page of the audio that does not check is read past, but the file is not written.
  Bytes badAudioCrc = good;
  badAudioCrc[good.size() - 3] ^= 0x40;
  EXPECT_EQ(readStars(badAudioCrc), 4);
  const Outcome outcome = write(badAudioCrc, 2);
  EXPECT_EQ(outcome.kind, kPlanNothing);
  EXPECT_EQ(outcome.reason, kOggWriteBrokenPage) << oggWriteReasonName(outcome.reason);
}

}  // namespace
