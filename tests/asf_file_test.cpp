// SPDX-License-Identifier: LGPL-2.1-or-later
// Tests of the WMA (ASF) room on files built byte by byte: each route planned, carried out in
// memory and walked again by an object walk of the test's own; broken files read as no rating
// and plan nothing; a header of megabytes is never read whole. The fuzz target
// (fuzz/asf_plan_fuzz.cpp) judges any other file by the same walk.
#include "rating/asf/asf_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "rating/bytes/memory_source.h"
#include "support/asf_bytes.h"
#include "support/plan_bytes.h"

namespace {

ByteSource sourceOf(const MemoryBytes& memory) { return memorySource(&memory, memory.length); }

int stars(const Bytes& file) { return readAsfStars(sourceOf({file.data(), file.size()})); }

WritePlan plan(const Bytes& file, int starCount) {
  WritePlan planned;
  initWritePlan(&planned);
  planAsfWrite(sourceOf({file.data(), file.size()}), starCount, &planned);
  return planned;
}

Bytes rating(uint16_t type, const Bytes& value) { return descriptor(kRatingName, type, value); }
const Bytes kAlbum = descriptor("WM/AlbumTitle", 0, utf16("An album"));

WmaShape shape(std::vector<Bytes> descriptors, size_t padding = 0) {
  WmaShape s;
  s.descriptors = descriptors;
  s.paddingInHeader = padding;
  return s;
}

TEST(AsfFile, EachRoute) {
  WmaShape first = shape({kAlbum}, 120), inExtension = shape({kAlbum}), noContent = shape({}, 200);
  first.paddingFirst = true;
  inExtension.paddingInExtension = 80;
  noContent.content = false;
  WmaShape noRoom = noContent, metadata = shape({kAlbum}, 64), library = shape({kAlbum});
  noRoom.paddingInHeader = 0;
  metadata.metadata = {record(kRatingName, 5, le(80, 2))};
  library.library = {record(kRatingName, 0, utf16("99")), record(kRatingName, 3, le(1, 4), 1)};
  library.paddingInExtension = 300;
  WmaShape everywhere = shape({rating(3, le(50, 4)), kAlbum}), stale = shape({kAlbum});
  everywhere.metadata = {record(kRatingName, 4, le(25, 8))};
  everywhere.library = {record(kRatingName, 3, le(99, 4))};
  stale.fileSizeSlip = 1191;  // mutagen's saves leave it as it was
  WmaShape cover = shape({kAlbum}), coverBetween = metadata;
  cover.cover = coverBetween.cover = Bytes(3u << 20, 0xC0);
  const struct {
    const char* name;
    WmaShape shape;
    int stars;
    AsfWriteReason reason;
  } cases[] = {
      {"a DWORD's bytes", shape({kAlbum, rating(3, le(75, 4))}), 2, kAsfValueInPlace},
      {"a BOOL of the same size", shape({rating(2, le(1, 4))}), 5, kAsfValueInPlace},
      {"a new rating from the padding after it", shape({kAlbum}, 120), 3, kAsfFromPadding},
      {"a new rating from the padding before it", first, 3, kAsfFromPadding},
      {"a padding used up exactly", shape({kAlbum}, 50), 1, kAsfFromPadding},
      {"a padding in the header extension", inExtension, 4, kAsfFromPadding},
      {"a new Extended Content Description", noContent, 5, kAsfFromPadding},
      {"a WORD in the Metadata made a DWORD", metadata, 3, kAsfFromPadding},
      {"text in the Metadata Library made a DWORD, stream 1 left alone", library, 4, kAsfFromPadding},
      {"removed: the padding grows", shape({rating(3, le(50, 4)), kAlbum}, 30), 0, kAsfFromPadding},
      {"removed everywhere: a new padding", everywhere, 0, kAsfPaddingFromAttributes},
      {"no room: the header anew", shape({kAlbum}), 4, kAsfRewriteHeader},
      {"no room, no Extended Content Description", noRoom, 1, kAsfRewriteHeader},
      {"a QWORD made a DWORD without room", everywhere, 2, kAsfRewriteHeader},
      {"a stale file size set right", stale, 5, kAsfRewriteHeader},
      {"a cover stays where it is", cover, 5, kAsfRewriteHeader},
      {"a cover between the change and the padding: a new file", coverBetween, 5, kAsfRewriteWideChange},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes file = wmaFile(c.shape);
    WritePlan planned = plan(file, c.stars);
    EXPECT_EQ(planned.reason, c.reason) << asfWriteReasonName(planned.reason);
    const bool inPlace = c.reason <= kAsfPaddingFromAttributes;
    EXPECT_EQ(planned.kind, inPlace ? kPlanInPlace : kPlanNewFile);
    EXPECT_LT(planned.byteCount, inPlace ? 512u : 8192u);  // a cover is never new bytes
    const Bytes after = bytesAfterPlan(file, planned);
    const TestWma old = testWma(file), now = testWma(after);
    EXPECT_TRUE(old.sound && now.sound);
    EXPECT_EQ(stars(after), c.stars);
    EXPECT_EQ(testWmaStars(now), c.stars);
    for (const TestAttribute& a : now.ratings)
      EXPECT_TRUE(a.type == 3 && a.value == le(kAsfRatingValues[c.stars], 4));
    EXPECT_TRUE(now.kept == old.kept);
    EXPECT_TRUE(now.dataAndAfter == old.dataAndAfter);
    EXPECT_EQ(now.fileSizeField, after.size() != file.size() ? after.size() : old.fileSizeField);
    if (c.reason == kAsfRewriteHeader) {  // fresh padding: the next rating goes in place
      WritePlan next = plan(after, c.stars == 5 ? 1 : 5);
      EXPECT_EQ(next.kind, kPlanInPlace) << asfWriteReasonName(next.reason);
      releaseWritePlan(&next);
    }
    releaseWritePlan(&planned);
  }
}

// The thresholds; the types and the places (and their order) are the route table's and the fuzz
// target's, which reads every file by the tests' own walk too.
TEST(AsfFile, ReadsAsThePlayerDoes) {
  const uint32_t numbers[] = {0, 1, 12, 13, 37, 38, 62, 63, 86, 87, 99, 255};
  for (size_t i = 0; i < sizeof numbers / sizeof numbers[0]; ++i)
    EXPECT_EQ(stars(wmaFile(shape({rating(3, le(numbers[i], 4))}))), "011223344555"[i] - '0') << numbers[i];
  EXPECT_EQ(stars(wmaFile(shape({rating(0, utf16("87"))}))), 5);
  EXPECT_EQ(stars(wmaFile(shape({rating(0, utf16("4 stars"))}))), 0);
}

// `file` with `bytes` put over it at `at`.
Bytes with(Bytes file, size_t at, const Bytes& bytes) {
  std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<long>(at));
  return file;
}

size_t offsetOf(const Bytes& file, const char* guid) {
  const Bytes wanted = asfGuid(guid);
  return static_cast<size_t>(std::search(file.begin(), file.end(), wanted.begin(), wanted.end()) -
                             file.begin());
}

WmaShape drm(const char* guid) {
  WmaShape s = shape({kAlbum});
  s.objects = {asfObject(guid, zeros(16))};
  return s;
}

TEST(AsfFile, BrokenFilesReadAsNothingAndPlanNothing) {
  const Bytes good = wmaFile(shape({kAlbum, rating(3, le(50, 4))}, 100));
  const size_t data = offsetOf(good, kGuidData), content = offsetOf(good, kGuidContent);
  const struct {
    const char* name;
    Bytes file;
    AsfWriteReason reason;
  } cases[] = {
      {"a header count off", with(good, 24, le(9, 4)), kAsfMalformedObjects},
      {"a header past the file", with(good, 16, le(good.size() + 1, 8)), kAsfMalformedObjects},
      {"a cut file", Bytes(good.begin(), good.end() - 7), kAsfMalformedObjects},
      {"bytes after the last object", join({good, zeros(3)}), kAsfMalformedObjects},
      {"an object of size 0", with(good, content + 16, zeros(8)), kAsfMalformedObjects},
      {"an object past 4 GiB", with(good, data + 16, le(uint64_t{1} << 32, 8)), kAsfMalformedObjects},
      {"two Header objects", join({good, Bytes(good.begin(), good.begin() + static_cast<long>(data))}),
       kAsfUnproven},
      {"no Data object", with(good, data, asfGuid(kGuidPadding)), kAsfUnproven},
      {"content encryption", wmaFile(drm("2211B3FB-BD23-11D2-B4B7-00A0C955FC6E")), kAsfProtected},
      {"extended content encryption", wmaFile(drm("298AE614-2622-4C17-B935-DAE07EE9289C")), kAsfProtected},
      {"a descriptor count larger than its object", with(good, content + 24, le(3, 2)),
       kAsfMalformedAttributes},
      {"a name without a terminator", wmaFile(shape({descriptor(text("a\0b\0", 4), 0, utf16("x"))})),
       kAsfMalformedAttributes},
      {"a name of odd length", wmaFile(shape({descriptor(text("ab\0", 3), 0, utf16("x"))})),
       kAsfMalformedAttributes},
      {"text mutagen cannot decode", wmaFile(shape({descriptor("a", 0, text("\x00\xdc\0\0", 4))})),
       kAsfMalformedAttributes},
      {"a DWORD of two bytes", wmaFile(shape({rating(3, le(50, 2))})), kAsfMalformedAttributes},
      {"not ASF", text("RIFF\x10\x00\x00\x00WAVE", 12), kAsfNotAsf},
      {"behind an ID3v2 tag", join({text("ID3\x03\0\0\0\0\0\x02", 10), zeros(2), good}), kAsfNotAsf},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(stars(c.file), 0);
    for (int starCount = 0; starCount <= 5; ++starCount) {
      WritePlan planned = plan(c.file, starCount);
      EXPECT_EQ(planned.kind, kPlanNothing);
      EXPECT_EQ(planned.reason, c.reason) << asfWriteReasonName(planned.reason);
      releaseWritePlan(&planned);
    }
    // The room's still, so that no MP3 route writes a tag the player does not read.
    EXPECT_EQ(isAsfFile(sourceOf({c.file.data(), c.file.size()})),
              c.reason != kAsfNotAsf || c.file[0] == 'I');
  }
}

// A file whose cover is zeros never held in memory, its reads counted.
struct SparseFile {
  Bytes head, tail;
  uint64_t hole, read;
};

size_t readSparse(void* file, uint64_t offset, unsigned char* buffer, size_t count) {
  SparseFile* sparse = static_cast<SparseFile*>(file);
  const uint64_t head = sparse->head.size(), tail = head + sparse->hole;
  for (size_t i = 0; i < count; ++i, ++offset) {
    if (offset >= tail + sparse->tail.size()) return i;
    buffer[i] = offset < head ? sparse->head[offset] : offset < tail ? 0 : sparse->tail[offset - tail];
    ++sparse->read;
  }
  return count;
}

TEST(AsfFile, AHeaderOfMegabytesIsNeverReadWhole) {
  for (const uint64_t cover : {uint64_t{64000000}, (uint64_t{64} << 20) + 1}) {
    WmaShape s = shape({kAlbum, rating(5, le(25, 2))});
    s.cover = Bytes(16, 0);
    // The cover grows to `cover` bytes, every size around it with it.
    Bytes file = wmaFile(s);
    const size_t library = offsetOf(file, kGuidLibrary), extension = offsetOf(file, kGuidExtension);
    const uint64_t grown = cover - 16;
    for (const size_t at : {size_t{16}, extension + 16, library + 16})
      file = with(file, at, le(testLe(file, at, 8) + grown, 8));
    file = with(file, offsetOf(file, kGuidFileProperties) + 40, le(file.size() + grown, 8));
    file = with(file, extension + 42, le(testLe(file, extension + 42, 4) + grown, 4));
    file = with(file, library + 34, le(cover, 4));
    const size_t value = library + 38 + utf16("WM/Picture").size();
    SparseFile sparse = {slice(file, 0, value), slice(file, value + 16, file.size()), cover, 0};
    const ByteSource source = {&sparse, file.size() + grown, readSparse};
    const bool tooLarge = cover > (uint64_t{64} << 20);
    EXPECT_EQ(readAsfStars(source), tooLarge ? 0 : 2);
    WritePlan planned;
    initWritePlan(&planned);
    planAsfWrite(source, 5, &planned);  // no room: the header anew, the cover a span of the old file
    EXPECT_EQ(planned.reason, tooLarge ? kAsfHeaderTooLarge : kAsfRewriteHeader)
        << asfWriteReasonName(planned.reason);
    EXPECT_LT(sparse.read, 256u * 1024);
    EXPECT_LT(planned.byteCount, 8192u);
    releaseWritePlan(&planned);
  }
}

}  // namespace
