// SPDX-License-Identifier: LGPL-2.1-or-later
// Start, switch off and on, and stop, as the player drives them.
#include <string.h>

#include "support/test_host.h"

namespace {

using Lifecycle = PluginTest;

void expectActiveRecord(const TrayCall& call, int stars) {
  EXPECT_EQ(call.data.cbSize, 936u);
  EXPECT_EQ(call.data.hWnd, g_host.window);
  EXPECT_EQ(call.data.uID, 4538u);
  EXPECT_EQ(call.data.uFlags, 7u);
  EXPECT_EQ(call.data.uCallbackMessage, 0x20F4u);
  EXPECT_EQ(call.stars, stars);
}

TEST_F(Lifecycle, FirstStartAddsTheZeroStarIconOnceThenModifiesIt) {
  startPlugin();
  ASSERT_EQ(g_harness.tray.size(), 1u);
  EXPECT_EQ(g_harness.tray[0].action, static_cast<DWORD>(NIM_ADD));
  expectActiveRecord(g_harness.tray[0], 0);
  EXPECT_EQ(g_harness.tray[0].data.szTip[0], L'\0');

  sendToHost(WM_USER, 2, 639);
  ASSERT_EQ(g_harness.tray.size(), 2u);
  EXPECT_EQ(g_harness.tray[1].action, static_cast<DWORD>(NIM_MODIFY));
  expectActiveRecord(g_harness.tray[1], 2);
}

TEST_F(Lifecycle, TheTrayPictureHasTheSmallIconSizeOfTheDisplayScale) {
  const DisplayScale scale = displayScale();
  EXPECT_EQ(GetSystemMetrics(SM_CXSMICON), scale.smallIcon);
  startPlugin();
  for (WPARAM stars = 0; stars <= 5; ++stars) {
    sendToHost(WM_USER, stars, 639);
    EXPECT_EQ(lastTray().stars, static_cast<int>(stars));
    EXPECT_EQ(lastTray().iconSize.cx, scale.smallIcon) << stars;
    EXPECT_EQ(lastTray().iconSize.cy, scale.smallIcon) << stars;
  }
}

TEST_F(Lifecycle, SwitchedOffInTheSettingsFileShowsNoIconAndPassesEverythingOn) {
  writeSettings(L"Active", L"0");
  startPlugin();
  ASSERT_EQ(g_harness.tray.size(), 1u);
  EXPECT_EQ(g_harness.tray[0].action, static_cast<DWORD>(NIM_DELETE));
  EXPECT_EQ(g_harness.tray[0].data.uFlags, 0u);

  struct {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
  } messages[] = {
      {0x20F4, 4538, WM_LBUTTONUP},
      {0x20F4, 4538, WM_RBUTTONUP},
      {WM_USER, 0, 603},
      {WM_USER, 4, 639},
      {WM_USER, 0, 3002},
      {taskbarCreatedMessage(), 0, 0},
      {WM_COMMAND, 11003, 0},
      {WM_COMMAND, 11010, 0},  // the hotkey actions "one star more" and "one star less"
      {WM_COMMAND, 11011, 0},
  };
  for (const auto& m : messages) {
    g_host.received.clear();
    sendToHost(m.message, m.wParam, m.lParam);
    ASSERT_EQ(g_host.received.size(), 1u) << "message " << m.message;
    EXPECT_EQ(g_host.received[0].wParam, m.wParam);
    EXPECT_EQ(g_host.received[0].lParam, m.lParam);
  }
  EXPECT_EQ(g_harness.tray.size(), 1u);
  EXPECT_TRUE(g_harness.boxes.empty());
}

TEST_F(Lifecycle, StartPostsEightHotkeyActionsWithTheirIdsAndUtf16Names) {
  startPlugin();
  bool registered = false;
  for (const HostMessageRecord& r : g_host.received)
    registered |= r.message == WM_USER && r.lParam == 65536 &&
                  strcmp(reinterpret_cast<const char*>(r.wParam), "GenHotkeysAdd") == 0;
  EXPECT_TRUE(registered) << "the hotkeys message was not registered by name";
  EXPECT_TRUE(g_host.hotkeys.empty()) << "sent, not posted";
  pumpMessages();
  const struct {
    const char* id;
    const wchar_t* name;
    WPARAM command;
  } expected[] = {
      {"id3vimbrel rate 1", L"ID3 Vimbrel: rate playing track 1 star", 11001},
      {"id3vimbrel rate 2", L"ID3 Vimbrel: rate playing track 2 stars", 11002},
      {"id3vimbrel rate 3", L"ID3 Vimbrel: rate playing track 3 stars", 11003},
      {"id3vimbrel rate 4", L"ID3 Vimbrel: rate playing track 4 stars", 11004},
      {"id3vimbrel rate 5", L"ID3 Vimbrel: rate playing track 5 stars", 11005},
      {"id3vimbrel rate 0", L"ID3 Vimbrel: remove rating of playing track", 11000},
      {"id3vimbrel rate up", L"ID3 Vimbrel: one star more", 11010},
      {"id3vimbrel rate down", L"ID3 Vimbrel: one star less", 11011},
  };
  ASSERT_EQ(g_host.hotkeys.size(), 8u);
  for (size_t i = 0; i < 8; ++i) {
    const HotkeyAction& action = g_host.hotkeys[i].action;
    SCOPED_TRACE(expected[i].id);
    EXPECT_STREQ(action.id, expected[i].id);
    EXPECT_STREQ(reinterpret_cast<const wchar_t*>(action.name), expected[i].name);
    EXPECT_EQ(action.flags, 0x100u);
    EXPECT_EQ(action.uMsg, static_cast<UINT>(WM_COMMAND));
    EXPECT_EQ(action.wParam, expected[i].command);
    EXPECT_EQ(action.lParam, 0);
    EXPECT_EQ(action.wnd, nullptr);
    for (int word : action.extended) EXPECT_EQ(word, 0);
  }
}

TEST_F(Lifecycle, WithoutAHotkeysPluginNoActionIsPosted) {
  g_host.hotkeysPlugin = false;
  startPlugin();
  g_host.received.clear();
  pumpMessages();
  for (const HostMessageRecord& r : g_host.received)
    EXPECT_NE(r.message, static_cast<UINT>(WM_USER)) << r.lParam;
  EXPECT_TRUE(g_host.hotkeys.empty());
}

TEST_F(Lifecycle, ConfigAsksOwnedByTheDialogWindowAndTogglesOnYes) {
  HWND owner = CreateWindowW(L"STATIC", L"owner", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  g_host.dialogOwner = owner;
  startPlugin();
  sendToHost(WM_USER, 4, 639);

  g_harness.boxAnswers = {IDYES};
  g_host.header->config();
  ASSERT_EQ(g_harness.boxes.size(), 1u);
  EXPECT_EQ(g_harness.boxes[0].text, L"Disable plugin?");
  EXPECT_EQ(g_harness.boxes[0].caption, L"ID3 Vimbrel");
  EXPECT_EQ(g_harness.boxes[0].style, 0x24u);
  EXPECT_EQ(g_harness.boxes[0].owner, owner);
  EXPECT_EQ(lastTray().action, static_cast<DWORD>(NIM_DELETE));
  EXPECT_EQ(readSettings(L"Active"), L"0");

  // Switched off, 639 no longer reaches the plugin: the icon comes back with 4 stars.
  sendToHost(WM_USER, 1, 639);
  size_t before = g_harness.tray.size();
  g_harness.boxAnswers = {IDYES};
  g_host.header->config();
  EXPECT_EQ(g_harness.boxes.back().text, L"Activate plugin?");
  ASSERT_EQ(g_harness.tray.size(), before + 1);
  EXPECT_EQ(lastTray().action, static_cast<DWORD>(NIM_ADD));
  expectActiveRecord(lastTray(), 4);
  EXPECT_EQ(readSettings(L"Active"), L"1");
  DestroyWindow(owner);
}

TEST_F(Lifecycle, ConfigNoRewritesTheStoredValueUnchanged) {
  writeSettings(L"Active", L"007");
  startPlugin();
  EXPECT_EQ(lastTray().action, static_cast<DWORD>(NIM_ADD));
  size_t trayCalls = g_harness.tray.size();
  g_harness.boxAnswers = {IDNO};
  g_host.header->config();
  EXPECT_EQ(g_harness.boxes.back().text, L"Disable plugin?");
  EXPECT_EQ(g_harness.tray.size(), trayCalls);
  EXPECT_EQ(readSettings(L"Active"), L"7");
}

TEST_F(Lifecycle, QuitDeletesTheIconRestoresTheWindowAndDestroysTheIcons) {
  startPlugin();
  EXPECT_NE(reinterpret_cast<WNDPROC>(GetWindowLongW(g_host.window, GWL_WNDPROC)), g_harness.originalProc);
  ASSERT_EQ(g_harness.loadedIcons.size(), 12u);
  for (const auto& icon : g_harness.loadedIcons) EXPECT_NE(icon.second, nullptr) << icon.first;

  quitPlugin();
  EXPECT_EQ(lastTray().action, static_cast<DWORD>(NIM_DELETE));
  EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongW(g_host.window, GWL_WNDPROC)), g_harness.originalProc);
  ASSERT_EQ(g_harness.destroyedIcons.size(), 12u);
  for (const auto& icon : g_harness.loadedIcons) {
    bool destroyed = false;
    for (HICON gone : g_harness.destroyedIcons) destroyed |= gone == icon.second;
    EXPECT_TRUE(destroyed) << "icon " << icon.first;
  }
  // The window works on without the plugin.
  g_host.received.clear();
  sendToHost(WM_USER, 3, 639);
  EXPECT_TRUE(hostReceived(WM_USER, 3, 639));
}

TEST_F(Lifecycle, AnAnsiHostWindowIsPassedOnAndRestoredWithTheAnsiCalls) {
  startPlugin(false);
  g_host.received.clear();
  sendToHost(WM_USER, 5, 639);
  EXPECT_TRUE(hostReceived(WM_USER, 5, 639));
  EXPECT_EQ(lastTray().stars, 5);
  quitPlugin();
  EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongA(g_host.window, GWL_WNDPROC)), g_harness.originalProc);
}

}  // namespace
