// SPDX-License-Identifier: LGPL-2.1-or-later
// Our changes to id3lib's parsing (cmake/id3lib-patches/), checked under Wine on files id3lib
// opens itself: ID3Tag_New, ID3Tag_Link, the first POPM frame's rating read, or set (or a POPM
// frame of our own added) and the update. The plugin has id3lib parse and render tags in memory
// (rating/mp3/id3lib_tag.h), through the same parsing code; a linked file also has its first
// MPEG frame read, which patch 27 mends.
#include <windows.h>

#include <gtest/gtest.h>

#include <id3.h>
#include <id3/tag.h>
#include <zlib.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/scratch.h"
#include "support/tag_files.h"

// The largest block asked of new[] (id3lib's buffers) since the last reset.
static std::atomic<size_t> largestArrayRequest{0};

void* operator new[](size_t size) {
  size_t seen = largestArrayRequest.load();
  while (size > seen && !largestArrayRequest.compare_exchange_weak(seen, size)) {
  }
  return ::operator new(size);
}

namespace {

using Bytes = std::string;

const char kOwner[] = "ID3Vimbrel";

// MPEG-1 Layer III fr
Bytes popmBody(const Bytes& owner, int rating) {
  return owner + Bytes(1, '\0') + static_cast<char>(rating) + bigEndian(7, 4);
}

Bytes titleBody(const Bytes& title) { return Bytes(1, '\0') + title; }

// An ID3v2 header of that version, flags and revision declaring `declared` bytes after it.
Bytes header(int version, int flags, uint32_t declared, int revision = 0) {
  return Bytes("ID3") + static_cast<char>(version) + static_cast<char>(revision) + static_cast<char>(flags) +
         syncsafe(declared);
}

Bytes tag23(const Bytes& frames) { return header(3, 0, static_cast<uint32_t>(frames.size())) + frames; }

// A song whose tag holds only a title and no padding: a rating needs a new POPM frame, which does
// not fit, so id3lib rewrites the whole file through "<file>.XXXXXX".
Bytes songNeedingRewrite(int audioFrames = 10) {
  return tag23(frame23("TIT2", titleBody("A song"))) + mpegAudio(audioFrames);
}

// ---- Driving id3lib on a file --------------------------------------------------------------------

// Links the file, sets the rating byte of the first POPM frame or adds a POPM frame of ours, and
// updates the file. Returns the tag types Update() reports written (ID3Tag_Update and
// ID3Tag_UpdateByTagType run the same Update() and drop that answer). The default tag types take
// in the ID3v1 tag too, so a failed update also shows whether one was added all the same.
flags_t writeRating(const std::string& path, int ratingByte) {
  flags_t written = ID3TT_NONE;
  ID3Tag* tag = ID3Tag_New();
  if (tag == nullptr) return written;
  ID3Frame* added = nullptr;
  try {
    ID3Tag_Link(tag, path.c_str());
    ID3Frame* frame = ID3Tag_FindFrameWithID(tag, ID3FID_POPULARIMETER);
    if (frame == nullptr) {
      added = ID3Frame_NewID(ID3FID_POPULARIMETER);
      ID3Field_SetASCII(ID3Frame_GetField(added, ID3FN_EMAIL), kOwner);
      ID3Field_SetINT(ID3Frame_GetField(added, ID3FN_RATING), static_cast<uint32>(ratingByte));
      ID3Tag_AddFrame(tag, added);
    } else {
      ID3Field_SetINT(ID3Frame_GetField(frame, ID3FN_RATING), static_cast<uint32>(ratingByte));
    }
    written = reinterpret_cast<ID3_Tag*>(tag)->Update();
  } catch (...) {
    ADD_FAILURE() << "id3lib threw";
  }
  ID3Frame_Delete(added);
  ID3Tag_Delete(tag);
  return written;
}

// The rating byte of the first POPM frame as id3lib reads it, -1 without one.
int readRating(const std::string& path) {
  int rating = -1;
  ID3Tag* tag = ID3Tag_New();
  ID3Tag_Link(tag, path.c_str());
  const ID3Frame* frame = ID3Tag_FindFrameWithID(tag, ID3FID_POPULARIMETER);
  if (frame != nullptr) rating = static_cast<int>(ID3Field_GetINT(ID3Frame_GetField(frame, ID3FN_RATING)));
  ID3Tag_Delete(tag);
  return rating;
}

// The size of the ID3v2 tag at the start of the bytes, 0 without one.
size_t tagSizeOf(const Bytes& file) {
  if (file.size() < 10 || file.compare(0, 3, "ID3") != 0) return 0;
  size_t size = 0;
  for (int i = 6; i < 10; ++i) size = (size << 7) | (static_cast<unsigned char>(file[i]) & 0x7F);
  return 10 + size;
}

// The file after a rewrite: a new tag, then every byte that followed the old tag (`kept`), with at
// most an ID3v1 tag added at the end.
void expectRewrittenKeeping(const Bytes& after, const Bytes& kept) {
  const size_t newTag = tagSizeOf(after);
  ASSERT_GT(newTag, 10u);
  ASSERT_GE(after.size(), newTag + kept.size());
  EXPECT_TRUE(after.compare(newTag, kept.size(), kept) == 0) << "bytes after the tag changed";
  const size_t extra = after.size() - newTag - kept.size();
  EXPECT_TRUE(extra == 0 || (extra == 128 && after.compare(after.size() - 128, 3, "TAG") == 0))
      << extra << " unexpected bytes at the end";
}

// ---- A read that may hang ---------------------------------------------------------------------

struct Job {
  std::string path;
  int ratingByte;  // -1: read the rating into it instead of writing
  flags_t written;
};

DWORD WINAPI runJob(void* argument) {
  auto* job = static_cast<Job*>(argument);
  if (job->ratingByte < 0) {
    job->ratingByte = readRating(job->path);
  } else {
    job->written = writeRating(job->path, job->ratingByte);
  }
  return 0;
}

// Runs the job on a thread of its own; one that has not returned after `seconds` fails the test and
// ends the program (its thread cannot be stopped safely).
void runWithin(Job* job, DWORD seconds) {
  HANDLE thread = CreateThread(nullptr, 0, &runJob, job, 0, nullptr);
  if (thread == nullptr) {
    ADD_FAILURE() << "CreateThread failed";
    return;
  }
  if (WaitForSingleObject(thread, seconds * 1000) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "id3lib still runs after %lu s: it hangs\n", seconds);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  CloseHandle(thread);
}

int readRatingWithin(const std::string& path, DWORD seconds) {
  Job job{path, -1, ID3TT_NONE};
  runWithin(&job, seconds);
  return job.ratingByte;
}

// ---- Parsing -------------------------------------------------------------------------------------

TEST(Id3libParse, CompressedMetaFrameHasOnlyItsOwnField) {
  ID3_Frame frame(ID3FID_METACOMPRESSION);
  EXPECT_EQ(frame.NumFields(), 1u);
  EXPECT_NE(frame.GetField(ID3FN_DATA), nullptr);
  EXPECT_EQ(frame.GetField(ID3FN_TEXTENC), nullptr);
}

// An ID3v2.2.1 tag: a "CDM" frame holding `inner` frames compressed (declaring `declared` bytes
// once inflated), then a POP frame of rating 128.
Bytes songWithCompressedMetaFrame(const Bytes& inner, uint32_t declared) {
  std::vector<unsigned char> packed(compressBound(static_cast<uLong>(inner.size())));
  uLongf packedSize = static_cast<uLongf>(packed.size());
  compress(packed.data(), &packedSize, reinterpret_cast<const Bytef*>(inner.data()),
           static_cast<uLong>(inner.size()));
  const Bytes cdm = "z" + bigEndian(declared, 4) + Bytes(reinterpret_cast<char*>(packed.data()), packedSize);
  const Bytes frames = frame22("CDM", cdm) + frame22("POP", popmBody("someone@example.com", 128));
  return header(2, 0, static_cast<uint32_t>(frames.size()), 1) + frames + mpegAudio(2);
}

TEST(Id3libParse, ReadsTheFramesInsideACompressedMetaFrame) {
  const std::string path = scratchFolder() + "song.mp3";
  const Bytes inner = frame22("TT2", titleBody("Inside"));
  writeFileBytes(path, songWithCompressedMetaFrame(inner, static_cast<uint32_t>(inner.size())));

  ID3_Tag tag(path.c_str());
  const ID3_Frame* title = tag.Find(ID3FID_TITLE);
  ASSERT_NE(title, nullptr);
  char text[32] = "";
  title->GetField(ID3FN_TEXT)->Get(text, sizeof text);
  EXPECT_STREQ(text, "Inside");
  EXPECT_EQ(readRating(path), 128);
}

TEST(Id3libParse, SkipsACompressedMetaFrameDeclaringFourGigabytes) {
  const std::string path = scratchFolder() + "song.mp3";
  writeFileBytes(path, songWithCompressedMetaFrame(frame22("TT2", titleBody("Inside")), 0xFFFFFFF0u));

  EXPECT_EQ(readRating(path), 128);
}

// A compressed TIT2 frame declaring `declared` bytes once inflated from ten bytes, then a POPM.
Bytes songWithCompressedFrameDeclaring(uint32_t declared) {
  const Bytes compressed = bigEndian(declared, 4) + Bytes("\x78\x9c", 2) + Bytes(8, '\0');
  return tag23(frame23("TIT2", compressed, 0x0080) + frame23("POPM", popmBody("someone@example.com", 200))) +
         mpegAudio(2);
}

TEST(Id3libParse, SkipsACompressedFrameDeclaringFourGigabytes) {
  const std::string path = scratchFolder() + "song.mp3";
  writeFileBytes(path, songWithCompressedFrameDeclaring(0xFFFFFFF0u));

  EXPECT_EQ(readRating(path), 200);
}

TEST(Id3libParse, DoesNotAllocateWhatACompressedFrameDeclares) {
  const std::string path = scratchFolder() + "song.mp3";
  writeFileBytes(path, songWithCompressedFrameDeclaring(256u << 20));
  largestArrayRequest = 0;

  EXPECT_EQ(readRating(path), 200);

  EXPECT_LT(largestArrayRequest.load(), size_t{1} << 20);
}

TEST(Id3libParse, ReadsAHighlyCompressedFrameBackInFull) {
  const std::string path = scratchFolder() + "song.mp3";
  const Bytes song = songNeedingRewrite(2);
  writeFileBytes(path, song);
  // 200,000 equal characters deflate nearly 1000 to 1, close to what deflate can reach.
  const std::string title(200000, 'a');
  {
    ID3_Tag tag(path.c_str());
    ID3_Frame* frame = tag.Find(ID3FID_TITLE);
    ASSERT_NE(frame, nullptr);
    frame->GetField(ID3FN_TEXT)->Set(title.c_str());
    frame->SetCompression(true);
    ASSERT_TRUE(tag.Update() & ID3TT_ID3V2);
  }
  ASSERT_LT(tagSizeOf(readFileBytes(path)), 2000u) << "the title was not stored compressed";

  ID3_Tag tag(path.c_str());
  const ID3_Frame* frame = tag.Find(ID3FID_TITLE);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->GetField(ID3FN_TEXT)->Size(), title.size());
}

// A play counter may be longer than four bytes; id3lib's field takes four of them.
TEST(Id3libParse, ReadsThePopmAfterAnEightBytePlayCounter) {
  const std::string path = scratchFolder() + "song.mp3";
  const Bytes frames = frame23("PCNT", bigEndian(0, 4) + bigEndian(1234, 4)) +
                       frame23("POPM", popmBody("someone@example.com", 160)) +
                       frame23("TIT2", titleBody("x"));
  writeFileBytes(path, tag23(frames) + mpegAudio(2));

  EXPECT_EQ(readRating(path), 160);
  ID3_Tag tag(path.c_str());
  EXPECT_EQ(tag.NumFrames(), 3u);
}

// An involved people list in UTF-16 whose last string ends in a lone byte.
TEST(Id3libParse, ReadsPastAUtf16PeopleListWithAnOddByte) {
  const std::string path = scratchFolder() + "song.mp3";
  const Bytes people = Bytes(
      "\x01\xFF\xFE"
      "a\0"
      "\0\0"
      "b",
      8);
  const Bytes frames = frame23("IPLS", people) + frame23("POPM", popmBody("someone@example.com", 64));
  writeFileBytes(path, tag23(frames) + mpegAudio(2));

  EXPECT_EQ(readRatingWithin(path, 20), 64);
}

// Revisions are backward compatible: a v2.3 tag of revision 1 reads as one of revision 0.
TEST(Id3libParse, ReadsAVersion23TagOfALaterRevision) {
  const std::string path = scratchFolder() + "song.mp3";
  const Bytes frames =
      frame23("TIT2", titleBody("x")) + frame23("POPM", popmBody("someone@example.com", 128));
  writeFileBytes(path, header(3, 0, static_cast<uint32_t>(frames.size()), 1) + frames + mpegAudio(2));

  EXPECT_EQ(readRating(path), 128);
}

TEST(Id3libParse, ComputesTheFrameSizeOfA128kbitMp3) {
  const std::string path = scratchFolder() + "song.mp3";
  writeFileBytes(path, tag23(frame23("TIT2", titleBody("x"))) + mpegAudio(10));

  ID3_Tag tag(path.c_str());
  const Mp3_Headerinfo* info = tag.GetMp3HeaderInfo();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->bitrate, MP3BITRATE_128K);
  EXPECT_EQ(info->frequency, 44100u);
  EXPECT_EQ(info->framesize, 417u);  // 144 * 128000 / 44100
  EXPECT_EQ(info->frames, 10u);
}

TEST(Id3libParse, KeepsTheAudioOfATagSmallerThanItsExtendedHeader) {
  const std::string path = scratchFolder() + "song.mp3";
  // An ID3v2.3 tag declaring 6 bytes, flagged with a 10-byte extended header.
  const Bytes song = header(3, 0x40, 6) + bigEndian(6, 4) + Bytes(2, '\0') + mpegAudio(20);
  writeFileBytes(path, song);

  writeRating(path, 196);

  expectRewrittenKeeping(readFileBytes(path), song);
  EXPECT_EQ(readRating(path), 196);
}

TEST(Id3libParse, KeepsTheAudioOfATagClaimingMoreThanTheFile) {
  const std::string path = scratchFolder() + "song.mp3";
  const Bytes frames = frame23("POPM", popmBody("someone@example.com", 1));
  const Bytes song = header(3, 0, 20000) + frames + mpegAudio(20);  // 8,378 bytes in all
  writeFileBytes(path, song);

  writeRating(path, 196);

  expectRewrittenKeeping(readFileBytes(path), song);
  EXPECT_EQ(readRating(path), 196);
}

}  // namespace
