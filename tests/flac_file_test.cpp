// SPDX-License-Identifier: LGPL-2.1-or-later
// Tests of the FLAC room on files built byte by byte: each route planned, carried out in
// memory and walked again by a block walk of the test's own; broken files read as no rating
// and plan nothing.
#include "rating/flac/flac_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rating/bytes/memory_source.h"
#include "support/flac_bytes.h"
#include "support/plan_bytes.h"

namespace {

int stars(const Bytes& file) {
  const MemoryBytes memory = {file.data(), file.size()};
  return readFlacStars(memorySource(&memory, file.size()));
}

struct Planned {
  WritePlan plan;
  Bytes after;
};

Planned plan(const Bytes& file, int starCount) {
  const MemoryBytes memory = {file.data(), file.size()};
  Planned planned;
  initWritePlan(&planned.plan);
  planFlacWrite(memorySource(&memory, file.size()), starCount, &planned.plan);
  planned.after = bytesAfterPlan(file, planned.plan);
  return planned;
}

struct Walked {
  size_t streamStart;
  std::vector<BlockBytes> blocks;
  std::vector<bool> lastFlags;
  Bytes audio;
};

// The test's own walk: blocks until the flagged one, then the audio.
Walked walk(const Bytes& file) {
  Walked walked;
  size_t at = 0;
  while (file.size() - at >= 10 && file[at] == 'I' && file[at + 1] == 'D' && file[at + 2] == '3')
    at += 10 + ((file[at + 6] << 21) | (file[at + 7] << 14) | (file[at + 8] << 7) | file[at + 9]) +
          ((file[at + 5] & 0x10) ? 10 : 0);
  walked.streamStart = at;
  EXPECT_EQ(Bytes(file.begin() + at, file.begin() + at + 4), text("fLaC"));
  at += 4;
  for (bool last = false; !last;) {
    last = (file.at(at) & 0x80) != 0;
    const size_t length = (file.at(at + 1) << 16) | (file.at(at + 2) << 8) | file.at(at + 3);
    walked.blocks.push_back({static_cast<unsigned char>(file[at] & 0x7F),
                             Bytes(file.begin() + at + 4, file.begin() + at + 4 + length)});
    walked.lastFlags.push_back(last);
    at += 4 + length;
  }
  walked.audio = Bytes(file.begin() + at, file.end());
  return walked;
}

// The blocks a write keeps, in order.
std::vector<BlockBytes> keptBlocks(const Walked& walked) {
  std::vector<BlockBytes> kept;
  for (const BlockBytes& block : walked.blocks)
    if (block.type != kPaddingBlock && block.type != kCommentBlock) kept.push_back(block);
  return kept;
}

// The planned file reads `starCount` back, and keeps what stood before "fLaC", every other
// block and the audio; one comment block, followed by `paddingAfter` bytes of padding.
void expectSound(const Bytes& before, const Planned& planned, int starCount, long paddingAfter) {
  EXPECT_EQ(stars(planned.after), starCount);
  const Walked old = walk(before);
  const Walked now = walk(planned.after);
  EXPECT_EQ(Bytes(planned.after.begin(), planned.after.begin() + now.streamStart),
            Bytes(before.begin(), before.begin() + old.streamStart));
  EXPECT_EQ(now.audio, old.audio);
  const std::vector<BlockBytes> keptBefore = keptBlocks(old);
  const std::vector<BlockBytes> keptAfter = keptBlocks(now);
  ASSERT_EQ(keptAfter.size(), keptBefore.size());
  for (size_t i = 0; i < keptBefore.size(); ++i) {
    EXPECT_EQ(keptAfter[i].type, keptBefore[i].type);
    EXPECT_TRUE(keptAfter[i].body == keptBefore[i].body);
  }
  for (const BlockBytes& block : now.blocks) {
    if (block.type == kPaddingBlock) {
      EXPECT_EQ(block.body, zeros(block.body.size()));
    }
  }
  size_t comments = 0;
  for (size_t i = 0; i < now.blocks.size(); ++i) {
    if (now.blocks[i].type != kCommentBlock) continue;
    ++comments;
    const bool followed = i + 1 < now.blocks.size() && now.blocks[i + 1].type == kPaddingBlock;
    EXPECT_EQ(followed ? static_cast<long>(now.blocks[i + 1].body.size()) : -1L, paddingAfter);
  }
  EXPECT_EQ(comments, 1u);
  EXPECT_EQ(planned.plan.oldSize, before.size());
  EXPECT_EQ(planned.plan.ratingOffset, kNoRatingOffset);
}

size_t patchedBytes(const WritePlan& plan) {
  size_t total = 0;
  for (size_t i = 0; i < plan.patchCount; ++i) total += plan.patches[i].length;
  return total;
}

const BlockBytes kInfo = {kStreamInfoBlock, streamInfoBody()};
const BlockBytes kSeekTable = {kSeekTableBlock, Bytes(18, 0x5E)};

BlockBytes comment(const std::vector<std::string>& fields) {
  return {kCommentBlock, commentBody("reference libFLAC 1.4.2 20221022", fields)};
}
BlockBytes padding(size_t size) { return {kPaddingBlock, zeros(size)}; }
BlockBytes picture(size_t size) { return {kPictureBlock, pictureBody(size)}; }

// Letters in a cycle: moved by a byte, every one of them differs.
std::string letters(size_t count) {
  std::string out(count, 'a');
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<char>('a' + i % 26);
  return out;
}

struct RouteCase {
  const char* name;
  Bytes file;
  int stars;
  FlacWriteReason reason;
  long paddingAfter;  // -1: none follows the comment
};

TEST(FlacFile, EachRoute) {
  const BlockBytes titled = comment({"TITLE=a", "ARTIST=b"});
  const std::vector<RouteCase> cases = {
      {"a new field from the padding", flacFile({kInfo, kSeekTable, titled, padding(100)}), 4,
       kFlacCommentFromPadding, 87},
      {"the same length", flacFile({kInfo, comment({"rating=60"}), padding(8)}), 4, kFlacCommentInPlace, 8},
      {"a shorter value gives the padding a byte", flacFile({kInfo, comment({"RATING=100"}), padding(8)}), 4,
       kFlacCommentFromPadding, 9},
      {"removed fields give the padding their room",
       flacFile({kInfo, comment({"RATING=80", "FMPS_RATING=0.8", "T=x"}), padding(0)}), 0,
       kFlacCommentFromPadding, 32},
      {"no padding, a field removed: padding in its room",
       flacFile({kInfo, comment({"RATING=80", "TITLE=a"}), picture(60)}), 0, kFlacPaddingFromComment, 9},
      {"no padding: a new file with fresh padding", flacFile({kInfo, titled, picture(300)}), 3,
       kFlacRewriteWithPadding, kFlacFreshPadding},
      {"padding too small: replaced", flacFile({kInfo, titled, padding(5), kSeekTable}), 2,
       kFlacRewriteWithPadding, kFlacFreshPadding},
      {"the comment last", flacFile({kInfo, titled}), 5, kFlacRewriteWithPadding, kFlacFreshPadding},
      {"no comment: made in the padding", flacFile({kInfo, picture(50), padding(200)}), 1,
       kFlacNewCommentInPadding, 200 - 4 - 32},
      {"no comment, small padding: replaced", flacFile({kInfo, padding(10), kSeekTable}), 1,
       kFlacRewriteNewComment, kFlacFreshPadding},
      {"no comment, no padding: after the last block", flacFile({kInfo, kSeekTable}), 4, kFlacRewriteNewComment,
       kFlacFreshPadding},
      {"a picture after the comment stays",
       flacFile({kInfo, comment({"RATING=60", "rating=1"}), picture(3u << 20), padding(64)}), 5,
       kFlacRewriteWithPadding, kFlacFreshPadding},
      {"an ID3v2 tag before fLaC is kept",
       join({tagWithFooter(frameV24("POPM", popmBody("x", 255))), flacFile({kInfo, titled, padding(64)})}), 2,
       kFlacCommentFromPadding, 51},
      {"a wide move is a new file",
       flacFile({kInfo, comment({"RATING=100", "METADATA_BLOCK_PICTURE=" + letters(100000)}), padding(4)}),
       1, kFlacRewriteWideChange, 5},
  };
  for (const RouteCase& c : cases) {
    SCOPED_TRACE(c.name);
    Planned planned = plan(c.file, c.stars);
    EXPECT_EQ(planned.plan.reason, c.reason) << flacWriteReasonName(planned.plan.reason);
    const bool inPlace = c.reason == kFlacCommentInPlace || c.reason == kFlacCommentFromPadding ||
                         c.reason == kFlacPaddingFromComment || c.reason == kFlacNewCommentInPadding;
    EXPECT_EQ(planned.plan.kind, inPlace ? kPlanInPlace : kPlanNewFile);
    if (inPlace) {
      EXPECT_EQ(planned.after.size(), c.file.size());
      EXPECT_LT(patchedBytes(planned.plan), 128u);
    }
    EXPECT_LT(planned.plan.byteCount, 8192u);  // a picture is never new bytes
    expectSound(c.file, planned, c.stars, c.paddingAfter);
    releaseWritePlan(&planned.plan);
  }
}

TEST(FlacFile, InPlacePatchesOnlyWhatDiffers) {
  Planned planned = plan(flacFile({kInfo, comment({"RATING=60", "TITLE=a"}), padding(8)}), 4);
  ASSERT_EQ(planned.plan.kind, kPlanInPlace);
  ASSERT_EQ(planned.plan.patchCount, 1u);
  EXPECT_EQ(planned.plan.patches[0].length, 1u);  // "6" becomes "8"
  releaseWritePlan(&planned.plan);
}

TEST(FlacFile, ReadsTheCommentNotTheId3v2Tag) {
  const Bytes file = join({tag(3, 0, frameV23("POPM", popmBody("x", 255))),
                           flacFile({kInfo, comment({"RATING=40"}), padding(16)})});
  EXPECT_EQ(stars(file), 2);
  uint64_t streamStart = 0;
  const MemoryBytes memory = {file.data(), file.size()};
  EXPECT_TRUE(isFlacFile(memorySource(&memory, file.size()), &streamStart));
  EXPECT_EQ(streamStart, file.size() - flacFile({kInfo, comment({"RATING=40"}), padding(16)}).size());
  const char* const fields[] = {"RATING=80", "RATING=4", "rating=60", "FMPS_RATING=0.8",
                                "RATING:someone@example.org=0.6", "RATING=255"};
  const int expected[] = {4, 4, 3, 4, 3, 5};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(stars(flacFile({kInfo, comment({"TITLE=a", fields[i]})})), expected[i]);
}

TEST(FlacFile, AlreadyStoredPlansNothing) {
  for (const Bytes& file : {flacFile({kInfo, comment({"RATING=80"})}), flacFile({kInfo, padding(3)})}) {
    const int starCount = stars(file);
    Planned planned = plan(file, starCount);
    EXPECT_EQ(planned.plan.kind, kPlanNothing);
    EXPECT_EQ(planned.plan.reason, kFlacAlreadyStored);
    EXPECT_TRUE(planned.plan.alreadyStored);
    releaseWritePlan(&planned.plan);
  }
}

struct BadCase {
  const char* name;
  Bytes file;
  FlacWriteReason reason;
};

TEST(FlacFile, BrokenFilesReadAsNothingAndPlanNothing) {
  const Bytes good = flacFile({kInfo, comment({"RATING=80"}), padding(16)});
  const size_t commentAt = 4 + 4 + 34;
  const size_t paddingAt = commentAt + 4 + comment({"RATING=80"}).body.size();
  Bytes pastEnd = good;
  pastEnd[paddingAt + 1] = 0x7F;  // the padding's length
  Bytes noLastFlag = good;
  noLastFlag[paddingAt] &= 0x7F;
  Bytes earlyLastFlag = good;
  earlyLastFlag[commentAt] |= 0x80;
  Bytes countTooLarge = good;
  countTooLarge[commentAt + 4 + 4 + 32] = 0x09;
  Bytes vendorOf4GB = good;
  for (int i = 0; i < 4; ++i) vendorOf4GB[commentAt + 4 + i] = 0xFF;
  Bytes noStreamInfo = good;
  noStreamInfo[4] = kSeekTableBlock;
  const std::vector<BadCase> cases = {
      {"a block past the end", pastEnd, kFlacMalformedMetadata},
      {"no last-block flag", noLastFlag, kFlacMalformedMetadata},
      {"an early last-block flag", earlyLastFlag, kFlacMalformedMetadata},
      {"cut short", Bytes(good.begin(), good.begin() + 60), kFlacMalformedMetadata},
      {"two comment blocks", flacFile({kInfo, comment({}), comment({"RATING=80"})}), kFlacMalformedMetadata},
      {"no STREAMINFO first", noStreamInfo, kFlacMalformedMetadata},
      {"a count larger than the block", countTooLarge, kFlacMalformedComment},
      {"a vendor string of 4 GB", vendorOf4GB, kFlacMalformedComment},
      {"an ID3v2 tag and no fLaC", join({tag(3, 0, zeros(20)), text("RIFF")}), kFlacNotFlac},
      {"empty", {}, kFlacNotFlac},
      {"bytes after the comment's fields",
       flacFile({kInfo, {kCommentBlock, join({commentBody("v", {}), commentField("TITLE=a")})}, padding(20)}),
       kFlacContentsDisagree},
      {"two seek tables", flacFile({kInfo, kSeekTable, comment({"TITLE=a"}), kSeekTable, padding(20)}),
       kFlacContentsDisagree},
      {"a cue sheet whose tracks run past its block",
       flacFile({kInfo, comment({"TITLE=a"}), {kCueSheetBlock, join({zeros(395), {0x01}, zeros(20)})}, padding(20)}),
       kFlacContentsDisagree},
      {"a picture shorter than its block",
       flacFile({kInfo, comment({"TITLE=a"}), {kPictureBlock, join({pictureBody(60), zeros(3)})}, padding(20)}),
       kFlacContentsDisagree},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(stars(c.file), 0);
    for (int starCount = 0; starCount <= 5; ++starCount) {
      Planned planned = plan(c.file, starCount);
      EXPECT_EQ(planned.plan.kind, kPlanNothing);
      EXPECT_FALSE(planned.plan.alreadyStored);
      EXPECT_EQ(planned.plan.reason, c.reason) << flacWriteReasonName(planned.plan.reason);
    }
  }
  Planned badStars = plan(good, 6);
  EXPECT_EQ(badStars.plan.reason, kFlacBadStars);
  releaseWritePlan(&badStars.plan);
}

}  // namespace
