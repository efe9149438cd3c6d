// SPDX-License-Identifier: LGPL-2.1-or-later
// What the hook on the player's window does with the messages it sees.
#include "support/test_host.h"

namespace {

using WindowHook = PluginTest;

TEST_F(WindowHook, SetRatingShowsThatManyStarsAndStillReachesThePlayer) {
  startPlugin();
  g_host.received.clear();
  sendToHost(WM_USER, 4, 639);
  EXPECT_TRUE(hostReceived(WM_USER, 4, 639));
  EXPECT_EQ(lastTray().action, static_cast<DWORD>(NIM_MODIFY));
  EXPECT_EQ(lastTray().stars, 4);
}

TEST_F(WindowHook, SetRatingOutsideZeroToFiveKeepsTheRatingAndReachesThePlayer) {
  startPlugin();
  sendToHost(WM_USER, 3, 639);
  size_t trayCalls = g_harness.tray.size();
  for (WPARAM bad : {static_cast<WPARAM>(6), static_cast<WPARAM>(1000), static_cast<WPARAM>(-1)}) {
    g_host.received.clear();
    sendToHost(WM_USER, bad, 639);
    EXPECT_TRUE(hostReceived(WM_USER, bad, 639));
  }
  EXPECT_EQ(g_harness.tray.size(), trayCalls);
  // The next update still shows the last good rating.
  sendToHost(taskbarCreatedMessage(), 0, 0);
  EXPECT_EQ(lastTray().stars, 3);
}

TEST_F(WindowHook, CommandsOutsideTheStarRowsReachThePlayer) {
  startPlugin();
  for (WPARAM id : {10999u, 11006u, 11009u, 11012u, 0u}) {
    g_host.received.clear();
    sendToHost(WM_COMMAND, id, 0);
    EXPECT_TRUE(hostReceived(WM_COMMAND, id, 0)) << id;
  }
}

TEST_F(WindowHook, TaskbarCreatedAddsTheIconAnewAfterThePlayerHandledIt) {
  startPlugin();
  sendToHost(WM_USER, 2, 639);
  g_harness.events.clear();
  sendToHost(taskbarCreatedMessage(), 0, 0);
  ASSERT_EQ(g_harness.events.size(), 2u);
  EXPECT_EQ(g_harness.events[0], "host taskbar");
  EXPECT_EQ(g_harness.events[1], "tray add 2");
}

// A player that quits and unloads the plugin inside its own handler of a
// message the hook passed on: the hook's code must still be there to return to.
TEST_F(WindowHook, QuitAndUnloadWhileThePlayerHandlesAPassedOnMessageDoNotCrash) {
  startPlugin();
  g_host.onMessage = [](const HostMessageRecord& r) {
    if (r.message != WM_APP || !g_host.plugin) return;
    g_host.header->quit();
    FreeLibrary(g_host.plugin);
    g_host.plugin = nullptr;
    g_host.header = nullptr;
  };
  sendToHost(WM_APP, 1, 2);
  EXPECT_EQ(g_host.plugin, nullptr);
  EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongW(g_host.window, GWL_WNDPROC)), g_harness.originalProc);
  g_host.received.clear();
  sendToHost(WM_USER, 3, 639);
  EXPECT_TRUE(hostReceived(WM_USER, 3, 639));
}

TEST_F(WindowHook, UnrelatedMessagesPassThroughUnchanged) {
  startPlugin();
  size_t trayCalls = g_harness.tray.size();
  struct {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
  } messages[] = {
      {WM_USER, 7, 604},
      {WM_USER + 1, 4, 639},
      {WM_APP, 1, 2},
      {0x20F4, 4538, WM_MOUSEMOVE},
      {WM_DRAWITEM, 0, 0},  // no record: not an owner-drawn item
      {WM_MEASUREITEM, 0, 0},
  };
  for (const auto& m : messages) {
    g_host.received.clear();
    sendToHost(m.message, m.wParam, m.lParam);
    EXPECT_TRUE(hostReceived(m.message, m.wParam, m.lParam)) << m.message;
  }
  EXPECT_EQ(g_harness.tray.size(), trayCalls);
}

}  // namespace
