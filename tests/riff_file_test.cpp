// SPDX-License-Identifier: LGPL-2.1-or-later
// Tests of the WAV and AIFF room on files built byte by byte: each route planned, carried out
// in memory and walked again by a chunk walk of the test's own; files whose chunks do not add
// up read as no rating and plan nothing.
#include "rating/riff/riff_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "rating/bytes/memory_source.h"
#include "rating/rating.h"
#include "support/plan_bytes.h"
#include "support/riff_bytes.h"

namespace {

int stars(const Bytes& file) {
  const MemoryBytes memory = {file.data(), file.size()};
  return readChunkedStars(memorySource(&memory, file.size()));
}

struct Planned {
  WritePlan plan;
  Bytes after;
};

Planned plan(const Bytes& file, int starCount) {
  const MemoryBytes memory = {file.data(), file.size()};
  Planned planned;
  initWritePlan(&planned.plan);
  planChunkedWrite(memorySource(&memory, file.size()), starCount, &planned.plan);
  planned.after = bytesAfterPlan(file, planned.plan);
  return planned;
}

// The planned file reads `starCount` back in its one ID3 chunk (named `tagId`), and keeps
// every other chunk byte for byte and in order; a new file's form size is its size less 8,
// in place the form's size stays.
void expectSound(const Bytes& before, const Planned& planned, int starCount, const char* tagId) {
  EXPECT_EQ(stars(planned.after), starCount);
  const WalkedChunks old = walkChunks(before);
  const WalkedChunks now = walkChunks(planned.after);
  EXPECT_TRUE(now.filled);
  if (planned.plan.kind == kPlanNewFile) {
    EXPECT_TRUE(now.formSizeRight);
  } else {
    EXPECT_EQ(Bytes(planned.after.begin() + 4, planned.after.begin() + 8), Bytes(before.begin() + 4, before.begin() + 8));
  }
  EXPECT_EQ(Bytes(planned.after.begin(), planned.after.begin() + 4), Bytes(before.begin(), before.begin() + 4));
  EXPECT_EQ(Bytes(planned.after.begin() + 8, planned.after.begin() + 12), Bytes(before.begin() + 8, before.begin() + 12));
  std::vector<Bytes> kept;
  for (const WalkedChunk& chunk : old.chunks)
    if (!isId3Chunk(chunk)) kept.push_back(chunk.whole);
  std::vector<Bytes> others;
  size_t tags = 0;
  for (const WalkedChunk& chunk : now.chunks) {
    if (!isId3Chunk(chunk)) {
      others.push_back(chunk.whole);
      continue;
    }
    ++tags;
    EXPECT_EQ(chunk.id, tagId);
    if (chunk.dataSize % 2 == 1) {
      EXPECT_EQ(chunk.whole.back(), 0x00);
    }
  }
  EXPECT_EQ(tags, 1u);
  EXPECT_TRUE(others == kept);
  EXPECT_EQ(planned.plan.oldSize, before.size());
}

const Bytes kTitle23 = frameV23("TIT2", text("\x00Song", 5));
const Bytes kPopm23 = frameV23("POPM", popmBody("x", 1));

ChunkBytes tagChunk(const std::string& id, const Bytes& data) { return {id, data}; }

struct RouteCase {
  const char* name;
  Bytes file;
  int stars;
  ChunkedWriteReason reason;
  const char* tagId;
};

TEST(ChunkedFile, EachRoute) {
  const ChunkBytes data = {"data", samples(301)};
  const ChunkBytes sound = {"SSND", samples(207)};
  const ChunkBytes list = {"LIST", join({text("INFOISFT"), littleEndian(5, 4), text("Lavf"), {0, 0}})};
  std::vector<RouteCase> cases = {
      {"WAV: the rating byte", waveFile({waveFormat(), data, tagChunk("id3 ", tag(3, 0, kPopm23))}), 4,
       kChunkedRatingByte, "id3 "},
      {"WAV: upper-case ID3 chunk before the data",
       waveFile({waveFormat(), tagChunk("ID3 ", tag(4, 0, frameV24("POPM", popmBody("x", 1)))), data}), 2,
       kChunkedRatingByte, "ID3 "},
      {"AIFF: the rating byte", aiffFile({aiffCommon(), tagChunk("ID3 ", tag(3, 0, kPopm23)), sound}), 5,
       kChunkedRatingByte, "ID3 "},
      {"WAV: a frame in the padding", waveFile({waveFormat(), list, data, tagChunk("id3 ", tag(3, 0, join({kTitle23, zeros(200)})))}),
       3, kChunkedFrameInPadding, "id3 "},
      {"AIFF: a frame in the padding, chunk of odd size",
       aiffFile({aiffCommon(), sound, tagChunk("ID3 ", join({tag(4, 0, zeros(100)), {0x00}}))}), 1,
       kChunkedFrameInPadding, "ID3 "},
      {"WAV: unsynchronised tag made anew at its size",
       waveFile({waveFormat(), tagChunk("id3 ", tag(3, 0x80, join({kPopm23, zeros(40)}))), data}), 4,
       kChunkedTagInPlace, "id3 "},
      {"WAV: tag without room grows", waveFile({waveFormat(), tagChunk("id3 ", tag(3, 0, kTitle23)), data}), 4,
       kChunkedTagAnew, "id3 "},
      {"WAV: grows, bytes after the tag in the chunk kept",
       waveFile({waveFormat(), data, tagChunk("id3 ", join({tag(4, 0, frameV24("TIT2", text("\x00Song", 5))), text("tail")}))}), 2,
       kChunkedTagAnew, "id3 "},
      {"AIFF: tag without room grows before the sound", aiffFile({aiffCommon(), tagChunk("ID3 ", tag(3, 0, kTitle23)), sound}), 1,
       kChunkedTagAnew, "ID3 "},
      {"WAV: no ID3 chunk, one at the end", waveFile({waveFormat(), list, data}), 3, kChunkedNewTagChunk, "id3 "},
      {"AIFF: no ID3 chunk, one at the end", aiffFile({aiffCommon(), sound}), 5, kChunkedNewTagChunk, "ID3 "},
      {"AIFC: no ID3 chunk", join({text("FORM"), bigEndian(4 + 8 + 18 + 8 + 207 + 1, 4), text("AIFC"),
                                  chunkBytes(true, aiffCommon()), chunkBytes(true, sound)}),
       2, kChunkedNewTagChunk, "ID3 "},
  };
  // As TagLib's own test AIFF: the form's size leaves out the last chunk's pad byte.
  Bytes padLeftOut = aiffFile({aiffCommon(), sound});
  padLeftOut[7] -= 1;
  cases.push_back({"AIFF, form size without the last pad byte: counted anew", padLeftOut, 4, kChunkedNewTagChunk, "ID3 "});
  Bytes padLeftOutRated = waveFile({waveFormat(), data, tagChunk("id3 ", tag(3, 0, kPopm23))});
  padLeftOutRated[4] -= 1;
  cases.push_back({"WAV, form size without the last pad byte: kept in place", padLeftOutRated, 3, kChunkedRatingByte, "id3 "});
  for (const RouteCase& c : cases) {
    SCOPED_TRACE(c.name);
    Planned planned = plan(c.file, c.stars);
    EXPECT_STREQ(chunkedWriteReasonName(planned.plan.reason), chunkedWriteReasonName(c.reason));
    const bool inPlace = c.reason == kChunkedRatingByte || c.reason == kChunkedFrameInPadding || c.reason == kChunkedTagInPlace;
    EXPECT_EQ(planned.plan.kind, inPlace ? kPlanInPlace : kPlanNewFile);
    if (inPlace) {
      EXPECT_EQ(planned.after.size(), c.file.size());
    } else {
      EXPECT_EQ(planned.after.at(planned.plan.ratingOffset), RatingScale[c.stars]);
    }
    expectSound(c.file, planned, c.stars, c.tagId);
    releaseWritePlan(&planned.plan);
    // The next rating of the file written is a byte in place.
    Planned again = plan(planned.after, c.stars == 1 ? 2 : 1);
    EXPECT_EQ(again.plan.kind, kPlanInPlace);
    EXPECT_EQ(again.plan.reason, kChunkedRatingByte);
    releaseWritePlan(&again.plan);
  }
}

TEST(ChunkedFile, NothingToWrite) {
  const ChunkBytes data = {"data", samples(64)};
  Planned held = plan(waveFile({waveFormat(), data, tagChunk("id3 ", tag(3, 0, frameV23("POPM", popmBody("x", 255))))}), 5);
  EXPECT_EQ(held.plan.kind, kPlanNothing);
  EXPECT_TRUE(held.plan.alreadyStored);
  Planned none = plan(waveFile({waveFormat(), data}), 0);
  EXPECT_EQ(none.plan.kind, kPlanNothing);
  EXPECT_TRUE(none.plan.alreadyStored);
}

struct BrokenCase {
  const char* name;
  Bytes file;
  ChunkedWriteReason reason;
};

// Each reads as no rating and plans nothing, whatever its tag holds.
TEST(ChunkedFile, BrokenFilesAreLeftAlone) {
  const ChunkBytes data = {"data", samples(63)};
  const ChunkBytes rated = tagChunk("id3 ", tag(3, 0, frameV23("POPM", popmBody("x", 255))));
  const Bytes sound = waveFile({waveFormat(), data, rated});
  // The last chunk even: no pad byte the form's size could leave out.
  Bytes riffSizeLess = waveFile({waveFormat(), rated, {"data", samples(64)}});
  riffSizeLess[4] -= 1;
  Bytes riffSizeMore = sound;
  riffSizeMore[4] += 1;
  Bytes chunkPastEnd = sound;
  chunkPastEnd[12 + 8 + 16 + 4] += 2;  // the data chunk's size
  Bytes rf64 = sound;
  std::memcpy(rf64.data(), "RF64", 4);
  Bytes riffx = sound;
  std::memcpy(riffx.data(), "RIFX", 4);
  const Bytes noPad = join({text("RIFF"), littleEndian(4 + 24 + 8 + 63, 4), text("WAVE"), chunkBytes(false, waveFormat()),
                            text("data"), littleEndian(63, 4), samples(63)});
  Bytes claim = tag(3, 0, frameV23("POPM", popmBody("x", 255)));
  claim[9] += 1;
  const std::vector<BrokenCase> cases = {
      {"trailing bytes after the form", join({sound, zeros(2)}), kChunkedSizesDisagree},
      {"form size one less, even last chunk", riffSizeLess, kChunkedSizesDisagree},
      {"form size one more", riffSizeMore, kChunkedSizesDisagree},
      {"a chunk past the end", chunkPastEnd, kChunkedSizesDisagree},
      {"an odd last chunk without its pad byte", noPad, kChunkedSizesDisagree},
      {"a cut file", Bytes(sound.begin(), sound.end() - 5), kChunkedSizesDisagree},
      {"RF64", rf64, kChunkedNotChunked},
      {"RIFX", riffx, kChunkedNotChunked},
      {"two ID3 chunks", waveFile({waveFormat(), rated, data, tagChunk("ID3 ", tag(3, 0, zeros(20)))}), kChunkedTwoTagChunks},
      {"AIFF id3 chunk",
       aiffFile({aiffCommon(), {"SSND", samples(8)}, tagChunk("id3 ", tag(3, 0, frameV23("POPM", popmBody("x", 255))))}),
       kChunkedTagChunkUnread},
      {"no format chunk", waveFile({data, rated}), kChunkedNotAudio},
      {"a format chunk too short", waveFile({{"fmt ", samples(14)}, data, rated}), kChunkedNotAudio},
      {"a LIST shorter than its name", waveFile({waveFormat(), data, {"LIST", samples(3)}, rated}), kChunkedListBroken},
      {"two sound chunks", aiffFile({aiffCommon(), {"SSND", samples(8)}, {"SSND", samples(8)}}), kChunkedNotAudio},
      {"a tag claiming more than its chunk", waveFile({waveFormat(), data, tagChunk("id3 ", claim)}), kChunkedTagRefused},
      {"an ID3 chunk without a tag", waveFile({waveFormat(), data, tagChunk("id3 ", zeros(30))}), kChunkedTagRefused},
      {"a chunk ID not printable", waveFile({waveFormat(), {std::string("\x01xyz"), samples(8)}, rated}), kChunkedSizesDisagree},
  };
  for (const BrokenCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(stars(c.file), 0);
    Planned planned = plan(c.file, 3);
    EXPECT_EQ(planned.plan.kind, kPlanNothing);
    EXPECT_STREQ(chunkedWriteReasonName(planned.plan.reason), chunkedWriteReasonName(c.reason));
    EXPECT_FALSE(planned.plan.alreadyStored);
  }
}

}  // namespace
