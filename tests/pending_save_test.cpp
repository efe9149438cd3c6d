// SPDX-License-Identifier: LGPL-2.1-or-later
// A chosen rating that means writing a large file anew goes on in slices from a
// timer: the icon shows it at once, the tooltip the progress, and quitting
// meanwhile never leaves the file half written.
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
    startPlugin();
    // The title, from a refresh.
    sendToHost(WM_USER, 2, 603);
    for (DWORD start = GetTickCount(); tip().empty() && GetTickCount() - start < 3000; Sleep(10)) pumpMessages();
  }
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
  // The journal beside the settings was written and names nothing any more.
  bool journalWrittenAndEmpty() {
    const std::string journal = folder + "Plugins\\gen_id3vimbrel.journal";
    return fileExists(journal) && readFileBytes(journal).empty();
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
  EXPECT_TRUE(journalWrittenAndEmpty());
}

TEST_F(PendingSave, QuitBeforeTheCopyIsCheckedLeavesTheFileAsItWas) {
  chooseStars(3);
  pumpUntilProgress(10);
  quitPlugin();
  EXPECT_EQ(readFileBytes(path), original);
  EXPECT_TRUE(onlyTheFileInItsFolder());
  EXPECT_TRUE(journalWrittenAndEmpty());
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
  EXPECT_TRUE(journalWrittenAndEmpty());
}

}  // namespace
