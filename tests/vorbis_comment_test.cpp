// SPDX-License-Identifier: LGPL-2.1-or-later
// Tests of the Vorbis comment piece: the rating each field value stands for (a table, edge
// rules included), and comments planned anew, carried out in memory and read back.
#include "rating/vorbis/vorbis_comment.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "rating/bytes/memory_source.h"
#include "support/flac_bytes.h"
#include "support/plan_bytes.h"

namespace {

struct FieldCase {
  const char* name;
  const char* value;
  int stars;
};

TEST(VorbisComment, StarsFromEachField) {
  const FieldCase cases[] = {
      // The acceptance rows.
      {"RATING", "80", 4}, {"RATING", "4", 4}, {"rating", "60", 3}, {"FMPS_RATING", "0.8", 4},
      {"RATING:someone@example.org", "0.6", 3}, {"RATING", "255", 5},
      // Whole numbers.
      {"RATING", "0", 0}, {"RATING", "1", 1}, {"RATING", "5", 5}, {"RATING", "6", 1}, {"RATING", "20", 1},
      {"RATING", "21", 2}, {"RATING", "99", 5}, {"RATING", "100", 5}, {"RATING", "101", 5},
      {"RATING", "080", 4}, {"RATING", "99999999999999999999999999", 5}, {"Rating", " 80 ", 4},
      {"RATING", "\t40", 2}, {"RATING:x", "80", 4}, {"RATING:", "40", 2},
      // Fractions: round half up, at least one star above 0.
      {"RATING", "0.5", 3}, {"RATING", "0.1", 1}, {"RATING", "0.09", 1}, {"RATING", "0.3", 2},
      {"RATING", "0.7", 4}, {"RATING", "0.9", 5}, {"RATING", "1.0", 5}, {"RATING", "1.", 5},
      {"RATING", ".8", 4}, {"RATING", "0.0", 0}, {"RATING", "0.", 0}, {"RATING", "0.000000000000000000001", 1},
      {"FMPS_RATING", "1", 5}, {"FMPS_RATING", "1.0", 5}, {"fmps_rating", "0.2", 1}, {"FMPS_RATING", "0", 0},
      {"FMPS_RATING", "0.4", 2},
      // Passed over: no number, or a fraction above 1.
      {"RATING", "", -1}, {"RATING", " ", -1}, {"RATING", ".", -1}, {"RATING", "-1", -1}, {"RATING", "+80", -1},
      {"RATING", "80.0", -1}, {"RATING", "2.0", -1}, {"RATING", "1.01", -1}, {"RATING", "0,8", -1},
      {"RATING", "8e1", -1}, {"RATING", "4 stars", -1}, {"RATING", "0.8.1", -1}, {"FMPS_RATING", "80", -1},
      {"FMPS_RATING", "1.5", -1}, {"RATING", "0000000000000000000000000000000000000000000000000000000000000000080", -1},
      // Not rating fields.
      {"RATINGS", "80", -1}, {"FMPS_RATING_AMAROK_SCORE", "0.8", -1}, {"TITLE", "80", -1}, {"", "80", -1},
      {"RATIN", "80", -1}, {"XRATING", "80", -1},
  };
  for (const FieldCase& c : cases) {
    EXPECT_EQ(starsFromCommentField(c.name, std::strlen(c.name), c.value, std::strlen(c.value)), c.stars)
        << c.name << "=" << c.value;
  }
}

// The comment's fields, as text.
std::vector<std::string> fieldsOf(const Bytes& comment) {
  std::vector<std::string> fields;
  size_t at = 0;
  auto take32 = [&]() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(comment.at(at + i)) << (8 * i);
    at += 4;
    return value;
  };
  at += take32();
  const uint32_t count = take32();
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t length = take32();
    fields.emplace_back(comment.begin() + static_cast<long>(at), comment.begin() + static_cast<long>(at + length));
    at += length;
  }
  EXPECT_EQ(at, comment.size());
  return fields;
}

struct PlannedComment {
  bool ok;
  bool changed;
  Bytes after;
  size_t newBytes;  // how many bytes the plan holds of its own
  bool matches;     // plannedCommentMatches holds
};

PlannedComment planOn(const Bytes& comment, int stars) {
  const MemoryBytes memory = {comment.data(), comment.size()};
  const ByteSource source = memorySource(&memory, comment.size());
  WritePlan plan;
  initWritePlan(&plan);
  uint64_t length = 0;
  uint64_t fieldsEnd = 0;
  PlannedComment result = {};
  result.ok = planComment(source, 0, comment.size(), stars, &plan, &length, &fieldsEnd, &result.changed);
  plan.kind = kPlanNewFile;
  result.after = bytesAfterPlan(comment, plan);
  result.newBytes = plan.byteCount;
  if (result.ok) {
    EXPECT_EQ(length, result.after.size());
    EXPECT_EQ(fieldsEnd, comment.size());
    const MemoryBytes afterMemory = {result.after.data(), result.after.size()};
    result.matches = plannedCommentMatches(source, 0, comment.size(), memorySource(&afterMemory, length), 0,
                                           length, stars);
  }
  releaseWritePlan(&plan);
  return result;
}

int starsOf(const Bytes& comment) {
  const MemoryBytes memory = {comment.data(), comment.size()};
  int stars = -1;
  return readCommentStars(memorySource(&memory, comment.size()), 0, comment.size(), &stars, nullptr) ? stars : -1;
}

using Fields = std::vector<std::string>;

struct PlanCase {
  const char* name;
  Fields before;
  int stars;
  Fields after;
};

TEST(VorbisComment, PlansEachKindOfComment) {
  const PlanCase cases[] = {
      {"a new RATING goes last", {"TITLE=a", "ARTIST=b"}, 4, {"TITLE=a", "ARTIST=b", "RATING=80"}},
      {"an empty comment", {}, 1, {"RATING=20"}},
      {"the first RATING in its place, its name's case kept", {"rating=60", "TITLE=a"}, 4, {"rating=80", "TITLE=a"}},
      {"every RATING the same", {"RATING=20", "TITLE=a", "Rating=100"}, 3, {"RATING=60", "TITLE=a", "Rating=60"}},
      {"the 1-5 scale kept", {"RATING=3", "RATING=60"}, 5, {"RATING=5", "RATING=5"}},
      {"a RATING no number changes too", {"RATING=good", "FMPS_RATING=0.2"}, 4, {"RATING=80", "FMPS_RATING=0.8"}},
      {"FMPS and e-mail fields follow", {"FMPS_RATING=0.2", "RATING:me@example.org=0.4"}, 4,
       {"FMPS_RATING=0.8", "RATING:me@example.org=0.8", "RATING=80"}},
      {"five stars as 1.0", {"FMPS_RATING=1", "RATING=100"}, 5, {"FMPS_RATING=1.0", "RATING=100"}},
      {"0 stars removes the rating fields", {"RATING=80", "TITLE=a", "fmps_rating=0.8", "RATING:x=1.0", "RATING=4"},
       0, {"TITLE=a"}},
      {"fields like rating ones stay", {"RATINGS=1", "RATING", "XRATING=1"}, 2,
       {"RATINGS=1", "RATING", "XRATING=1", "RATING=40"}},
  };
  for (const PlanCase& c : cases) {
    SCOPED_TRACE(c.name);
    const PlannedComment planned = planOn(commentBody("vendor x", c.before), c.stars);
    ASSERT_TRUE(planned.ok);
    EXPECT_TRUE(planned.changed);
    EXPECT_TRUE(planned.matches);
    EXPECT_EQ(fieldsOf(planned.after), c.after);
    EXPECT_EQ(starsOf(planned.after), c.stars);
    EXPECT_EQ(Bytes(planned.after.begin(), planned.after.begin() + 12), text("\x08\0\0\0vendor x", 12));
  }
}

TEST(VorbisComment, NothingChangesWhereTheRatingIsStored) {
  const Fields stored[][2] = {{{"RATING=80", "TITLE=a"}, {}}, {{"rating=4", "FMPS_RATING=0.8"}, {}}};
  EXPECT_FALSE(planOn(commentBody("v", stored[0][0]), 4).changed);
  EXPECT_FALSE(planOn(commentBody("v", stored[1][0]), 4).changed);
  EXPECT_FALSE(planOn(commentBody("v", {"TITLE=a"}), 0).changed);
  // Reads 4 already, but the fields disagree with each other or the writing rule.
  EXPECT_TRUE(planOn(commentBody("v", {"RATING=79"}), 4).changed);
  EXPECT_TRUE(planOn(commentBody("v", {"RATING=80", "FMPS_RATING=0.6"}), 4).changed);
  EXPECT_TRUE(planOn(commentBody("v", {"RATING=80", "RATING=4"}), 4).changed);
  const PlannedComment same = planOn(commentBody("v", {"RATING=80", "TITLE=a"}), 4);
  EXPECT_TRUE(same.ok);
  EXPECT_EQ(same.after, commentBody("v", {"RATING=80", "TITLE=a"}));
}

TEST(VorbisComment, LargeFieldsStayInTheOldFile) {
  const std::string picture = "METADATA_BLOCK_PICTURE=" + std::string(3u << 20, 'p');
  const std::string longName = "RATING:" + std::string(200000, 'n') + "=0.2";
  const PlannedComment planned = planOn(commentBody("v", {picture, longName, "TITLE=a"}), 4);
  ASSERT_TRUE(planned.ok);
  EXPECT_TRUE(planned.matches);
  EXPECT_LT(planned.newBytes, 64u);
  EXPECT_EQ(fieldsOf(planned.after),
            Fields({picture, "RATING:" + std::string(200000, 'n') + "=0.8", "TITLE=a", "RATING=80"}));
}

TEST(VorbisComment, ManyFieldsAreWalkedOnce) {
  Fields fields(100000, "GENRE=x");
  fields[99999] = "RATING=40";
  const Bytes comment = commentBody("v", fields);
  EXPECT_EQ(starsOf(comment), 2);
  const PlannedComment planned = planOn(comment, 2);
  EXPECT_TRUE(planned.ok);
  EXPECT_FALSE(planned.changed);
}

TEST(VorbisComment, MalformedCommentsReadAsNothingAndPlanNothing) {
  const Bytes good = commentBody("vendor", {"RATING=80", "TITLE=a"});
  Bytes countTooLarge = good;
  countTooLarge[10] = 0xFF;
  Bytes vendorOf4GB = good;
  std::memset(vendorOf4GB.data(), 0xFF, 4);
  Bytes fieldPastEnd = good;
  fieldPastEnd[14] = 10;  // RATING=80 claims one byte more
  const Bytes cutShort(good.begin(), good.end() - 1);
  const Bytes tooShort = {0, 0, 0};
  for (const Bytes& bad : {countTooLarge, vendorOf4GB, fieldPastEnd, cutShort, tooShort}) {
    EXPECT_EQ(starsOf(bad), -1);
    EXPECT_FALSE(planOn(bad, 3).ok);
  }
  // What follows the fields is the container's.
  const Bytes framed = join({good, {0x01}});
  const MemoryBytes memory = {framed.data(), framed.size()};
  int stars = -1;
  uint64_t fieldsEnd = 0;
  EXPECT_TRUE(readCommentStars(memorySource(&memory, framed.size()), 0, framed.size(), &stars, &fieldsEnd));
  EXPECT_EQ(stars, 4);
  EXPECT_EQ(fieldsEnd, good.size());
}

TEST(VorbisComment, CheckFindsAPlanThatLosesAField) {
  const Bytes before = commentBody("v", {"TITLE=a", "ARTIST=b"});
  const MemoryBytes oldMemory = {before.data(), before.size()};
  const ByteSource old = memorySource(&oldMemory, before.size());
  auto matches = [&](const Bytes& after, int stars) {
    const MemoryBytes memory = {after.data(), after.size()};
    return plannedCommentMatches(old, 0, before.size(), memorySource(&memory, after.size()), 0, after.size(), stars);
  };
  EXPECT_TRUE(matches(commentBody("v", {"TITLE=a", "ARTIST=b", "RATING=80"}), 4));
  EXPECT_FALSE(matches(commentBody("v", {"TITLE=a", "RATING=80"}), 4));
  EXPECT_FALSE(matches(commentBody("v", {"ARTIST=b", "TITLE=a", "RATING=80"}), 4));
  EXPECT_FALSE(matches(commentBody("w", {"TITLE=a", "ARTIST=b", "RATING=80"}), 4));
  EXPECT_FALSE(matches(commentBody("v", {"TITLE=a", "ARTIST=b", "RATING=80"}), 3));
  EXPECT_FALSE(matches(commentBody("v", {"TITLE=a", "ARTIST=b", "RATING=80", "FMPS_RATING=0.6"}), 4));
}

}  // namespace
