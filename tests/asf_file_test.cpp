// SPDX-License-Identifier: LGPL-2.1-or-later
// Tests of the WMA (ASF) room on files built byte by byte: each route planned, carried out in
// memory and walked again by an object walk of the test's own; broken files read as no rating
// and plan nothing; a header of megabytes is never read whole.
#include "rating/asf/asf_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "rating/bytes/memory_source.h"
#include "support/asf_bytes.h"
#include "support/plan_bytes.h"

namespace {

int stars(const Bytes& file) {
  const MemoryBytes memory = {file.data(), file.size()};
  return readAsfStars(memorySource(&memory, file.size()));
}

WritePlan plan(const Bytes& file, int starCount) {
  const MemoryBytes memory = {file.data(), file.size()};
  WritePlan planned;
  initWritePlan(&planned);
  planAsfWrite(memorySource(&memory, file.size()), starCount, &planned);
  return planned;
}

Bytes dword(uint32_t value) { return littleEndian(value, 4); }
Bytes rating(uint16_t type, const Bytes& value) { return descriptor(kRatingName, type, value); }
const Bytes kAlbum = descriptor("WM/AlbumTitle", 0, utf16("An album"));

WmaShape shape(std::vector<Bytes> descriptors, size_t padding = 0) {
  WmaShape s;
  s.descriptors = descriptors;
  s.paddingInHeader = padding;
  return s;
}

// The planned file reads `starCount` back by the tests' own walk, every rating attribute the
// DWORD written, and keeps every other object and attribute, the data and the indexes.
void expectSound(const Bytes& before, const Bytes& after, int starCount) {
  const TestWma old = testWma(before);
  const TestWma now = testWma(after);
  EXPECT_TRUE(now.sound);
  EXPECT_EQ(stars(after), starCount);
  EXPECT_EQ(testWmaStars(now), starCount);
  for (const TestAttribute& a : now.ratings)
    EXPECT_TRUE(a.type == 3 && a.value == dword(kAsfRatingValues[starCount]));
  EXPECT_TRUE(now.kept == old.kept);
  EXPECT_TRUE(now.dataAndAfter == old.dataAndAfter);
  EXPECT_EQ(now.fileSizeField, after.size() != before.size() ? after.size() : old.fileSizeField);
}

struct RouteCase {
  const char* name;
  WmaShape shape;
  int stars;
  AsfWriteReason reason;
};

TEST(AsfFile, EachRoute) {
  WmaShape first = shape({kAlbum}, 120);
  first.paddingFirst = true;
  WmaShape inExtension = shape({kAlbum});
  inExtension.paddingInExtension = 80;
  WmaShape noContent = shape({}, 200);
  noContent.content = false;
  WmaShape noRoom = shape({kAlbum});
  noRoom.content = false;
  WmaShape metadata = shape({kAlbum}, 64);
  metadata.metadata = {record(kRatingName, 5, littleEndian(80, 2))};
  WmaShape library = shape({kAlbum});
  library.library = {record(kRatingName, 0, utf16("99")), record(kRatingName, 3, dword(1), 1)};
  library.paddingInExtension = 300;
  WmaShape everywhere = shape({rating(3, dword(50)), kAlbum});
  everywhere.metadata = {record(kRatingName, 4, littleEndian64(25))};
  everywhere.library = {record(kRatingName, 3, dword(99))};
  WmaShape stale = shape({kAlbum});
  stale.fileSizeSlip = 1191;  // mutagen's saves leave it as it was
  WmaShape coverBetween = shape({kAlbum}, 200);
  coverBetween.metadata = {record(kRatingName, 5, littleEndian(80, 2))};
  coverBetween.cover = Bytes(3u << 20, 0xC0);
  WmaShape cover = shape({kAlbum});
  cover.cover = coverBetween.cover;
  const std::vector<RouteCase> cases = {
      {"a DWORD's bytes", shape({kAlbum, rating(3, dword(75))}), 2, kAsfValueInPlace},
      {"a BOOL of the same size", shape({rating(2, dword(1))}), 5, kAsfValueInPlace},
      {"a new rating from the padding after it", shape({kAlbum}, 120), 3, kAsfFromPadding},
      {"a new rating from the padding before it", first, 3, kAsfFromPadding},
      {"a padding used up exactly", shape({kAlbum}, 50), 1, kAsfFromPadding},
      {"a padding in the header extension", inExtension, 4, kAsfFromPadding},
      {"a new Extended Content Description", noContent, 5, kAsfFromPadding},
      {"a WORD in the Metadata made a DWORD", metadata, 3, kAsfFromPadding},
      {"text in the Metadata Library made a DWORD, stream 1 left alone", library, 4, kAsfFromPadding},
      {"removed: the padding grows", shape({rating(3, dword(50)), kAlbum}, 30), 0, kAsfFromPadding},
      {"removed everywhere: a new padding", everywhere, 0, kAsfPaddingFromAttributes},
      {"no room: the header anew", shape({kAlbum}), 4, kAsfRewriteHeader},
      {"no room, no Extended Content Description", noRoom, 1, kAsfRewriteHeader},
      {"a QWORD made a DWORD without room", everywhere, 2, kAsfRewriteHeader},
      {"a stale file size set right", stale, 5, kAsfRewriteHeader},
      {"a cover stays where it is", cover, 5, kAsfRewriteHeader},
      {"a cover between the change and the padding: a new file", coverBetween, 5, kAsfRewriteWideChange},
  };
  for (const RouteCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes file = wmaFile(c.shape);
    WritePlan planned = plan(file, c.stars);
    EXPECT_EQ(planned.reason, c.reason) << asfWriteReasonName(planned.reason);
    const bool inPlace =
        c.reason == kAsfValueInPlace || c.reason == kAsfFromPadding || c.reason == kAsfPaddingFromAttributes;
    EXPECT_EQ(planned.kind, inPlace ? kPlanInPlace : kPlanNewFile);
    EXPECT_LT(planned.byteCount, 8192u);  // a cover is never new bytes
    EXPECT_EQ(planned.oldSize, file.size());
    const Bytes after = bytesAfterPlan(file, planned);
    expectSound(file, after, c.stars);
    size_t patched = 0;
    for (size_t i = 0; i < planned.patchCount; ++i) patched += planned.patches[i].length;
    if (inPlace) {
      EXPECT_LT(patched, 512u);
    }
    if (c.reason == kAsfRewriteHeader) {
      // Fresh padding, so that the next rating is written in place.
      EXPECT_GE(after.size(), file.size() + kAsfFreshPadding - 64);
      WritePlan next = plan(after, c.stars == 5 ? 1 : 5);
      EXPECT_EQ(next.kind, kPlanInPlace) << asfWriteReasonName(next.reason);
      releaseWritePlan(&next);
    }
    releaseWritePlan(&planned);
  }
}

TEST(AsfFile, ReadsAsThePlayerDoes) {
  const uint32_t numbers[] = {0, 1, 12, 13, 37, 38, 62, 63, 86, 87, 99, 255};
  const int expected[] = {0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 5};
  for (size_t i = 0; i < sizeof numbers / sizeof numbers[0]; ++i)
    EXPECT_EQ(stars(wmaFile(shape({rating(3, dword(numbers[i]))}))), expected[i]) << numbers[i];
  EXPECT_EQ(stars(wmaFile(shape({rating(5, littleEndian(40, 2))}))), 3);
  EXPECT_EQ(stars(wmaFile(shape({rating(4, littleEndian64(70))}))), 4);
  EXPECT_EQ(stars(wmaFile(shape({rating(0, utf16("87"))}))), 5);
  EXPECT_EQ(stars(wmaFile(shape({rating(0, utf16("4 stars"))}))), 0);
  EXPECT_EQ(stars(wmaFile(shape({rating(1, dword(50))}))), 0);
  // The Extended Content Description first, then the Metadata, then the Library, stream 0 only.
  WmaShape s = shape({kAlbum});
  s.library = {record(kRatingName, 3, dword(99), 2), record(kRatingName, 3, dword(1))};
  EXPECT_EQ(stars(wmaFile(s)), 1);
  s.metadata = {record(kRatingName, 3, dword(25))};
  EXPECT_EQ(stars(wmaFile(s)), 2);
  s.descriptors.push_back(rating(3, dword(50)));
  EXPECT_EQ(stars(wmaFile(s)), 3);
}

TEST(AsfFile, AlreadyStoredPlansNothing) {
  WmaShape inLibrary = shape({});
  inLibrary.library = {record(kRatingName, 3, dword(75))};
  for (const Bytes& file :
       {wmaFile(shape({rating(3, dword(99))})), wmaFile(inLibrary), wmaFile(shape({kAlbum}))}) {
    WritePlan planned = plan(file, stars(file));
    EXPECT_EQ(planned.reason, kAsfAlreadyStored);
    EXPECT_TRUE(planned.alreadyStored);
    releaseWritePlan(&planned);
  }
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
  WmaShape s = shape({kAlbum, rating(3, dword(50))}, 100);
  s.objects = {asfObject(guid, zeros(16))};
  return s;
}

TEST(AsfFile, BrokenFilesReadAsNothingAndPlanNothing) {
  const Bytes good = wmaFile(shape({kAlbum, rating(3, dword(50))}, 100));
  const size_t data = offsetOf(good, kGuidData);
  const size_t content = offsetOf(good, kGuidContent);
  const struct {
    const char* name;
    Bytes file;
    AsfWriteReason reason;
  } cases[] = {
      {"a header count off", with(good, 24, littleEndian(9, 4)), kAsfMalformedObjects},
      {"a header past the file", with(good, 16, littleEndian64(good.size() + 1)), kAsfMalformedObjects},
      {"a Data object cut short", Bytes(good.begin(), good.end() - 7), kAsfMalformedObjects},
      {"bytes after the last object", join({good, zeros(3)}), kAsfMalformedObjects},
      {"an object of size 0", with(good, content + 16, zeros(8)), kAsfMalformedObjects},
      {"an object past 4 GiB", with(good, data + 16, littleEndian64(uint64_t{1} << 32)),
       kAsfMalformedObjects},
      {"two Header objects", join({good, Bytes(good.begin(), good.begin() + static_cast<long>(data))}),
       kAsfUnproven},
      {"no Data object", with(good, data, asfGuid(kGuidPadding)), kAsfUnproven},
      {"content encryption", wmaFile(drm(kGuidEncryption)), kAsfProtected},
      {"extended content encryption", wmaFile(drm(kGuidExtendedEncryption)), kAsfProtected},
      {"a descriptor count larger than its object", with(good, content + 24, littleEndian(3, 2)),
       kAsfMalformedAttributes},
      {"a name without a terminator", wmaFile(shape({descriptor(text("a\0b\0", 4), 0, utf16("x"))})),
       kAsfMalformedAttributes},
      {"a name of odd length", wmaFile(shape({descriptor(text("ab\0", 3), 0, utf16("x"))})),
       kAsfMalformedAttributes},
      {"text mutagen cannot decode", wmaFile(shape({descriptor("a", 0, text("\x00\xdc\0\0", 4))})),
       kAsfMalformedAttributes},
      {"a DWORD of two bytes", wmaFile(shape({rating(3, littleEndian(50, 2))})), kAsfMalformedAttributes},
      {"not ASF", text("RIFF\x10\x00\x00\x00WAVE", 12), kAsfNotAsf},
      {"empty", {}, kAsfNotAsf},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(stars(c.file), 0);
    for (int starCount = 0; starCount <= 5; ++starCount) {
      WritePlan planned = plan(c.file, starCount);
      EXPECT_EQ(planned.kind, kPlanNothing);
      EXPECT_FALSE(planned.alreadyStored);
      EXPECT_EQ(planned.reason, c.reason) << asfWriteReasonName(planned.reason);
      releaseWritePlan(&planned);
    }
  }
}

// A file whose cover, zeros but for the bytes around it, is not held in memory: reads are counted.
struct SparseFile {
  Bytes head, tail;
  uint64_t hole;
  uint64_t read;
};

size_t readSparse(void* file, uint64_t offset, unsigned char* buffer, size_t count) {
  SparseFile* sparse = static_cast<SparseFile*>(file);
  const uint64_t size = sparse->head.size() + sparse->hole + sparse->tail.size();
  if (offset >= size) return 0;
  count = static_cast<size_t>(std::min<uint64_t>(count, size - offset));
  for (size_t i = 0; i < count; ++i) {
    const uint64_t at = offset + i;
    const uint64_t tailAt = at - sparse->head.size() - sparse->hole;
    buffer[i] = at < sparse->head.size()                  ? sparse->head[at]
                : at < sparse->head.size() + sparse->hole ? 0
                                                          : sparse->tail[tailAt];
  }
  sparse->read += count;
  return count;
}

TEST(AsfFile, AHeaderOfMegabytesIsNeverReadWhole) {
  for (const uint64_t cover : {uint64_t{8} << 20, uint64_t{64000000}, (uint64_t{64} << 20) + 1}) {
    SCOPED_TRACE(cover);
    WmaShape s = shape({kAlbum, rating(5, littleEndian(25, 2))});
    s.cover = Bytes(16, 0);
    // The cover record's value grows to `cover` bytes: every size around it follows.
    Bytes file = wmaFile(s);
    const size_t library = offsetOf(file, kGuidLibrary);
    const size_t extension = offsetOf(file, kGuidExtension);
    const uint64_t grown = cover - 16;
    file = with(file, 16, littleEndian64(testLittleEndian(file, 16, 8) + grown));
    file = with(file, offsetOf(file, kGuidFileProperties) + 40, littleEndian64(file.size() + grown));
    file = with(file, extension + 16, littleEndian64(testLittleEndian(file, extension + 16, 8) + grown));
    file = with(file, extension + 42,
                littleEndian(static_cast<uint32_t>(testLittleEndian(file, extension + 42, 4) + grown), 4));
    file = with(file, library + 16, littleEndian64(testLittleEndian(file, library + 16, 8) + grown));
    const size_t value = library + 26 + 12 + utf16("WM/Picture").size();
    file = with(file, library + 26 + 8, littleEndian(static_cast<uint32_t>(cover), 4));
    SparseFile sparse = {Bytes(file.begin(), file.begin() + static_cast<long>(value)),
                         Bytes(file.begin() + static_cast<long>(value) + 16, file.end()), cover, 0};
    const ByteSource source = {&sparse, sparse.head.size() + cover + sparse.tail.size(), readSparse};
    const bool tooLarge = cover > (uint64_t{64} << 20);
    EXPECT_EQ(readAsfStars(source), tooLarge ? 0 : 2);
    EXPECT_LT(sparse.read, 64u * 1024);
    sparse.read = 0;
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
