// SPDX-License-Identifier: LGPL-2.1-or-later
// Power cuts and I/O errors at every step of every way a rating is written, on files kept in
// memory (track_file_memory.h), in the manner of SQLite's crash and I/O-error tests. Each
// route is first run through once to count its steps; then, for each step, the power goes
// there (all, none, or a seeded part of the unflushed writes surviving, torn at sector
// boundaries, with or without garbage in lost sectors), or the step fails once. The store
// then starts again and recovers as the plugin does at init. Afterwards the track is the old
// file or the new one byte for byte, a reported result was true, nothing is left beside the
// track, the journal names nothing, and a later rating is written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "rating/file/track_file_memory.h"
#include "rating/id3v2/tag_editor.h"
#include "rating/rating.h"
#include "rating/store/journal_recovery.h"
#include "rating/store/rewrite_journal.h"
#include "rating/store/rewrite_job.h"
#include "support/format_files.h"
#include "support/tag_files.h"

namespace {

const std::wstring kMusic = L"C:\\music\\";
const std::wstring kSettings = L"C:\\settings\\";
const std::wstring kJournal = kSettings + L"gen_id3vimbrel.journal";
const int kStars = 4;
const int kLaterStars = 2;

std::string text(const std::string& value) { return std::string(1, '\0') + value; }

std::string popm(const std::string& owner, int rating) {
  return owner + std::string(1, '\0') + static_cast<char>(rating) + bigEndian(7, 4);
}

std::string tag(int version, const std::vector<std::string>& frames, size_t padding) {
  std::string content;
  for (const std::string& frame : frames) content += frame;
  content += std::string(padding, '\0');
  return "ID3" + std::string(1, static_cast<char>(version)) + std::string(2, '\0') +
         syncsafe(static_cast<uint32_t>(content.size())) + content;
}

// User files with the names the store gives its own: never used, never removed.
const std::vector<std::wstring> kStraySuffixes = {L".vimbrel-new", L".vimbrel-old", L".XXXXXX"};

struct Route {
  const char* name;
  const char* file;
  std::string bytes;
  const wchar_t* trackName;
  bool held;    // the player holds the track without delete sharing
  bool strays;  // user files of the store's names lie beside it
};

std::vector<Route> routes() {
  const std::string title = frame23("TIT2", text("A title"));
  // Frames to offset 500: a POPM in the padding would cross a sector, so the editor makes the
  // tag anew at its size, and the bytes that differ span two sectors.
  const std::string toOffset500 = frame23("PRIV", "owner" + std::string(1, '\0') + std::string(456, 'p'));
  const std::string audio = mpegAudio(9);
  const std::string longAudio = mpegAudio(20);
  // A comment of 2 KB: a new RATING at its end changes bytes in several sectors.
  std::vector<std::string> manyFields;
  for (int i = 0; i < 40; ++i) manyFields.push_back("COMMENT=" + std::string(40, static_cast<char>('a' + i % 26)));
  return {
      {"in place", "v2.3 POPM", mp3WithRating(1), L"song.mp3", false, false},
      {"in place", "v2.4 POPM, held", tag(4, {title, frame23("POPM", popm("a@b.c", 200))}, 0) + audio,
       L"song.mp3", true, false},
      {"new frame in padding", "v2.4", tag(4, {title}, 300) + audio, L"song.mp3", false, false},
      {"new frame in padding", "v2.3, held", tag(3, {title}, 100) + audio, L"song.mp3", true, false},
      {"editor, replace", "v2.4 without room", tag(4, {title}, 0) + audio, L"song.mp3", false, false},
      {"editor, replace", "v2.4 without room, stray files", tag(4, {title}, 0) + longAudio, L"song.mp3",
       false, true},
      {"editor, copy back", "v2.4 without room", tag(4, {title}, 0) + audio, L"song.mp3", true, false},
      {"editor, copy back", "v2.4 without room, longer", tag(4, {title}, 0) + longAudio, L"song.mp3", true,
       false},
      {"editor, in place", "v2.3, over sectors, noted", tag(3, {title, toOffset500}, 300) + audio,
       L"song.mp3", false, false},
      {"editor, in place", "v2.3, over sectors, noted, held", tag(3, {title, toOffset500}, 300) + audio,
       L"song.mp3", true, false},
      {"id3lib's tag", "no tag", audio, L"song.mp3", false, false},
      {"id3lib's tag", "v2.3 without room, held", tag(3, {title}, 0) + audio, L"song.mp3", true, false},
      {"id3lib's tag", "no tag, held", longAudio, L"song.mp3", true, false},
      // Once id3lib's copy went through a plain-named copy for such names: no more.
      {"id3lib's tag", "no tag, a name outside ASCII", audio, L"\u00e9t\u00e9.mp3", false, false},
      {"id3lib's tag", "no tag, a name outside ASCII, held", longAudio, L"\u00e9t\u00e9.mp3", true, false},
      {"FLAC in place", "in the padding", flacFileOf({"TITLE=A title"}, 1024, 4), L"song.flac", false, false},
      {"FLAC in place", "RATING changed, held", flacFileOf({"TITLE=A title", "RATING=20"}, 0, 4), L"song.flac",
       true, false},
      {"FLAC in place", "over sectors, noted", flacFileOf(manyFields, 4096, 4), L"song.flac", false, false},
      {"FLAC in place", "over sectors, noted, held", flacFileOf(manyFields, 4096, 4), L"song.flac", true, false},
      {"FLAC anew", "no padding", flacFileOf({"TITLE=A title"}, 0, 64), L"song.flac", false, false},
      {"FLAC anew", "no padding, held", flacFileOf({"TITLE=A title"}, 0, 64), L"song.flac", true, false},
      {"FLAC anew", "no padding, stray files", flacFileOf({"TITLE=A title"}, 0, 64), L"song.flac", false, true},
      {"Ogg in place", "Vorbis slack", vorbisFileOf({"TITLE=A title"}, 32, 255), L"song.ogg", false, false},
      {"Ogg in place", "Vorbis over pages, noted", vorbisFileOf(manyFields, 32, 4), L"song.ogg", false, false},
      {"Ogg in place", "Vorbis over pages, noted, held", vorbisFileOf(manyFields, 32, 4), L"song.ogg", true,
       false},
      {"Ogg in place", "Opus padding, held", opusFileOf({"TITLE=A title"}, std::string(32, '\0')), L"song.opus",
       true, false},
      {"Ogg anew", "Vorbis without slack", vorbisFileOf({"TITLE=A title"}, 0, 255), L"song.ogg", false, false},
      {"Ogg anew", "Vorbis over pages, held", vorbisFileOf(manyFields, 0, 4), L"song.ogg", true, false},
      {"Ogg anew", "Opus binary data, stray files", opusFileOf({"TITLE=A title"}, "\x01\xde\xad"), L"song.opus",
       false, true},
      {"WAV/AIFF in place", "WAV rating byte", waveFileOf(tag(3, {title, frame23("POPM", popm("x", 1))}, 0), 4001),
       L"song.wav", false, false},
      {"WAV/AIFF in place", "AIFF frame in padding, held", aiffFileOf(tag(4, {title}, 301), 4001), L"song.aiff",
       true, false},
      {"WAV/AIFF anew", "WAV tag grows", waveFileOf(tag(4, {title}, 0), 4001), L"song.wav", false, false},
      {"WAV/AIFF anew", "AIFF tag grows, held", aiffFileOf(tag(3, {title}, 0), 4001), L"song.aiff", true, false},
      {"WAV/AIFF anew", "WAV new chunk at the end, held", waveFileOf("", 4001), L"song.wav", true, false},
      {"WAV/AIFF anew", "AIFF new chunk at the end, stray files", aiffFileOf("", 4001), L"song.aiff", false, true},
      {"editor, replace", "ADTS without a tag", adtsAudio(12), L"song.aac", false, false},
      {"editor, copy back", "ADTS without a tag", adtsAudio(12), L"song.aac", true, false},
      {"MP4 in place", "free room in meta", m4aFileOf(256, true, 0), L"song.m4a", false, false},
      {"MP4 in place", "free room in meta, held", m4aFileOf(256, true, 0), L"song.m4a", true, false},
      {"MP4 in place", "over sectors, noted", m4aFileOf(256, true, 2000), L"song.m4a", false, false},
      {"MP4 in place", "over sectors, noted, held", m4aFileOf(256, false, 2000), L"song.m4a", true, false},
      {"MP4 anew", "moov after mdat", m4aFileOf(0, false, 0), L"song.m4a", false, false},
      {"MP4 anew", "moov after mdat, held", m4aFileOf(0, false, 0), L"song.m4a", true, false},
      {"MP4 anew", "moov before mdat, offsets shift", m4aFileOf(0, true, 0), L"song.m4a", false, false},
      {"MP4 anew", "moov before mdat, offsets shift, held", m4aFileOf(0, true, 0), L"song.m4a", true, false},
      {"MP4 anew", "moov before mdat, stray files", m4aFileOf(0, true, 0), L"song.m4a", false, true},
      {"WMA in place", "a DWORD's bytes", wmaFileOf(0, true, 0), L"song.wma", false, false},
      {"WMA in place", "from padding, held", wmaFileOf(512, false, 0), L"song.wma", true, false},
      {"WMA in place", "over sectors, noted", wmaFileOf(512, false, 2000), L"song.wma", false, false},
      {"WMA in place", "over sectors, noted, held", wmaFileOf(512, false, 2000), L"song.wma", true, false},
      {"WMA anew", "header anew", wmaFileOf(0, false, 0), L"song.wma", false, false},
      {"WMA anew", "header anew, held", wmaFileOf(0, false, 0), L"song.wma", true, false},
      {"WMA anew", "header anew, stray files", wmaFileOf(0, false, 0), L"song.wma", false, true},
  };
}

std::string narrow(const std::wstring& wide) {
  std::string out;
  for (wchar_t c : wide) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

struct Run {
  const Route* route;
  std::wstring track;
  std::string newBytes;     // the file once the rating is written
  std::string editorBytes;  // the same written by the tag editor, where a fault sends it there
  bool isNew(const std::string& bytes) const { return bytes == newBytes || bytes == editorBytes; }
};

// The file as the tag editor writes it with the rating: where id3lib's tag is declined (a
// fault while the old tag is read for it), the editor makes the tag. None for the other
// formats, whose rooms have one way each.
std::string editorWrite(const std::string& file, int stars) {
  if (file.compare(0, 3, "ID3") != 0 && !(file.size() > 1 && static_cast<unsigned char>(file[0]) == 0xFF))
    return "";
  size_t tagSize = 0;
  if (file.compare(0, 3, "ID3") == 0)
    for (int i = 6; i < 10; ++i) tagSize = (tagSize << 7) | (static_cast<unsigned char>(file[i]) & 0x7F);
  if (tagSize) tagSize += 10;
  EditedTag edited = {nullptr, 0, 0};
  const unsigned char rating = static_cast<unsigned char>(RatingScale[stars]);
  const bool made = tagSize ? editTagRating(reinterpret_cast<const unsigned char*>(file.data()), tagSize,
                                            false, false, rating, &edited)
                            : newTagWithRating(rating, &edited);
  std::string written;
  if (made) written = std::string(reinterpret_cast<char*>(edited.bytes), edited.size) + file.substr(tagSize);
  releaseEditedTag(&edited);
  return written;
}

std::string bytesOf(const std::wstring& path) {
  std::string bytes;
  if (!memoryFileBytes(path, &bytes)) return "<none>";
  return bytes;
}

std::string strayBytes(const std::wstring& suffix) { return "the user's own " + narrow(suffix); }

// The disk as the test begins: the track, the strays, the folders, the player's hold.
void layOut(const Run& run) {
  memoryFilesReset();
  memoryAddFolder(kMusic);
  memoryAddFolder(kSettings);
  memoryPutFile(run.track, run.route->bytes);
  if (run.route->strays)
    for (const std::wstring& suffix : kStraySuffixes) memoryPutFile(run.track + suffix, strayBytes(suffix));
  if (run.route->held) memoryHoldLikePlayer(run.track);
  setRewriteJournal(kJournal.c_str());
}

// The plugin starts again: the player holds the track again, and the store settles what
// the journal names, as at init, and before the track is read.
void startAgain(const Run& run) {
  memoryRestart();
  if (run.route->held) memoryHoldLikePlayer(run.track);
  setRewriteJournal(kJournal.c_str());
  RewriteJob job;
  if (recoverJournaledRewrites(nullptr, &job, kSlicedRewriteFrom) == kRatingSaving) finishRewrite(&job);
  readRating(run.track.c_str());
}

int openNotes() {
  RewriteRecord notes[4];
  const int count = openRewriteNotes(nullptr, notes, 4);
  for (int i = 0; i < count; ++i) releaseRewriteRecord(&notes[i]);
  return count;
}

// What must hold after any run and recovery; an empty text when it does.
std::string settledState(const Run& run) {
  const std::string track = bytesOf(run.track);
  if (track != run.route->bytes && !run.isNew(track))
    return "the track is neither the old file nor the new (" + std::to_string(track.size()) + " bytes)";
  std::vector<std::wstring> expected = {run.track.substr(kMusic.size())};
  if (run.route->strays)
    for (const std::wstring& suffix : kStraySuffixes) {
      expected.push_back(run.track.substr(kMusic.size()) + suffix);
      if (bytesOf(run.track + suffix) != strayBytes(suffix)) return "a stray file changed: " + narrow(suffix);
    }
  std::sort(expected.begin(), expected.end());
  const std::vector<std::wstring> names = memoryFileNamesIn(kMusic);
  if (names != expected) {
    std::string listed;
    for (const std::wstring& name : names) listed += " " + narrow(name);
    return "beside the track:" + listed;
  }
  if (openNotes() != 0) return "the journal names a rewrite";
  return "";
}

// A later choice is written, and leaves nothing behind.
std::string laterRatingState(const Run& run) {
  const RatingSaveResult result = writeRating(run.track.c_str(), kLaterStars);
  if (result != kRatingSaved) return "a later rating was not saved (" + std::to_string(result) + ")";
  if (readRating(run.track.c_str()) != kLaterStars) return "a later rating does not read back";
  if (memoryFileNamesIn(kMusic).size() != 1 + (run.route->strays ? kStraySuffixes.size() : 0))
    return "a later rating left a file beside the track";
  if (openNotes() != 0) return "a later rating left a note";
  return "";
}

struct Counts {
  int steps = 0;
  int cuts = 0;
  int errors = 0;
};

const struct {
  PowerCutSurvival survival;
  uint32_t seed;
  bool garbage;
  const char* name;
} kCutKinds[] = {
    {kAllUnflushedSurvive, 0, false, "all unflushed writes survive"},
    {kNoUnflushedSurvive, 0, false, "no unflushed write survives"},
    {kSomeUnflushedSurvive, 1, false, "some survive (seed 1)"},
    {kSomeUnflushedSurvive, 2, false, "some survive (seed 2)"},
    {kSomeUnflushedSurvive, 3, false, "some survive (seed 3)"},
    {kSomeUnflushedSurvive, 4, true, "some survive, garbage in lost sectors (seed 4)"},
    {kSomeUnflushedSurvive, 5, true, "some survive, garbage in lost sectors (seed 5)"},
};

// Runs every cut and every error of one route and file; returns what was run.
Counts crashRoute(const Route& route) {
  Counts counts;
  Run run = {&route, kMusic + route.trackName, "", editorWrite(route.bytes, kStars)};
  const std::string what = std::string(route.name) + ", " + route.file;

  layOut(run);
  // VIMBREL_TRACE_STEPS=1 names the steps of the run without a fault.
  memoryTraceSteps(std::getenv("VIMBREL_TRACE_STEPS") != nullptr);
  if (std::getenv("VIMBREL_TRACE_STEPS")) std::fprintf(stderr, "%s\n", what.c_str());
  const RatingSaveResult clean = writeRating(run.track.c_str(), kStars);
  memoryTraceSteps(false);
  counts.steps = memoryStepsTaken();
  run.newBytes = bytesOf(run.track);
  const std::string state = settledState(run);
  if (clean != kRatingSaved || readRating(run.track.c_str()) != kStars || !state.empty()) {
    ADD_FAILURE() << what << ": without a fault the rating is not written (" << clean << "): " << state;
    return counts;
  }

  for (int step = 0; step <= counts.steps; ++step) {
    for (const auto& kind : kCutKinds) {
      layOut(run);
      memoryCutPowerAt(step, kind.survival, kind.seed, kind.garbage);
      writeRating(run.track.c_str(), kStars);
      startAgain(run);
      ++counts.cuts;
      std::string state = settledState(run);
      if (state.empty()) state = laterRatingState(run);
      if (!state.empty()) {
        ADD_FAILURE() << what << ": power cut at step " << step << " of " << counts.steps << ", " << kind.name
                      << ": " << state;
        return counts;
      }
    }
  }
  for (int step = 0; step < counts.steps; ++step) {
    layOut(run);
    memoryFailAt(step, kFileFailed);
    const RatingSaveResult result = writeRating(run.track.c_str(), kStars);
    const std::string right = bytesOf(run.track);
    std::string state;
    if (result == kRatingSaved && !run.isNew(right))
      state = "reported saved, but the track is not the new file";
    if (result != kRatingSaved && right != route.bytes && openNotes() == 0)
      state = "reported not saved (" + std::to_string(result) + "), but the track changed";
    startAgain(run);
    ++counts.errors;
    if (state.empty()) state = settledState(run);
    if (state.empty()) state = laterRatingState(run);
    if (!state.empty()) {
      ADD_FAILURE() << what << ": I/O error at step " << step << " of " << counts.steps << ": " << state;
      return counts;
    }
  }
  return counts;
}

class RatingCrash : public ::testing::Test {
 protected:
  void TearDown() override { memoryFilesReset(); }
  // Every file of the routes of that name.
  void crashEvery(const char* name) {
    int files = 0;
    Counts total;
    for (const Route& route : routes()) {
      if (std::strcmp(route.name, name) != 0) continue;
      const Counts counts = crashRoute(route);
      ++files;
      total.steps += counts.steps;
      total.cuts += counts.cuts;
      total.errors += counts.errors;
      std::printf("%s, %s: %d steps, %d power cuts, %d I/O errors\n", route.name, route.file, counts.steps,
                  counts.cuts, counts.errors);
    }
    EXPECT_GT(files, 0);
  }
};

// ---- The steps of a sliced rewrite ----

// A checked copy has no note of its own: until the call that puts it in place, the journal
// says it is being copied (a cut there removes it, the track untouched); that call comes on
// its own, and leaves the new file with nothing beside it and no open note.
TEST(RewriteSteps, CheckedCopyWaitsForACallOfItsOwnNotedAsCopying) {
  const std::wstring track = kMusic + L"song.mp3";
  const std::string old = tag(4, {frame23("TIT2", text("A title"))}, 0) + mpegAudio(20);
  memoryFilesReset();
  memoryAddFolder(kMusic);
  memoryAddFolder(kSettings);
  memoryPutFile(track, old);
  setRewriteJournal(kJournal.c_str());
  WritePlan plan;
  initWritePlan(&plan);
  plan.kind = kPlanNewFile;
  plan.oldSize = old.size();
  plan.ratingOffset = kNoRatingOffset;
  addNewSpan(&plan, reinterpret_cast<const unsigned char*>("NEW"), 3);
  addOldSpan(&plan, 0, old.size());
  RewriteJob job;
  ASSERT_EQ(beginRewrite(&job, track.c_str(), &plan, kStars), kRatingSaving);
  int calls = 0;
  while (!rewriteReadyToPlace(&job) && calls < 1000) {
    ASSERT_EQ(continueRewrite(&job, 1024), kRatingSaving);
    ++calls;
  }
  ASSERT_TRUE(rewriteReadyToPlace(&job));
  EXPECT_EQ(bytesOf(track), old);
  RewriteRecord open[2];
  ASSERT_EQ(openRewriteNotes(track.c_str(), open, 2), 1);
  EXPECT_EQ(open[0].step, kStepCopying);
  releaseRewriteRecord(&open[0]);
  EXPECT_EQ(continueRewrite(&job, 1024), kRatingSaved);
  EXPECT_EQ(bytesOf(track), "NEW" + old);
  EXPECT_EQ(memoryFileNamesIn(kMusic), std::vector<std::wstring>{L"song.mp3"});
  EXPECT_EQ(openNotes(), 0);
}

// ---- A journal that is missing, short, corrupt or names what is not the store's ----

const std::wstring kTrack = kMusic + L"song.mp3";
const std::wstring kCopy = kTrack + L".vimbrel-new";

// A track, the complete copy that was to replace it, and a note saying so.
struct Interrupted {
  std::string track = mp3WithRating(1);
  std::string copy = mp3WithRating(255) + "and a longer tail";
  RewriteRecord note = RewriteRecord();
};

void layOutInterrupted(Interrupted* at, const std::wstring& copyName) {
  memoryFilesReset();
  memoryAddFolder(kMusic);
  memoryAddFolder(kSettings);
  memoryPutFile(kTrack, at->track);
  memoryPutFile(kCopy, at->copy);
  setRewriteJournal(kJournal.c_str());
  PathInfo info = pathInfo(kTrack.c_str(), nullptr);
  at->note.route = kRouteNewFile;
  at->note.step = kStepCopyChecked;
  at->note.stars = 5;
  at->note.ratingOffset = kRatingOffsetUnknown;
  at->note.trackSize = info.size;
  at->note.trackTime = info.lastWriteTime;
  at->note.newSize = at->copy.size();
  at->note.track = const_cast<wchar_t*>(kTrack.c_str());
  at->note.copy = const_cast<wchar_t*>(copyName.c_str());
  ASSERT_TRUE(noteRewrite(&at->note));
  at->note.track = at->note.copy = nullptr;
}

// The store starts again on what is there; the files afterwards, by name.
std::map<std::wstring, std::string> recoveredFiles() {
  memoryRestart();
  setRewriteJournal(kJournal.c_str());
  RewriteJob job;
  if (recoverJournaledRewrites(nullptr, &job, kSlicedRewriteFrom) == kRatingSaving) finishRewrite(&job);
  std::map<std::wstring, std::string> files;
  for (const std::wstring& name : memoryFileNamesIn(kMusic)) files[name] = bytesOf(kMusic + name);
  return files;
}

TEST_F(RatingCrash, JournalThatCannotBeTrusted) {
  Interrupted interrupted;
  const std::map<std::wstring, std::string> untouched = {{L"song.mp3", interrupted.track},
                                                         {L"song.mp3.vimbrel-new", interrupted.copy}};
  const std::map<std::wstring, std::string> recovered = {{L"song.mp3", interrupted.copy}};

  // As written, the journal is followed: the complete copy takes the track's place.
  layOutInterrupted(&interrupted, kCopy);
  std::string journal = bytesOf(kJournal);
  EXPECT_EQ(recoveredFiles(), recovered);
  EXPECT_EQ(bytesOf(kJournal), "") << "the journal was not cut once nothing was open";

  // Cut anywhere before the note's end, or changed in any byte of it, it names nothing:
  // the copy, a file the journal no longer names, is neither used nor removed.
  const size_t noteEnd = journal.find(std::string(512, '\0'), 64);
  ASSERT_NE(noteEnd, std::string::npos);
  for (size_t length = 0; length < noteEnd; ++length) {
    layOutInterrupted(&interrupted, kCopy);
    memoryPutFile(kJournal, journal.substr(0, length));
    EXPECT_EQ(recoveredFiles(), untouched) << "journal cut to " << length << " bytes";
  }
  for (size_t at = 0; at < noteEnd; ++at) {
    layOutInterrupted(&interrupted, kCopy);
    std::string changed = journal;
    changed[at] = static_cast<char>(changed[at] ^ 0x20);
    memoryPutFile(kJournal, changed);
    EXPECT_EQ(recoveredFiles(), untouched) << "byte " << at << " of the journal changed";
  }
  uint32_t noise = 7;
  for (size_t size : {1u, 63u, 64u, 511u, 512u, 4096u, 70000u}) {
    std::string garbage;
    for (size_t i = 0; i < size; ++i)
      garbage += static_cast<char>((noise = noise * 1103515245u + 12345u) >> 16);
    for (const std::string& start : {std::string(), std::string("VBJ1")}) {
      layOutInterrupted(&interrupted, kCopy);
      memoryPutFile(kJournal, start + garbage);
      EXPECT_EQ(recoveredFiles(), untouched) << size << " bytes of garbage";
    }
  }

  // Notes that name files the store does not make, or that are gone or changed.
  const struct {
    const char* what;
    std::wstring copyName;
    void (*change)(Interrupted*);
    std::map<std::wstring, std::string> after;
  } notes[] = {
      {"a copy that is the track itself", kTrack, nullptr, untouched},
      {"a copy of another name", kMusic + L"other.mp3", nullptr, untouched},
      {"a copy in another folder", kSettings + L"song.mp3.vimbrel-new", nullptr, untouched},
      {"a copy with the backup's name", kTrack + L".vimbrel-old", nullptr, untouched},
      {"a copy that is gone",
       kCopy,
       [](Interrupted*) { deleteFileAt(kCopy.c_str()); },
       {{L"song.mp3", interrupted.track}}},
      {"a track that changed since",
       kCopy,
       [](Interrupted*) { memoryPutFile(kTrack, mp3WithRating(64)); },
       {{L"song.mp3", mp3WithRating(64)}}},
      {"a track that is gone", kCopy, [](Interrupted*) { deleteFileAt(kTrack.c_str()); }, recovered},
      {"a copy of another length than noted",
       kCopy,
       [](Interrupted* at) { memoryPutFile(kCopy, at->copy + "x"); },
       {{L"song.mp3", interrupted.track}}},
  };
  for (const auto& note : notes) {
    layOutInterrupted(&interrupted, note.copyName);
    if (note.change) note.change(&interrupted);
    EXPECT_EQ(recoveredFiles(), note.after) << note.what;
    EXPECT_EQ(openNotes(), 0) << note.what;
  }
}

// A journal that grows long moves its open notes to a fresh file in one rename; a power cut
// at any step of that keeps the open note, in the old file or the new.
TEST_F(RatingCrash, LongJournalKeepsItsOpenNotes) {
  Interrupted interrupted;
  const size_t kLongJournal = 64 * 1024;
  for (int step = 0;; ++step) {
    layOutInterrupted(&interrupted, kCopy);
    RewriteRecord other = interrupted.note;
    other.id = 0;
    other.step = kStepCopying;
    other.track = const_cast<wchar_t*>(L"C:\\music\\other.mp3");
    other.copy = const_cast<wchar_t*>(L"C:\\music\\other.mp3.vimbrel-new");
    // Rewrites that ended, until the next note moves the open ones (the notes end a
    // zeroed sector before the file does).
    while (bytesOf(kJournal).size() < kLongJournal + 512) {
      ASSERT_TRUE(noteRewrite(&other));
      closeRewriteNote(&other);
    }
    memoryRestart();
    setRewriteJournal(kJournal.c_str());
    memoryCutPowerAt(step, kSomeUnflushedSurvive, static_cast<uint32_t>(step), true);
    noteRewrite(&other);  // moves the open notes first
    const bool cut = !memoryPowerIsOn();
    memoryRestart();
    setRewriteJournal(kJournal.c_str());
    RewriteRecord open[4];
    const int count = openRewriteNotes(kTrack.c_str(), open, 4);
    ASSERT_EQ(count, 1) << "power cut at step " << step;
    EXPECT_EQ(open[0].step, kStepCopyChecked);
    EXPECT_EQ(std::wstring(open[0].copy), kCopy);
    EXPECT_EQ(open[0].newSize, interrupted.copy.size());
    releaseRewriteRecord(&open[0]);
    if (!cut) {
      EXPECT_LT(bytesOf(kJournal).size(), 8u * 1024) << "the journal did not shrink";
      break;
    }
  }
}

TEST_F(RatingCrash, InPlace) { crashEvery("in place"); }
TEST_F(RatingCrash, NewFrameInPadding) { crashEvery("new frame in padding"); }
TEST_F(RatingCrash, EditorReplace) { crashEvery("editor, replace"); }
TEST_F(RatingCrash, EditorCopyBack) { crashEvery("editor, copy back"); }
TEST_F(RatingCrash, EditorInPlace) { crashEvery("editor, in place"); }
TEST_F(RatingCrash, Id3libTag) { crashEvery("id3lib's tag"); }
TEST_F(RatingCrash, FlacInPlace) { crashEvery("FLAC in place"); }
TEST_F(RatingCrash, FlacAnew) { crashEvery("FLAC anew"); }
TEST_F(RatingCrash, OggInPlace) { crashEvery("Ogg in place"); }
TEST_F(RatingCrash, OggAnew) { crashEvery("Ogg anew"); }
TEST_F(RatingCrash, ChunksInPlace) { crashEvery("WAV/AIFF in place"); }
TEST_F(RatingCrash, ChunksAnew) { crashEvery("WAV/AIFF anew"); }
TEST_F(RatingCrash, Mp4InPlace) { crashEvery("MP4 in place"); }
TEST_F(RatingCrash, Mp4Anew) { crashEvery("MP4 anew"); }
TEST_F(RatingCrash, WmaInPlace) { crashEvery("WMA in place"); }
TEST_F(RatingCrash, WmaAnew) { crashEvery("WMA anew"); }

}  // namespace
