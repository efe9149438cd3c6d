// SPDX-License-Identifier: LGPL-2.1-or-later
// A chosen rating that means writing a large file anew goes on in slices from a
// timer: the icon shows it at once, the tooltip the progress, and quitting
// meanwhile never leaves the file half written.
#include "rating/store/rewrite_journal.h"
#include "support/scratch.h"
#include "support/tag_files.h"
#include "support/test_host.h"

namespace {

// An ID3v2.4 tag without room for a POPM frame, before 40 MB of audio: the
// tag must grow, so the whole file is written anew.
std::string largeFileWithoutRoom() {
  const std::string title = "TIT2" + syncsafe(6) + std::string(2, '\0') + std::string("\0Title", 6);
  const std::string tag = std::string("ID3\x04\0\0", 6) + syncsafe(static_cast<uint32_t>(title.size())) + title;
  std::string audio = mpegAudio(8);
  while (audio.size() < 40u * 1024 * 1024) audio += audio;
  return tag + audio;
}

class PendingSave : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    realTimers = true;
    path = folder + "large.mp3";
    original = largeFileWithoutRoom();
    writeFileBytes(path, original);
    PlaylistEntry entry;
    entry.path = path;
    entry.title = L"Large";
    g_host.playlist.push_back(entry);
    layOutBeforeStart();
    startPlugin();
    // The title, from a refresh.
    sendToHost(WM_USER, 2, 603);
    for (DWORD start = GetTickCount(); tip().empty() && GetTickCount() - start < 3000; Sleep(10)) pumpMessages();
  }
  virtual void layOutBeforeStart() {}
  std::wstring tip() { return lastTray().data.szTip; }
  bool saving() { return tip().find(L"Saving rating\x2026 ") != std::wstring::npos; }
  // Runs the player's message loop until the save has come at least that far.
  void pumpUntilProgress(int percent) {
    const DWORD start = GetTickCount();
    while (saving() && GetTickCount() - start < 60000) {
      const std::wstring text = tip();
      if (_wtoi(text.c_str() + text.rfind(L' ', text.size() - 3) + 1) >= percent) return;
      pumpMessages();
      Sleep(5);
    }
  }
  bool onlyTheFileInItsFolder() {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(widen(folder + "*.mp3*").c_str(), &found);
    int files = 0;
    if (search != INVALID_HANDLE_VALUE) {
      do ++files;
      while (FindNextFileW(search, &found));
      FindClose(search);
    }
    return files == 1;
  }
  std::string journal() { return folder + "Plugins\\gen_id3vimbrel.journal"; }
  // The journal beside the settings was written and names no rewrite under way any more.
  bool journalNamesNothingOpen() {
    if (!fileExists(journal())) return false;
    const std::wstring journalPath = widen(journal());
    setRewriteJournal(journalPath.c_str());
    RewriteRecord open[1];
    const int count = openRewriteNotes(nullptr, open, 1);
    if (count) releaseRewriteRecord(&open[0]);
    setRewriteJournal(nullptr);
    return count == 0;
  }
  std::string path, original;
};

TEST_F(PendingSave, TheIconShowsTheChoiceAtOnceAndTheFileHoldsTheLastChoiceAtTheEnd) {
  chooseStars(2);
  EXPECT_EQ(lastTray().stars, 2);
  EXPECT_TRUE(saving()) << "the tooltip shows no progress";
  EXPECT_EQ(tip().rfind(L"Large\n", 0), 0u) << "the progress follows the title";
  chooseStars(5);  // a second choice while the first is being written
  EXPECT_EQ(lastTray().stars, 5);
  pumpUntilProgress(100);
  EXPECT_FALSE(saving());
  const std::string written = readFileBytes(path);
  EXPECT_EQ(popmRatingByte(written), 255);
  EXPECT_EQ(written.substr(written.size() - (original.size() - 26)), original.substr(26)) << "the audio changed";
  EXPECT_TRUE(onlyTheFileInItsFolder());
  EXPECT_TRUE(journalNamesNothingOpen());
}

// A hotkey step while the file is being written counts from the rating being
// written and replaces it, as a second choice does; the media library hears of
// the file once, when it holds the rating.
TEST_F(PendingSave, AHotkeyStepCountsFromTheRatingBeingWrittenAndTheLibraryHearsOnceAtTheEnd) {
  chooseStars(2);
  pressHotkey("id3vimbrel rate up");
  EXPECT_EQ(lastTray().stars, 3);
  EXPECT_TRUE(saving());
  EXPECT_TRUE(g_harness.ratedPaths.empty()) << "told before the file holds the rating";
  pumpUntilProgress(100);
  EXPECT_FALSE(saving());
  EXPECT_EQ(popmRatingByte(readFileBytes(path)), 128);
  EXPECT_EQ(g_harness.ratedPaths, std::vector<std::wstring>{widen(path)});
  EXPECT_TRUE(onlyTheFileInItsFolder());
  EXPECT_TRUE(journalNamesNothingOpen());
}

TEST_F(PendingSave, QuitBeforeTheCopyIsCheckedLeavesTheFileAsItWas) {
  chooseStars(3);
  pumpUntilProgress(10);
  quitPlugin();
  EXPECT_EQ(readFileBytes(path), original);
  EXPECT_TRUE(onlyTheFileInItsFolder());
  EXPECT_TRUE(journalNamesNothingOpen());
}

TEST_F(PendingSave, QuitDuringTheCopyBackFinishesIt) {
  // The player holds the file without delete sharing: the checked copy cannot
  // replace it and is copied back over it.
  HANDLE player = CreateFileW(platformForm(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(player, INVALID_HANDLE_VALUE);
  chooseStars(4);
  pumpUntilProgress(70);
  ASSERT_TRUE(saving()) << "the copy back ended before the quit";
  quitPlugin();
  CloseHandle(player);
  const std::string written = readFileBytes(path);
  EXPECT_EQ(popmRatingByte(written), 160);
  EXPECT_EQ(written.substr(written.size() - (original.size() - 26)), original.substr(26));
  EXPECT_TRUE(onlyTheFileInItsFolder());
  EXPECT_TRUE(journalNamesNothingOpen());
}

// A copy back that a crash cut short: the journal names the complete copy, the track is
// half written, and the player holds it again when it starts.
class InterruptedCopyBack : public PendingSave {
 protected:
  void layOutBeforeStart() override {
    const std::string title = original.substr(10, 16);
    const std::string popm = "POPM" + syncsafe(12) + std::string(2, '\0') + std::string("ID3Vimbrel\0\xA0", 12);
    const std::string frames = title + popm + std::string(2048, '\0');
    written = std::string("ID3\x04\0\0", 6) + syncsafe(static_cast<uint32_t>(frames.size())) + frames +
              original.substr(26);
    writeFileBytes(path, written.substr(0, 10 << 20) + original.substr(10 << 20));
    writeFileBytes(path + ".vimbrel-new", written);
    const std::wstring track = widen(path);
    const std::wstring copy = widen(path + ".vimbrel-new");
    const std::wstring journalPath = widen(journal());
    RewriteRecord note = RewriteRecord();
    note.route = kRouteNewFile;
    note.step = kStepCopyingBack;
    note.stars = 4;
    note.ratingOffset = 10 + 16 + 10 + 11;
    note.trackSize = original.size();
    note.newSize = written.size();
    note.track = const_cast<wchar_t*>(track.c_str());
    note.copy = const_cast<wchar_t*>(copy.c_str());
    setRewriteJournal(journalPath.c_str());
    ASSERT_TRUE(noteRewrite(&note));
    setRewriteJournal(nullptr);
    player = CreateFileW(platformForm(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(player, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (player != INVALID_HANDLE_VALUE) CloseHandle(player);
    PendingSave::TearDown();
  }
  std::string written;
  HANDLE player = INVALID_HANDLE_VALUE;
};

TEST_F(InterruptedCopyBack, GoesOnAtTheNextStartWithTheTooltipsProgress) {
  EXPECT_TRUE(saving()) << "the tooltip shows no progress";
  // Once the refresh has come, the icon shows the rating being written.
  for (DWORD start = GetTickCount(); tip().rfind(L"Large", 0) != 0 && GetTickCount() - start < 3000; Sleep(5))
    pumpMessages();
  EXPECT_EQ(lastTray().stars, 4);
  pumpUntilProgress(100);
  EXPECT_FALSE(saving());
  CloseHandle(player);
  player = INVALID_HANDLE_VALUE;
  EXPECT_TRUE(readFileBytes(path) == written) << "the track is not the new file";
  EXPECT_TRUE(onlyTheFileInItsFolder());
  EXPECT_TRUE(journalNamesNothingOpen());
}

}  // namespace
