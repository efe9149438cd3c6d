// SPDX-License-Identifier: LGPL-2.1-or-later
// The icon follows the player: announcements schedule one refresh that reads
// the current entry's rating and title once they have been quiet for 100 ms.
#include "support/scratch.h"
#include "support/tag_files.h"
#include "support/test_host.h"

namespace {

class Refresh : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    addEntry("first.mp3", 128, L"First song");    // 3 stars
    addEntry("second.mp3", 255, L"Second song");  // 5 stars
  }
  void addEntry(const char* name, int ratingByte, const wchar_t* title) {
    PlaylistEntry entry;
    entry.path = folder + name;
    entry.title = title;
    writeFileBytes(entry.path, mp3WithRating(ratingByte));
    g_host.playlist.push_back(entry);
  }
  int pathQueries() {
    int count = 0;
    for (LPARAM q : g_harness.queries) count += q == 211 || q == 214;
    return count;
  }
};

TEST_F(Refresh, TenAnnouncementsTwentyMsApartGiveOneRefreshAfterTheLast) {
  startPlugin();
  int lastAnnouncement = -1, refreshedAt = -1;
  for (int t = 0; t <= 1000; t += 10) {
    if (t % 20 == 0 && t <= 180) {
      sendToHost(WM_USER, 2, 603);
      lastAnnouncement = t;
    }
    if (t > 0 && t % 100 == 0 && timerPending()) {
      tick();
      if (refreshedAt < 0 && pathQueries() > 0) refreshedAt = t;
    }
    advanceClock(10);
  }
  EXPECT_EQ(pathQueries(), 1);
  EXPECT_EQ(g_harness.timersStarted, 1);
  EXPECT_EQ(g_harness.timersKilled, 1);
  EXPECT_GE(refreshedAt - lastAnnouncement, 100);
  EXPECT_LE(refreshedAt - lastAnnouncement, 200);
  EXPECT_EQ(lastTray().stars, 3);
}

TEST_F(Refresh, OneAnnouncementRefreshesAtTheFirstTickWithAHundredMsPassed) {
  startPlugin();
  sendToHost(WM_USER, 0, 3002);
  advanceClock(99);
  tick();
  EXPECT_EQ(pathQueries(), 0);
  EXPECT_TRUE(timerPending());
  advanceClock(1);
  tick();
  EXPECT_EQ(pathQueries(), 1);
  EXPECT_FALSE(timerPending());
}

TEST_F(Refresh, ANewTitleWhilePlayingIsAnnouncedAsARatingChangeFirst) {
  g_host.playing = 1;
  startPlugin();
  g_harness.events.clear();
  sendToHost(WM_USER, 0, 603);
  ASSERT_EQ(g_harness.events.size(), 2u);
  EXPECT_EQ(g_harness.events[0], "host 603/6");
  EXPECT_EQ(g_harness.events[1], "host 603/0");
  EXPECT_TRUE(timerPending());
}

TEST_F(Refresh, ANewTitleWhileStoppedOnlySchedulesTheRefresh) {
  startPlugin();
  g_harness.events.clear();
  sendToHost(WM_USER, 0, 603);
  ASSERT_EQ(g_harness.events.size(), 1u);
  EXPECT_EQ(g_harness.events[0], "host 603/0");
  EXPECT_TRUE(timerPending());
}

TEST_F(Refresh, OnlyTheAnnouncementsOfChangeScheduleARefresh) {
  startPlugin();
  for (WPARAM other : {1u, 3u, 5u, 7u}) sendToHost(WM_USER, other, 603);
  EXPECT_FALSE(timerPending());
  sendToHost(WM_USER, 6, 603);
  EXPECT_TRUE(timerPending());
}

TEST_F(Refresh, TheIconShowsTheFilesRatingAndTheTitleAfterAQueryInOrder) {
  startPlugin();
  g_host.current = 1;
  g_harness.queries.clear();
  sendToHost(WM_USER, 2, 603);
  tickUntilIdle();
  std::vector<LPARAM> expected = {125, 214, 213};
  EXPECT_EQ(g_harness.queries, expected);
  EXPECT_EQ(lastTray().action, static_cast<DWORD>(NIM_MODIFY));
  EXPECT_EQ(lastTray().stars, 5);
  EXPECT_STREQ(lastTray().data.szTip, L"Second song");
}

TEST_F(Refresh, ALongTitleShowsItsFirst127Characters) {
  std::wstring title;
  for (int i = 0; i < 200; ++i) title += static_cast<wchar_t>(L'a' + i % 26);
  g_host.playlist[0].title = title;
  startPlugin();
  sendToHost(WM_USER, 2, 603);
  tickUntilIdle();
  EXPECT_EQ(std::wstring(lastTray().data.szTip), title.substr(0, 127));
}

TEST_F(Refresh, WhatCannotBeReadShowsZeroStarsAndAnEmptyTooltip) {
  startPlugin();
  sendToHost(WM_USER, 5, 639);
  g_host.playlist[0].path = folder + "missing.mp3";
  sendToHost(WM_USER, 2, 603);
  tickUntilIdle();
  EXPECT_EQ(lastTray().stars, 0);
  EXPECT_STREQ(lastTray().data.szTip, L"First song");

  // No current entry: neither a path nor a title.
  sendToHost(WM_USER, 5, 639);
  g_host.playlist[0].hasPath = false;
  g_host.playlist[0].hasTitle = false;
  sendToHost(WM_USER, 2, 603);
  tickUntilIdle();
  EXPECT_EQ(lastTray().stars, 0);
  EXPECT_STREQ(lastTray().data.szTip, L"");
}

TEST_F(Refresh, AClockSetBackLetsThePendingRefreshRun) {
  startPlugin();
  sendToHost(WM_USER, 2, 603);
  advanceClock(-500);
  tick();
  EXPECT_EQ(pathQueries(), 1);
  EXPECT_FALSE(timerPending());
}

TEST_F(Refresh, SwitchedOffAPendingRefreshStillReadsAndDeletesTheIcon) {
  startPlugin();
  sendToHost(WM_USER, 2, 603);
  g_harness.boxAnswers = {IDYES};
  g_host.header->config();
  ASSERT_TRUE(timerPending());
  tickUntilIdle();
  EXPECT_EQ(pathQueries(), 1);
  EXPECT_EQ(lastTray().action, static_cast<DWORD>(NIM_DELETE));
}

TEST_F(Refresh, QuitStopsThePendingTimer) {
  startPlugin();
  sendToHost(WM_USER, 2, 603);
  ASSERT_TRUE(timerPending());
  quitPlugin();
  EXPECT_FALSE(timerPending());
  EXPECT_EQ(g_harness.timersKilled, 1);
}

// With the platform's own timer: the refresh comes through the message loop,
// and after quit and unload no callback reaches the gone module.
TEST_F(Refresh, RealTimerRefreshesAndNeverFiresAfterUnload) {
  realTimers = true;
  startPlugin();
  sendToHost(WM_USER, 2, 603);
  DWORD start = GetTickCount();
  while (pathQueries() == 0 && GetTickCount() - start < 3000) {
    pumpMessages();
    Sleep(5);
  }
  EXPECT_EQ(pathQueries(), 1);
  EXPECT_EQ(lastTray().stars, 3);

  // The platform swallows a fault in a timer callback, so a callback into the
  // unmapped module would go unseen: a reference of the test's own keeps the
  // code mapped and makes a stray refresh show up as a query.
  HMODULE extra = LoadLibraryW(findPluginDll().c_str());
  sendToHost(WM_USER, 2, 603);
  quitPlugin();  // the player's FreeLibrary
  int queriesAtQuit = pathQueries();
  start = GetTickCount();
  while (GetTickCount() - start < 500) {
    pumpMessages();
    Sleep(10);
  }
  EXPECT_EQ(pathQueries(), queriesAtQuit);
  FreeLibrary(extra);
  pumpMessages();
}

}  // namespace
