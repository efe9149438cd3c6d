// SPDX-License-Identifier: LGPL-2.1-or-later
// Tests of the MP4 room on files built byte by byte: each route planned, carried out in
// memory and walked again by an atom walk of the test's own; broken files read as no rating
// and plan nothing.
#include "rating/mp4/mp4_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "rating/bytes/memory_source.h"
#include "support/mp4_bytes.h"
#include "support/plan_bytes.h"

namespace {

int stars(const Bytes& file) {
  const MemoryBytes memory = {file.data(), file.size()};
  return readMp4Stars(memorySource(&memory, file.size()));
}

struct Planned {
  WritePlan plan;
  Bytes after;
};

Planned plan(const Bytes& file, int starCount) {
  const MemoryBytes memory = {file.data(), file.size()};
  Planned planned;
  initWritePlan(&planned.plan);
  planMp4Write(memorySource(&memory, file.size()), starCount, &planned.plan);
  planned.after = bytesAfterPlan(file, planned.plan);
  return planned;
}

std::vector<Bytes> kept(const Bytes& file) {
  std::vector<Bytes> leaves;
  keptLeaves(file, 0, file.size(), &leaves);
  return leaves;
}

Bytes mediaOf(const Bytes& file) {
  const std::vector<TestAtom> top = testAtoms(file, 0, file.size());
  const TestAtom* mdat = findTestAtom(top, "mdat");
  return mdat == nullptr ? Bytes() : atomBytes(file, *mdat);
}

// The planned file reads `starCount` back, keeps every other atom and the media, and each
// chunk offset points at the same chunk.
void expectSound(const Bytes& before, const Planned& planned, int starCount) {
  EXPECT_EQ(stars(planned.after), starCount);
  EXPECT_TRUE(kept(planned.after) == kept(before));
  EXPECT_TRUE(mediaOf(planned.after) == mediaOf(before));
  const std::vector<uint64_t> oldOffsets = chunkOffsets(before);
  const std::vector<uint64_t> newOffsets = chunkOffsets(planned.after);
  ASSERT_EQ(newOffsets.size(), oldOffsets.size());
  for (size_t i = 0; i < oldOffsets.size(); ++i) {
    ASSERT_LE(newOffsets[i] + kTestChunkSize, planned.after.size());
    EXPECT_TRUE(Bytes(planned.after.begin() + newOffsets[i],
                      planned.after.begin() + newOffsets[i] + kTestChunkSize) ==
                Bytes(before.begin() + oldOffsets[i], before.begin() + oldOffsets[i] + kTestChunkSize));
  }
  size_t sizes = 0;  // every atom's size adds up to the file's
  for (const TestAtom& a : testAtoms(planned.after, 0, planned.after.size())) sizes += a.size;
  EXPECT_EQ(sizes, planned.after.size());
  EXPECT_EQ(planned.plan.oldSize, before.size());
}

size_t patchedBytes(const WritePlan& plan) {
  size_t total = 0;
  for (size_t i = 0; i < plan.patchCount; ++i) total += plan.patches[i].length;
  return total;
}

const Bytes kTitle = item("\xa9nam", 1, text("A title"));

M4aShape shape(std::vector<Bytes> items, size_t freeInMeta, bool moovFirst = true) {
  M4aShape s;
  s.items = items;
  s.freeInMeta = freeInMeta;
  s.moovFirst = moovFirst;
  return s;
}

struct RouteCase {
  const char* name;
  M4aShape shape;
  int stars;
  Mp4WriteReason reason;
};

TEST(Mp4File, EachRoute) {
  M4aShape noUdta = shape({}, 0);
  noUdta.udta = false;
  M4aShape noMetaFreeInUdta = shape({}, 0);
  noMetaFreeInUdta.meta = false;
  noMetaFreeInUdta.freeInUdta = 200;
  M4aShape noIlst = shape({}, 0, false);
  noIlst.ilst = false;
  M4aShape freeAfterMoov = shape({kTitle}, 0);
  freeAfterMoov.freeAfterMoov = 64;
  M4aShape wide = shape({kTitle}, 0);
  wide.co64 = true;
  M4aShape cover = shape({kTitle, item("rate", 1, text("40"))}, 0);
  cover.cover = Bytes(3u << 20, 0xC0);
  const std::vector<RouteCase> cases = {
      {"the same length", shape({kTitle, item("rate", 1, text("60"))}, 0), 4, kMp4ItemsInPlace},
      {"a new rate from free room in meta", shape({kTitle}, 100), 3, kMp4ItemsFromFree},
      {"a free atom used up exactly", shape({kTitle}, 26), 3, kMp4ItemsFromFree},
      {"rate removed: the free atom grows", shape({item("rate", 1, text("60")), kTitle}, 16), 0,
       kMp4ItemsFromFree},
      {"free room in udta",
       [] {
         M4aShape s = shape({kTitle}, 0);
         s.freeInUdta = 64;
         return s;
       }(),
       5, kMp4ItemsFromFree},
      {"free room after moov, before the media", freeAfterMoov, 2, kMp4ItemsFromFree},
      {"the player's data type 0 set as text", shape({item("rate", 0, text("100")), kTitle}, 40), 1,
       kMp4ItemsFromFree},
      {"the player's data type 0 of the same number becomes text", shape({item("rate", 0, text("80")), kTitle}, 0),
       4, kMp4ItemsInPlace},
      {"an integer rate becomes text", shape({item("rate", 21, {80}), kTitle}, 40), 3, kMp4ItemsFromFree},
      {"RATING and FMPS_Rating follow",
       shape({freeformItem("RATING", "60"), kTitle, freeformItem("FMPS_Rating", "0.6")}, 64), 5,
       kMp4ItemsFromFree},
      {"RATING and FMPS_Rating removed",
       shape({freeformItem("RATING", "60"), freeformItem("FMPS_Rating", "0.6")}, 8), 0, kMp4ItemsFromFree},
      {"no room, moov first: offsets shift", shape({kTitle}, 0), 4, kMp4RewriteShiftOffsets},
      {"no room, rate removed: free room in its place", shape({item("rate", 1, text("60")), kTitle}, 0), 0,
       kMp4FreeFromItems},
      {"no room, a new rate beside RATING: a new file", shape({freeformItem("RATING", "100"), kTitle}, 0), 4,
       kMp4RewriteShiftOffsets},
      {"no room, co64 offsets shift", wide, 4, kMp4RewriteShiftOffsets},
      {"no room, media first: moov grows", shape({kTitle}, 0, false), 4, kMp4RewriteMoovGrows},
      {"no udta: made", noUdta, 2, kMp4RewriteShiftOffsets},
      {"no meta: made in udta's free room", noMetaFreeInUdta, 2, kMp4ItemsFromFree},
      {"no ilst, media first", noIlst, 1, kMp4RewriteMoovGrows},
      {"a cover stays where it is", cover, 5, kMp4RewriteShiftOffsets},
      {"a cover between the change and the free room: a new file",
       shape({item("rate", 1, text("40")), item("covr", 13, Bytes(3u << 20, 0xC0))}, 64), 5,
       kMp4RewriteWideChange},
  };
  for (const RouteCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes file = m4aFile(c.shape);
    Planned planned = plan(file, c.stars);
    EXPECT_EQ(planned.plan.reason, c.reason) << mp4WriteReasonName(planned.plan.reason);
    const bool inPlace =
        c.reason == kMp4ItemsInPlace || c.reason == kMp4ItemsFromFree || c.reason == kMp4FreeFromItems;
    EXPECT_EQ(planned.plan.kind, inPlace ? kPlanInPlace : kPlanNewFile);
    if (inPlace) {
      EXPECT_EQ(planned.after.size(), file.size());
      EXPECT_LT(patchedBytes(planned.plan), 256u);
    } else if (c.reason != kMp4RewriteWideChange) {
      // Fresh room after `ilst`, so that the next rating is written in place.
      EXPECT_GE(planned.after.size(), file.size() + kMp4FreshFree);
      Planned next = plan(planned.after, c.stars == 5 ? 1 : 5);
      EXPECT_EQ(next.plan.kind, kPlanInPlace) << mp4WriteReasonName(next.plan.reason);
      releaseWritePlan(&next.plan);
    }
    EXPECT_LT(planned.plan.byteCount, 8192u);  // a cover is never new bytes
    expectSound(file, planned, c.stars);
    releaseWritePlan(&planned.plan);
  }
}

TEST(Mp4File, WritesRateAsTextAndSetsTheOthersInTheirType) {
  const Bytes file =
      m4aFile(shape({freeformItem("RATING", "20", 1), freeformItem("FMPS_Rating", "0.2", 1)}, 100));
  Planned planned = plan(file, 4);
  const std::string after(planned.after.begin(), planned.after.end());
  EXPECT_NE(after.find(std::string("rate\0\0\0\x12"
                                   "data\0\0\0\x01\0\0\0\0"
                                   "80",
                                   22)),
            std::string::npos);
  EXPECT_NE(after.find(std::string("RATING\0\0\0\x12"
                                   "data\0\0\0\x01\0\0\0\0"
                                   "80",
                                   24)),
            std::string::npos);
  EXPECT_NE(after.find(std::string("FMPS_Rating\0\0\0\x13"
                                   "data\0\0\0\x01\0\0\0\0"
                                   "0.8",
                                   30)),
            std::string::npos);
  releaseWritePlan(&planned.plan);

  // A RATING of the integer type stays one, as wide as it was; an FMPS_Rating that is no
  // text is left alone.
  const Bytes typed = m4aFile(shape(
      {freeformItem("RATING", std::string("\0\x3c", 2), 21), freeformItem("FMPS_Rating", "\x03", 21)}, 100));
  EXPECT_EQ(stars(typed), 3);
  planned = plan(typed, 5);
  EXPECT_EQ(stars(planned.after), 5);
  const std::string typedAfter(planned.after.begin(), planned.after.end());
  EXPECT_NE(typedAfter.find(std::string("RATING\0\0\0\x12"
                                        "data\0\0\0\x15\0\0\0\0\0\x64",
                                        24)),
            std::string::npos);
  EXPECT_NE(typedAfter.find(std::string("FMPS_Rating\0\0\0\x11"
                                        "data\0\0\0\x15\0\0\0\0\x03",
                                        28)),
            std::string::npos);
  releaseWritePlan(&planned.plan);
}

TEST(Mp4File, ReadsAsThePlayerDoes) {
  const Bytes items[] = {
      item("rate", 0, text("80")),  item("rate", 1, text("80")),        item("rate", 21, {80}),
      freeformItem("RATING", "60"), freeformItem("FMPS_Rating", "0.8"), item("rate", 21, {0x00, 0x64}),
      item("rate", 1, text("3"))};
  // The Vorbis comments' rules: 1..5 are stars.
  const int expected[] = {4, 4, 4, 3, 4, 5, 3};
  for (size_t i = 0; i < sizeof expected / sizeof expected[0]; ++i)
    EXPECT_EQ(stars(m4aFile(shape({kTitle, items[i]}, 0))), expected[i]) << i;
  // `rate` first, then RATING, then FMPS_Rating, wherever they stand.
  EXPECT_EQ(stars(m4aFile(shape({freeformItem("FMPS_Rating", "0.2"), freeformItem("RATING", "60")}, 0))), 3);
  EXPECT_EQ(stars(m4aFile(shape({freeformItem("RATING", "60"), item("rate", 1, text("100"))}, 0))), 5);
  EXPECT_EQ(stars(m4aFile(shape({item("rtng", 21, {1})}, 0))), 0);  // the content advisory
  M4aShape wideIlst = shape({}, 0);
  wideIlst.ilst = false;
  wideIlst.freeInMeta = 0;
  Bytes file = m4aFile(wideIlst);
  EXPECT_EQ(stars(file), 0);
}

TEST(Mp4File, AlreadyStoredPlansNothing) {
  for (const Bytes& file : {m4aFile(shape({item("rate", 1, text("80"))}, 0)),
                            m4aFile(shape({item("rate", 21, {80})}, 0)), m4aFile(shape({kTitle}, 0))}) {
    Planned planned = plan(file, stars(file));
    EXPECT_EQ(planned.plan.kind, kPlanNothing);
    EXPECT_EQ(planned.plan.reason, kMp4AlreadyStored);
    EXPECT_TRUE(planned.plan.alreadyStored);
    releaseWritePlan(&planned.plan);
  }
}

struct BadCase {
  const char* name;
  Bytes file;
  Mp4WriteReason reason;
};

// `file` with the 4 bytes at `at` set to `value`.
Bytes with32(Bytes file, size_t at, uint32_t value) {
  const Bytes bytes = bigEndian(value, 4);
  std::copy(bytes.begin(), bytes.end(), file.begin() + at);
  return file;
}

size_t offsetOf(const Bytes& file, const char* type) {
  const std::string all(file.begin(), file.end());
  return all.find(type) - 4;
}

TEST(Mp4File, BrokenFilesReadAsNothingAndPlanNothing) {
  const Bytes good = m4aFile(shape({item("rate", 1, text("80")), kTitle}, 64));
  const size_t moov = offsetOf(good, "moov");
  const size_t ilst = offsetOf(good, "ilst");
  const size_t rate = offsetOf(good, "rate");
  const size_t data = rate + 8;
  const size_t stco = offsetOf(good, "stco");
  const size_t stsz = offsetOf(good, "stsz");
  const Bytes ftyp(good.begin(), good.begin() + moov);
  M4aShape fragmented = shape({item("rate", 1, text("80"))}, 0);
  const Bytes moof = join({m4aFile(fragmented), atom("moof", zeros(16))});
  const Bytes twoMoov =
      join({good,
            Bytes(good.begin() + moov, good.begin() + moov + (good.size() - moov - 8 - 3 * kTestChunkSize))});
  const std::vector<BadCase> cases = {
      {"moov past the file", with32(good, moov, static_cast<uint32_t>(good.size())), kMp4MalformedAtoms},
      {"ilst past meta", with32(good, ilst, 0x1000), kMp4MalformedAtoms},
      {"an atom smaller than its header", with32(good, ilst, 4), kMp4MalformedAtoms},
      {"size 0 inside moov", with32(good, ilst, 0), kMp4MalformedAtoms},
      {"a data atom shorter than its header", with32(with32(good, data, 12), rate, 20), kMp4MalformedItems},
      {"an stco count larger than its atom", with32(good, stco + 12, 4000), kMp4MalformedAtoms},
      {"a chunk offset outside mdat", with32(good, stco + 16, 3), kMp4OffsetsOutsideMdat},
      {"samples running past mdat", with32(good, stsz + 12, 5000), kMp4OffsetsOutsideMdat},
      {"more chunks than samples", with32(good, stsz + 16, 2), kMp4OffsetsOutsideMdat},
      {"no stsc", with32(good, offsetOf(good, "stsc") + 4, 0x73747363 + 1), kMp4Unproven},
      {"cut short", Bytes(good.begin(), good.end() - 40), kMp4MalformedAtoms},
      {"fragmented", moof, kMp4Fragmented},
      {"two moov", twoMoov, kMp4Unproven},
      {"no moov", join({ftyp, atom("mdat", zeros(10))}), kMp4Unproven},
      {"no mdat", Bytes(good.begin(), good.begin() + offsetOf(good, "mdat")), kMp4Unproven},
      {"not MP4", text("RIFF\x10\x00\x00\x00WAVE", 12), kMp4NotMp4},
      {"empty", {}, kMp4NotMp4},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.name);
    // A read walks the tables' headers, not their entries.
    EXPECT_EQ(stars(c.file), c.reason == kMp4OffsetsOutsideMdat ? 4 : 0);
    for (int starCount = 0; starCount <= 5; ++starCount) {
      Planned planned = plan(c.file, starCount);
      EXPECT_EQ(planned.plan.kind, kPlanNothing);
      EXPECT_FALSE(planned.plan.alreadyStored);
      EXPECT_EQ(planned.plan.reason, c.reason) << mp4WriteReasonName(planned.plan.reason);
      releaseWritePlan(&planned.plan);
    }
  }
  Planned badStars = plan(good, 6);
  EXPECT_EQ(badStars.plan.reason, kMp4BadStars);
  releaseWritePlan(&badStars.plan);
}

TEST(Mp4File, ShiftedOffsetsPast4GiBTurnCo64) {
  // A 4 GiB `mdat` behind `moov`, of which only the first bytes are in memory: the walk and
  // the plan read no more than headers and tables there.
  M4aShape s = shape({kTitle}, 0);
  s.chunks = 2;
  const Bytes ftyp = atom("ftyp", text("M4A isom"));
  const size_t moovSize = m4aMoov(s, 0).size();
  const uint64_t mdatSize = (uint64_t{1} << 32) + 16;
  Bytes file = join({ftyp, m4aMoov(s, ftyp.size() + moovSize + 16), bigEndian(1, 4), text("mdat"),
                     bigEndian(1, 4), bigEndian(16, 4), m4aMedia(1)});
  const size_t stco = offsetOf(file, "stco");
  file = with32(file, stco + 20, 0xFFFFFF00u);
  const MemoryBytes memory = {file.data(), file.size()};
  const ByteSource source = memorySource(&memory, ftyp.size() + moovSize + mdatSize);
  WritePlan plan;
  initWritePlan(&plan);
  planMp4Write(source, 3, &plan);
  ASSERT_EQ(plan.reason, kMp4RewriteShiftOffsets) << mp4WriteReasonName(plan.reason);
  const PlannedFile plannedFile = {&plan, source};
  const ByteSource planned = plannedSource(&plannedFile);
  Bytes head(file.size() + 4096);
  head.resize(planned.readAt(planned.file, 0, head.data(), head.size()));
  const std::string text(head.begin(), head.end());
  const size_t co64 = text.find("co64");
  ASSERT_NE(co64, std::string::npos);
  EXPECT_EQ(text.find("stco"), std::string::npos);
  const uint64_t growth = planned.size - source.size;
  const Bytes expected = join({bigEndian(0, 4), bigEndian(2, 4), bigEndian(0, 4),
                               bigEndian(static_cast<uint32_t>(ftyp.size() + moovSize + 16 + growth), 4),
                               bigEndian(1, 4), bigEndian(static_cast<uint32_t>(0xFFFFFF00u + growth), 4)});
  EXPECT_TRUE(Bytes(head.begin() + co64 + 4, head.begin() + co64 + 4 + expected.size()) == expected);
  releaseWritePlan(&plan);
}

struct CountedBytes {
  const Bytes* file;
  uint64_t read;
};

size_t readCounted(void* file, uint64_t offset, unsigned char* buffer, size_t count) {
  CountedBytes* counted = static_cast<CountedBytes*>(file);
  if (offset >= counted->file->size()) return 0;
  const size_t copied = std::min<size_t>(count, counted->file->size() - static_cast<size_t>(offset));
  std::memcpy(buffer, counted->file->data() + offset, copied);
  counted->read += copied;
  return copied;
}

TEST(Mp4File, ACoverIsNeverReadWhole) {
  M4aShape s = shape({kTitle, item("rate", 1, text("40"))}, 0);
  s.cover = Bytes(8u << 20, 0xC0);
  const Bytes file = m4aFile(s);
  CountedBytes counted = {&file, 0};
  const ByteSource source = {&counted, file.size(), readCounted};
  EXPECT_EQ(readMp4Stars(source), 2);
  EXPECT_LT(counted.read, 4096u);
  counted.read = 0;
  WritePlan plan;
  initWritePlan(&plan);
  planMp4Write(source, 5, &plan);  // "100" is longer: everything after `rate` moves
  EXPECT_EQ(plan.reason, kMp4RewriteShiftOffsets) << mp4WriteReasonName(plan.reason);
  EXPECT_LT(counted.read, 64u * 1024);
  EXPECT_LT(plan.byteCount, 8192u);
  releaseWritePlan(&plan);
}

}  // namespace
