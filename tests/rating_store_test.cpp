// SPDX-License-Identifier: LGPL-2.1-or-later
// The rating store under Wine: the star scale, reading and writing an MP3's POPM
// rating byte (id3lib's tag made in memory among the ways), recovery of an interrupted
// rewrite, and the player holding the file open while a rating is written.
#include "rating/rating.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cstdint>
#include <string>
#include <vector>

#include "rating/file/track_file.h"
#include "rating/store/patch_route.h"
#include "rating/store/rewrite_journal.h"
#include "support/scratch.h"
#include "support/tag_files.h"

namespace {

using Bytes = std::string;

// The tests name their files in UTF-8; the store takes UTF-16.
std::wstring storePath(const char* path) { return widen(path); }
int readRating(const char* path) { return path ? ::readRating(storePath(path).c_str()) : ::readRating(nullptr); }
RatingSaveResult writeRating(const char* path, int stars) {
  return path ? ::writeRating(storePath(path).c_str(), stars) : ::writeRating(nullptr, stars);
}
void recoverRewrite(const char* path) {
  path ? ::recoverRewrite(storePath(path).c_str()) : ::recoverRewrite(nullptr);
}

// A POPM body; counterBytes is appended as it is (empty: no counter).
Bytes popm(const Bytes& owner, int rating, const Bytes& counterBytes = bigEndian(7, 4)) {
  return owner + Bytes(1, '\0') + static_cast<char>(rating) + counterBytes;
}

Bytes text(const Bytes& value) { return Bytes(1, '\0') + value; }

Bytes tag(const std::vector<Bytes>& frames, int version = 3, size_t padding = 0) {
  Bytes content;
  for (const Bytes& frame : frames) content += frame;
  content += Bytes(padding, '\0');
  return Bytes("ID3") + static_cast<char>(version) + Bytes(2, '\0') +
         syncsafe(static_cast<uint32_t>(content.size())) + content;
}

Bytes id3v1(const Bytes& title) {
  Bytes out = "TAG" + title;
  out.resize(127, '\0');
  return out + '\x0C';
}

std::vector<Bytes> otherFrames() {
  return {frame23("TIT2", text("A title")), frame23("TPE1", text("An artist")),
          frame23("COMM", Bytes("\0eng\0A comment", 14)), frame23("TXXX", Bytes("\0KEY\0value", 10)),
          frame23("PRIV", Bytes("owner\0\x01\x02\xFF\x00\x7F", 11))};
}

// ---- Looking into written files ------------------------------------------

struct Frame {
  Bytes id;
  Bytes body;
};

struct ParsedFile {
  int version = 0;
  size_t tagEnd = 0;  // 0: no ID3v2 tag
  std::vector<Frame> frames;
  Bytes afterTag;
};

// Parses a v2.3 tag without unsynchronisation or extended header, as id3lib
// writes it.
ParsedFile parse(const Bytes& file) {
  ParsedFile out;
  out.afterTag = file;
  if (file.size() < 10 || file.compare(0, 3, "ID3") != 0) return out;
  out.version = file[3];
  size_t size = 0;
  for (int i = 6; i < 10; ++i) size = (size << 7) | (static_cast<unsigned char>(file[i]) & 0x7F);
  out.tagEnd = 10 + size;
  out.afterTag = file.substr(std::min(out.tagEnd, file.size()));
  size_t at = 10;
  while (out.version == 3 && at + 10 <= std::min(out.tagEnd, file.size()) && file[at] != '\0') {
    size_t length = 0;
    for (size_t i = at + 4; i < at + 8; ++i) length = (length << 8) | static_cast<unsigned char>(file[i]);
    out.frames.push_back({file.substr(at, 4), file.substr(at + 10, length)});
    at += 10 + length;
  }
  return out;
}

std::vector<Frame> framesWithId(const ParsedFile& file, const Bytes& id) {
  std::vector<Frame> found;
  for (const Frame& frame : file.frames)
    if (frame.id == id) found.push_back(frame);
  return found;
}

// What follows the tag must be exactly what followed it before: the store
// updates the ID3v2 tag only and adds no ID3v1 tag.
void expectAudioKept(const ParsedFile& file, const Bytes& audio) {
  EXPECT_TRUE(file.afterTag == audio)
      << "the " << audio.size() << " bytes after the tag became " << file.afterTag.size() << " bytes";
}

std::string leftoverOf(const std::string& path) { return path + ".XXXXXX"; }

// The tag with its unsynchronisation flag set (frames without 0xFF need no change).
Bytes unsynchronisedFlag(Bytes tagBytes) {
  tagBytes[5] = static_cast<char>(tagBytes[5] | 0x80);
  return tagBytes;
}

// A handle as a player holds the playing file: reading, sharing read and write.
HANDLE openLikePlayer(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// ---- The scale -------------------------------------------------------------

TEST(RatingScale, BytesWrittenForEachStarCount) {
  const int expected[6] = {0, 1, 64, 128, 160, 255};
  for (int stars = 0; stars < 6; ++stars) EXPECT_EQ(RatingScale[stars], expected[stars]) << stars << " stars";
}

TEST(RatingScale, StarsFromRatingByte) {
  const struct {
    unsigned value;
    int stars;
  } cases[] = {{0, 0},
               {1, 1},
               {31, 1},
               {32, 2},
               {64, 2},
               {95, 2},
               {96, 3},
               {128, 3},
               {159, 3},
               {160, 4},
               {196, 4},  // 4 stars as the player, Explorer and most taggers write it
               {223, 4},
               {224, 5},
               {255, 5},
               {256, 5},
               {0x7FFFFFFFu, 5},
               // Compared as signed: these are negative.
               {0x80000000u, 0},
               {0xFFFFFF00u, 0},
               {0xFFFFFFFFu, 0}};
  for (const auto& c : cases) EXPECT_EQ(starsFromRatingByte(c.value), c.stars) << "value " << c.value;
}

// ---- Reading ---------------------------------------------------------------

TEST(ReadRating, ThresholdsInEveryTagLayout) {
  const struct {
    int byte;
    int stars;
  } thresholds[] = {{0, 0},  {1, 1},   {31, 1},  {32, 2},  {64, 2},  {96, 3},
                    {128, 3}, {159, 3}, {160, 4}, {196, 4}, {223, 4}, {224, 5}, {255, 5}};
  const std::string folder = scratchFolder();
  for (const auto& t : thresholds) {
    const struct {
      const char* layout;
      Bytes file;
    } layouts[] = {
        {"v2.3 other owner, counter, padding",
         tag({frame23("TIT2", text("t")), frame23("POPM", popm("x@y.z", t.byte))}, 3, 100)},
        {"v2.3 no counter, no padding", tag({frame23("POPM", popm("a", t.byte, ""))})},
        {"v2.3 empty owner, 8-byte counter",
         tag({frame23("POPM", popm("", t.byte, Bytes(8, '\x01')))}, 3, 10)},
        {"v2.3 own owner", tag({frame23("POPM", popm("ID3Vimbrel", t.byte))}, 3, 10)},
        {"v2.2 POP", tag({frame22("TT2", text("t")), frame22("POP", popm("b", t.byte))}, 2, 10)},
        // Frames this small have the same size bytes in ID3v2.4.
        {"v2.4 other owner, counter, padding",
         tag({frame23("TIT2", text("t")), frame23("POPM", popm("x@y.z", t.byte))}, 4, 100)},
        {"v2.4 no counter, no padding", tag({frame23("POPM", popm("a", t.byte, ""))}, 4)},
    };
    for (const auto& layout : layouts) {
      const std::string path = folder + "rated.mp3";
      writeFileBytes(path, layout.file + mpegAudio(4) + id3v1("v1"));
      EXPECT_EQ(readRating(path.c_str()), t.stars) << layout.layout << ", byte " << t.byte;
    }
  }
}

TEST(ReadRating, OnlyTheFirstPopmCounts) {
  const std::string path = scratchFolder() + "two.mp3";
  writeFileBytes(path, tag({frame23("POPM", popm("first", 1)), frame23("POPM", popm("ID3Vimbrel", 255))}) +
                           mpegAudio(4));
  EXPECT_EQ(readRating(path.c_str()), 1);
  writeFileBytes(path, tag({frame23("POPM", popm("first", 255)), frame23("POPM", popm("ID3Vimbrel", 1))}) +
                           mpegAudio(4));
  EXPECT_EQ(readRating(path.c_str()), 5);
}

TEST(ReadRating, FilesWithoutARatingReadZero) {
  const std::string folder = scratchFolder();
  const struct {
    const char* what;
    Bytes file;
  } cases[] = {
      {"no tag", mpegAudio(4)},
      {"only ID3v1", mpegAudio(4) + id3v1("title")},
      {"tag without POPM", tag(otherFrames(), 3, 20) + mpegAudio(4)},
      {"POPM holding only an owner", tag({frame23("POPM", Bytes("owner\0", 6))}) + mpegAudio(4)},
      {"empty file", ""},
      {"ID3 header only", Bytes("ID3\x03\0\0\0\0\0\0", 10)},
      {"tag size beyond the file", Bytes("ID3\x03\0\0\x7F\x7F\x7F\x7F", 10) + mpegAudio(1)},
  };
  for (const auto& c : cases) {
    const std::string path = folder + "unrated.mp3";
    writeFileBytes(path, c.file);
    EXPECT_EQ(readRating(path.c_str()), 0) << c.what;
  }
  EXPECT_EQ(readRating((folder + "missing.mp3").c_str()), 0);
  EXPECT_EQ(readRating((folder + "no folder\\missing.mp3").c_str()), 0);
  EXPECT_EQ(readRating(folder.c_str()), 0) << "a folder";
  EXPECT_EQ(readRating(static_cast<const char*>(nullptr)), 0);
  EXPECT_EQ(readRating(""), 0);
}

TEST(ReadRating, UnreadableFileReadsZero) {
  const std::string path = scratchFolder() + "locked.mp3";
  writeFileBytes(path, tag({frame23("POPM", popm("a", 255))}) + mpegAudio(4));
  ASSERT_EQ(readRating(path.c_str()), 5);
  HANDLE exclusive = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(readRating(path.c_str()), 0);
  CloseHandle(exclusive);
}

// A compressed frame announcing a decompressed size of almost 4 GiB: id3lib's
// allocation for it throws, which ends the parse before the POPM after it.
Bytes compressedBomb() {
  const Bytes deflated("\x78\x9C\x63\x48\x4C\x4A\x06\x00\x02\x4E\x01\x27", 12);  // "\0abc"
  return frame23("TIT2", bigEndian(0xFFFFFFF0u, 4) + deflated, 0x0080);
}

TEST(ReadRating, FrameThatMakesId3libThrow) {
  const std::string path = scratchFolder() + "bomb.mp3";
  writeFileBytes(path, tag({compressedBomb(), frame23("POPM", popm("a", 255))}, 3, 16) + mpegAudio(4));
  EXPECT_EQ(readRating(path.c_str()), 0);
}

// ---- Writing ---------------------------------------------------------------

TEST(WriteRating, TaglessFileGetsOurPopm) {
  const std::string path = scratchFolder() + "tagless.mp3";
  const Bytes audio = mpegAudio(4);
  writeFileBytes(path, audio);
  ASSERT_EQ(readRating(path.c_str()), 0);
  writeRating(path.c_str(), 3);

  const ParsedFile written = parse(readFileBytes(path));
  EXPECT_EQ(written.version, 3);
  const std::vector<Frame> popms = framesWithId(written, "POPM");
  ASSERT_EQ(popms.size(), 1u);
  EXPECT_EQ(popms[0].body.substr(0, 12), Bytes("ID3Vimbrel\0\x80", 12));
  expectAudioKept(written, audio);
  EXPECT_EQ(readFileBytes(path).size() % 2048, 0u) << "id3lib pads the whole file to a multiple of 2 KB";
  EXPECT_FALSE(fileExists(leftoverOf(path)));
  EXPECT_EQ(readRating(path.c_str()), 3);
}

TEST(WriteRating, EachStarCountWritesItsByte) {
  const std::string folder = scratchFolder();
  const Bytes audio = mpegAudio(4);
  const struct {
    const char* what;
    Bytes file;
  } starts[] = {{"no tag", audio},
                {"own POPM", tag({frame23("POPM", popm("ID3Vimbrel", 200))}, 3, 64) + audio}};
  const unsigned char bytes[6] = {0, 1, 64, 128, 160, 255};
  for (const auto& start : starts) {
    const std::string path = folder + "each.mp3";
    writeFileBytes(path, start.file);
    // Down from 5 to 0, so that 0 shows it keeps the frame.
    for (int stars = 5; stars >= 0; --stars) {
      writeRating(path.c_str(), stars);
      const ParsedFile written = parse(readFileBytes(path));
      const std::vector<Frame> popms = framesWithId(written, "POPM");
      ASSERT_EQ(popms.size(), 1u) << start.what << ", " << stars << " stars";
      EXPECT_EQ(popms[0].body.substr(0, 11), Bytes("ID3Vimbrel\0", 11));
      EXPECT_EQ(static_cast<unsigned char>(popms[0].body[11]), bytes[stars])
          << start.what << ", " << stars << " stars";
      EXPECT_EQ(readRating(path.c_str()), stars);
      expectAudioKept(written, audio);
    }
  }
}

TEST(WriteRating, OnlyTheFirstPopmChanges) {
  const std::string path = scratchFolder() + "two.mp3";
  writeFileBytes(path, tag({frame23("POPM", popm("first", 10)), frame23("POPM", popm("second", 20))}, 3, 50) +
                           mpegAudio(4));
  writeRating(path.c_str(), 5);
  const std::vector<Frame> popms = framesWithId(parse(readFileBytes(path)), "POPM");
  ASSERT_EQ(popms.size(), 2u);
  EXPECT_EQ(popms[0].body, popm("first", 255));
  EXPECT_EQ(popms[1].body, popm("second", 20));
}

TEST(WriteRating, NothingWrittenForStarsOutOfRange) {
  const std::string path = scratchFolder() + "range.mp3";
  const Bytes original = tag({frame23("POPM", popm("a", 64))}, 3, 30) + mpegAudio(4);
  writeFileBytes(path, original);
  for (int stars : {-1, 6, 100, INT_MIN, INT_MAX}) {
    writeRating(path.c_str(), stars);
    EXPECT_EQ(readFileBytes(path), original) << stars << " stars";
  }
}

TEST(WriteRating, NothingWrittenWithoutAnExistingFile) {
  const std::string folder = scratchFolder();
  const std::string missing = folder + "missing.mp3";
  writeRating(missing.c_str(), 3);
  EXPECT_FALSE(fileExists(missing));
  EXPECT_FALSE(fileExists(leftoverOf(missing)));

  writeRating(folder.c_str(), 3);  // a folder
  writeRating((folder + "sub").c_str(), 3);
  ASSERT_TRUE(CreateDirectoryA((folder + "sub").c_str(), nullptr));
  writeRating((folder + "sub").c_str(), 3);
  EXPECT_FALSE(fileExists(folder + "sub.XXXXXX"));
  EXPECT_EQ(GetFileAttributesA((folder + "sub").c_str()) & FILE_ATTRIBUTE_DIRECTORY,
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));

  writeRating(static_cast<const char*>(nullptr), 3);
  writeRating("", 3);
  recoverRewrite(static_cast<const char*>(nullptr));
  recoverRewrite("");
}

TEST(WriteRating, ReadOnlyFileUnchanged) {
  const std::string path = scratchFolder() + "readonly.mp3";
  const Bytes original = mpegAudio(4);
  writeFileBytes(path, original);
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
  writeRating(path.c_str(), 3);
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(readFileBytes(path), original);
  EXPECT_FALSE(fileExists(leftoverOf(path)));
}

TEST(WriteRating, FrameThatMakesId3libThrowIsLeftAlone) {
  // id3lib gave up on such a tag and wrote a new tag in front of the file
  // (old tag included); the tag is not handed to id3lib any more.
  const std::string path = scratchFolder() + "bomb.mp3";
  const Bytes original = tag({compressedBomb(), frame23("POPM", popm("a", 255))}, 3, 16) + mpegAudio(4);
  writeFileBytes(path, original);
  writeRating(path.c_str(), 2);
  EXPECT_EQ(readFileBytes(path), original);
  EXPECT_FALSE(fileExists(leftoverOf(path)));
}

TEST(WriteRating, PathInTheSystemCodePage) {
  // "é" in the ANSI code page, when the code page has it.
  char accented[8] = "";
  BOOL lossy = FALSE;
  const int length =
      WideCharToMultiByte(CP_ACP, 0, L"\u00E9", 1, accented, sizeof accented - 1, nullptr, &lossy);
  ASSERT_TRUE(length > 0 && !lossy) << "code page " << GetACP() << " has no e-acute";
  const std::string path = scratchFolder() + "caf" + accented + ".mp3";
  writeFileBytes(path, mpegAudio(4));
  writeRating(path.c_str(), 4);
  EXPECT_EQ(readRating(path.c_str()), 4);
  EXPECT_FALSE(fileExists(leftoverOf(path)));
}

// ---- Recovering an interrupted rewrite -------------------------------------

// A copy beside the file that the journal does not name may be the user's: whatever its
// size, it is neither put over the file nor removed.
TEST(RecoverRewrite, NeverUsesALeftoverTheJournalDoesNotName) {
  const std::string folder = scratchFolder();
  const Bytes file(1000, 'f');
  for (long leftoverSize : {0L, 999L, 1000L, 1001L, 70000L}) {
    const std::string path = folder + "song.mp3";
    const Bytes leftover(static_cast<size_t>(leftoverSize), 'n');
    writeFileBytes(path, file);
    writeFileBytes(leftoverOf(path), leftover);
    recoverRewrite(path.c_str());
    EXPECT_EQ(readFileBytes(path), file) << leftoverSize;
    EXPECT_EQ(readFileBytes(leftoverOf(path)), leftover) << leftoverSize;
  }
}

TEST(RecoverRewrite, LeavesLeftoverWithoutTheFile) {
  const std::string folder = scratchFolder();
  const std::string path = folder + "gone.mp3";
  writeFileBytes(leftoverOf(path), Bytes(500, 'n'));
  recoverRewrite(path.c_str());
  EXPECT_FALSE(fileExists(path));
  EXPECT_EQ(readFileBytes(leftoverOf(path)), Bytes(500, 'n'));

  // A folder of the leftover's name is no leftover.
  const std::string other = folder + "other.mp3";
  writeFileBytes(other, Bytes(10, 'f'));
  ASSERT_TRUE(CreateDirectoryA(leftoverOf(other).c_str(), nullptr));
  recoverRewrite(other.c_str());
  EXPECT_EQ(readFileBytes(other), Bytes(10, 'f'));
  EXPECT_TRUE(GetFileAttributesA(leftoverOf(other).c_str()) & FILE_ATTRIBUTE_DIRECTORY);
}

// A copy back that a crash cut short: the journal names the complete copy, and the track is
// half written. Recovery leaves all as it is while another program holds the track against
// writing, and finishes the copy back (the player holding the track) once it can.
TEST(RecoverRewrite, JournaledCopyBackWaitsForALockedTrack) {
  const std::string folder = scratchFolder();
  const std::string path = folder + "song.mp3";
  const std::string copy = path + ".vimbrel-new";
  ASSERT_TRUE(makeFolder(folder + "settings"));
  const std::wstring journal = widen(folder + "settings\\gen_id3vimbrel.journal");
  const Bytes old = tag({frame23("TIT2", text("t"))}, 4, 0) + mpegAudio(20);
  const Bytes written = tag({frame23("TIT2", text("t")), frame23("POPM", popm("ID3Vimbrel", 255))}, 4, 2048) +
                        old.substr(22);
  writeFileBytes(path, written.substr(0, 5000) + old.substr(5000));
  writeFileBytes(copy, written);
  setRewriteJournal(journal.c_str());
  const std::wstring track = storePath(path.c_str());
  const std::wstring copyPath = storePath(copy.c_str());
  RewriteRecord note = RewriteRecord();
  note.route = kRouteNewFile;
  note.step = kStepCopyingBack;
  note.stars = 5;
  note.ratingOffset = kRatingOffsetUnknown;
  note.newSize = written.size();
  note.track = const_cast<wchar_t*>(track.c_str());
  note.copy = const_cast<wchar_t*>(copyPath.c_str());
  ASSERT_TRUE(noteRewrite(&note));

  HANDLE locker = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(locker, INVALID_HANDLE_VALUE);
  recoverRewrite(path.c_str());
  CloseHandle(locker);
  EXPECT_EQ(readFileBytes(path), written.substr(0, 5000) + old.substr(5000));
  EXPECT_EQ(readFileBytes(copy), written);

  HANDLE player = openLikePlayer(path);
  ASSERT_NE(player, INVALID_HANDLE_VALUE);
  EXPECT_EQ(readRating(path.c_str()), 5);  // a read settles it first
  CloseHandle(player);
  EXPECT_EQ(readFileBytes(path), written);
  EXPECT_EQ(namesInFolder(folder), (std::vector<std::string>{"settings", "song.mp3"}));
  RewriteRecord open[1];
  EXPECT_EQ(openRewriteNotes(nullptr, open, 1), 0);
  setRewriteJournal(nullptr);
}

TEST(RecoverRewrite, LongPaths) {
  const std::string folder = scratchFolder();
  // The longest names that still open through the ANSI calls: leftover of
  // 259 bytes, left alone like any other the journal does not name.
  std::string path = folder + std::string(259 - 7 - folder.size() - 4, 'a') + ".mp3";
  ASSERT_EQ(leftoverOf(path).size(), 259u);
  writeFileBytes(path, Bytes(10, 'f'));
  writeFileBytes(leftoverOf(path), Bytes(20, 'n'));
  recoverRewrite(path.c_str());
  EXPECT_EQ(readFileBytes(path), Bytes(10, 'f'));
  EXPECT_EQ(readFileBytes(leftoverOf(path)), Bytes(20, 'n'));

  // Longer than MAX_PATH: nothing happens, and nothing overruns.
  for (size_t length : {260u, 261u, 268u, 300u, 5000u}) {
    const std::string longPath = folder + std::string(length - folder.size(), 'b');
    recoverRewrite(longPath.c_str());
    writeRating(longPath.c_str(), 3);
    EXPECT_EQ(readRating(longPath.c_str()), 0);
  }
}

// ---- The player holding the file open --------------------------------------

TEST(PlayerHoldsFile, RatingGetsWrittenAndNoLeftoverStays) {
  const std::string folder = scratchFolder();
  const Bytes audio = mpegAudio(4);
  const struct {
    const char* what;
    Bytes tagBytes;
  } cases[] = {{"no tag", ""},
               {"v2.3, no padding", tag(otherFrames())},
               {"v2.3 with padding", tag(otherFrames(), 3, 300)},
               {"POPM in place", tag({frame23("POPM", popm("ID3Vimbrel", 1))}, 3, 40)},
               {"v2.3 unsynchronised: the editor",
                unsynchronisedFlag(tag({frame23("TIT2", text("t")), frame23("POPM", popm("ID3Vimbrel", 1))}))}};
  for (const auto& c : cases) {
    const std::string path = folder + "playing.mp3";
    writeFileBytes(path, c.tagBytes + audio);
    HANDLE player = openLikePlayer(path);
    ASSERT_NE(player, INVALID_HANDLE_VALUE) << c.what;
    writeRating(path.c_str(), 4);
    // Nothing of the store's or the platform's beside it (Wine's replacement of a held
    // file leaves a file of its own).
    EXPECT_EQ(namesInFolder(folder), std::vector<std::string>{"playing.mp3"}) << c.what;
    EXPECT_EQ(readRating(path.c_str()), 4) << c.what;
    CloseHandle(player);

    const ParsedFile written = parse(readFileBytes(path));
    const std::vector<Frame> popms = framesWithId(written, "POPM");
    ASSERT_EQ(popms.size(), 1u) << c.what;
    EXPECT_EQ(static_cast<unsigned char>(popms[0].body[11]), 160u) << c.what;
    expectAudioKept(written, audio);
    DeleteFileA(leftoverOf(path).c_str());
  }
}

// The player's own case: the file is held open and the tag has to grow, which
// the store can only do through a copy beside the file.
TEST(PlayerHoldsFile, TagThatGrowsGetsTheRating) {
  const std::string folder = scratchFolder();
  const Bytes audio = mpegAudio(4);
  const struct {
    const char* what;
    Bytes tagBytes;
    Bytes after;
  } cases[] = {{"no tag", "", audio},
               {"no tag, ID3v1", "", audio + id3v1("v1")},
               {"v2.3 without padding", tag(otherFrames()), audio},
               {"v2.3 without padding, ID3v1", tag(otherFrames()), audio + id3v1("v1")}};
  for (const auto& c : cases) {
    const std::string path = folder + "playing.mp3";
    writeFileBytes(path, c.tagBytes + c.after);
    HANDLE player = openLikePlayer(path);
    ASSERT_NE(player, INVALID_HANDLE_VALUE) << c.what;
    writeRating(path.c_str(), 5);
    EXPECT_EQ(readRating(path.c_str()), 5) << c.what;
    CloseHandle(player);
    EXPECT_EQ(namesInFolder(folder), std::vector<std::string>{"playing.mp3"}) << c.what;
    const ParsedFile written = parse(readFileBytes(path));
    EXPECT_TRUE(written.afterTag == c.after) << c.what << ": not the same bytes after the tag";
    for (const Frame& frame : parse(c.tagBytes + c.after).frames) {
      const std::vector<Frame> kept = framesWithId(written, frame.id);
      ASSERT_EQ(kept.size(), 1u) << c.what << " " << frame.id;
      EXPECT_EQ(kept[0].body, frame.body) << c.what << " " << frame.id;
    }
    DeleteFileA(leftoverOf(path).c_str());
  }
}

// A file without a tag of 1920 to 2011 bytes: id3lib's update used to append
// an ID3v1 tag to the held original, which made its copy no larger than the
// original, so the copy was not used. The store updates the ID3v2 tag only.
TEST(PlayerHoldsFile, SmallFilesWithoutATag) {
  const std::string folder = scratchFolder();
  const Bytes audio = mpegAudio(5);
  for (size_t size = 1900; size <= 2030; ++size) {
    const std::string path = folder + "small.mp3";
    const Bytes original = audio.substr(0, size);
    writeFileBytes(path, original);
    HANDLE player = openLikePlayer(path);
    ASSERT_NE(player, INVALID_HANDLE_VALUE);
    writeRating(path.c_str(), 2);
    CloseHandle(player);
    EXPECT_FALSE(fileExists(leftoverOf(path))) << size << " bytes";
    EXPECT_EQ(readRating(path.c_str()), 2) << size << " bytes";
    EXPECT_TRUE(parse(readFileBytes(path)).afterTag == original) << size << " bytes";
    DeleteFileA(leftoverOf(path).c_str());
  }
}

// id3lib would shrink a tag with 4096 bytes or more of padding, writing the whole
// file anew. The store changes the rating in place instead, or adds its frame into
// the padding; with an extended header that counts the padding, the header's count
// and the frame change together in one write.
TEST(PlayerHoldsFile, TagWithLargePadding) {
  const std::string folder = scratchFolder();
  const Bytes audio = mpegAudio(4);
  const Bytes extendedHeader = bigEndian(6, 4) + bigEndian(0, 2) + bigEndian(5000, 4);
  const Bytes extendedContent = extendedHeader + frame23("TIT2", text("A title")) + Bytes(5000, '\0');
  const Bytes extended =
      Bytes("ID3\x03\x00\x40", 6) + syncsafe(static_cast<uint32_t>(extendedContent.size())) + extendedContent;
  const struct {
    const char* what;
    Bytes file;
    int stars;
  } cases[] = {{"POPM", tag({frame23("TIT2", text("t")), frame23("POPM", popm("a", 1))}, 3, 5000) + audio, 4},
               {"no POPM", tag({frame23("TIT2", text("t"))}, 3, 5000) + audio, 4},
               {"extended header, no POPM", extended + audio, 4}};
  for (const auto& c : cases) {
    const std::string path = folder + "padded.mp3";
    writeFileBytes(path, c.file);
    HANDLE player = openLikePlayer(path);
    ASSERT_NE(player, INVALID_HANDLE_VALUE) << c.what;
    writeRating(path.c_str(), 4);
    CloseHandle(player);
    EXPECT_FALSE(fileExists(leftoverOf(path))) << c.what;
    const Bytes written = readFileBytes(path);
    EXPECT_EQ(written.size(), c.file.size()) << c.what;
    EXPECT_EQ(readRating(path.c_str()), c.stars) << c.what;
    EXPECT_TRUE(parse(written).afterTag == audio) << c.what;
    DeleteFileA(leftoverOf(path).c_str());
  }
}

// An ID3v1 tag at the end stays byte for byte as it was, whichever way the
// rating is stored.
TEST(WriteRating, Id3v1TagUntouched) {
  const std::string folder = scratchFolder();
  const Bytes audio = mpegAudio(4);
  const Bytes v1 = id3v1("An old title");
  const Bytes starts[] = {"", tag(otherFrames()), tag(otherFrames(), 3, 200),
                          tag({frame23("POPM", popm("a", 1))}, 3, 0)};
  for (const Bytes& start : starts) {
    const std::string path = folder + "v1.mp3";
    writeFileBytes(path, start + audio + v1);
    writeRating(path.c_str(), 3);
    EXPECT_EQ(readRating(path.c_str()), 3);
    const Bytes written = readFileBytes(path);
    ASSERT_GE(written.size(), v1.size());
    EXPECT_EQ(written.substr(written.size() - v1.size()), v1);
    EXPECT_TRUE(parse(written).afterTag == audio + v1);
  }
}

TEST(WriteRating, ReadOnlyFilesOfEveryKindUnchanged) {
  const std::string folder = scratchFolder();
  const Bytes audio = mpegAudio(4);
  const Bytes files[] = {audio, tag({frame23("POPM", popm("a", 1))}, 3, 50) + audio,
                         tag({frame23("POPM", popm("a", 1))}, 4, 50) + audio,
                         tag({frame23("TIT2", text("t"))}, 4, 50) + audio, tag(otherFrames()) + audio};
  for (const Bytes& original : files) {
    const std::string path = folder + "readonly.mp3";
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    writeFileBytes(path, original);
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    writeRating(path.c_str(), 5);
    EXPECT_EQ(readFileBytes(path), original);
    EXPECT_FALSE(fileExists(leftoverOf(path)));
  }
  SetFileAttributesA((folder + "readonly.mp3").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Another program holds the file without sharing writing: nothing is written,
// and nothing goes wrong.
TEST(WriteRating, FileLockedAgainstWriting) {
  const std::string path = scratchFolder() + "locked.mp3";
  const Bytes original = tag({frame23("POPM", popm("a", 1))}, 4, 50) + mpegAudio(4);
  writeFileBytes(path, original);
  HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  writeRating(path.c_str(), 5);
  CloseHandle(other);
  EXPECT_EQ(readFileBytes(path), original);
}

// Files with the names the store gives its copies ("<path>.XXXXXX" from an earlier write
// that failed, or the user's own), there before this write: never used, never changed, and
// no reason not to write the rating (the store's copy takes another name).
TEST(StaleLeftover, NeverCopiedOverTheFile) {
  const std::string folder = scratchFolder();
  const Bytes audio = mpegAudio(4);
  const struct {
    const char* what;
    Bytes file;
  } files[] = {
      {"v2.3 POPM, in place", tag({frame23("POPM", popm("a", 1))}, 3, 50) + audio},
      {"v2.4 padding, in place", tag({frame23("TIT2", text("t"))}, 4, 50) + audio},
      {"v2.4 no room, the editor", tag({frame23("TIT2", text("t"))}, 4, 0) + audio},
      {"stars the file has, nothing", tag({frame23("POPM", popm("a", 160))}, 3, 50) + audio},
      {"no tag, id3lib", audio},
  };
  const char* suffixes[] = {".XXXXXX", ".vimbrel-new", ".vimbrel-old"};
  for (const auto& f : files) {
    for (long strayStart : {10L, 100000L}) {
      const std::string path = folder + "song.mp3";
      writeFileBytes(path, f.file);
      std::vector<std::string> names = {"song.mp3"};
      for (const char* suffix : suffixes) {
        writeFileBytes(path + suffix, Bytes(static_cast<size_t>(strayStart), 's') + suffix);
        names.push_back(std::string("song.mp3") + suffix);
      }
      std::sort(names.begin(), names.end());
      EXPECT_EQ(writeRating(path.c_str(), 4), kRatingSaved) << f.what;
      const Bytes written = readFileBytes(path);
      EXPECT_EQ(readRating(path.c_str()), 4) << f.what;
      EXPECT_TRUE(parse(written).afterTag == audio) << f.what << ", strays of " << strayStart;
      EXPECT_EQ(namesInFolder(folder), names) << f.what;
      for (const char* suffix : suffixes)
        EXPECT_EQ(readFileBytes(path + suffix), Bytes(static_cast<size_t>(strayStart), 's') + suffix) << f.what;
    }
  }
}

// The in-place change writes only within the file it was planned for. (Where the bytes it
// replaces changed since the plan, the MP3 route wrote nothing: that check went with it, as a
// plan is made and carried out through the one handle that holds the file.)
TEST(WritePatchesInPlace, OnlyWithinTheFile) {
  const std::string path = scratchFolder() + "planned.mp3";
  const Bytes original = "0123456789abcdef";
  const struct {
    const char* what;
    uint64_t offset;
    Bytes bytes;
    bool written;
  } cases[] = {{"as planned", 4, "XYZ", true},
               {"past the end", 15, "XY", false},
               {"at the end", 15, "X", true},
               {"far past the end", 1000, "X", false}};
  for (const auto& c : cases) {
    writeFileBytes(path, original);
    WritePlan plan;
    initWritePlan(&plan);
    plan.kind = kPlanInPlace;
    plan.oldSize = plan.newSize = original.size();
    addPatch(&plan, c.offset, reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size());
    const std::wstring track = storePath(path.c_str());
    TrackFile file = openTrackFile(track.c_str(), kTrackHold, nullptr);
    ASSERT_NE(file.handle, nullptr);
    EXPECT_EQ(writePatchesInPlace(track.c_str(), file, plan, 3) == kFileOk, c.written) << c.what;
    closeTrackFile(&file);
    releaseWritePlan(&plan);
    Bytes expected = original;
    if (c.written) expected.replace(static_cast<size_t>(c.offset), c.bytes.size(), c.bytes);
    EXPECT_EQ(readFileBytes(path), expected) << c.what;
  }
}

}  // namespace
