// SPDX-License-Identifier: LGPL-2.1-or-later
// The tests' player: the stand-in host window plus recorders for the platform
// calls the plugin makes that a test must observe or answer (tray, message
// boxes, settings file, icons). The recorders are installed by rewriting the
// plugin's import table after it is loaded; the DLL itself is the shipped one.
#pragma once

#include "support/scratch.h"

#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "standin/host_core.h"

struct TrayCall {
  DWORD action;          // NIM_ADD, NIM_MODIFY, NIM_DELETE
  NOTIFYICONDATAW data;  // the first cbSize bytes the plugin passed, the rest zero
  int stars;             // which tray icon hIcon is, -1 for none or unknown
  SIZE iconSize;         // hIcon's pixels, 0 x 0 for none
};

struct MessageBoxCall {
  HWND owner;
  std::wstring text;
  std::wstring caption;
  UINT style;
};

struct Harness {
  std::vector<TrayCall> tray;
  std::vector<MessageBoxCall> boxes;
  std::deque<int> boxAnswers;              // answers for the next boxes; IDNO when empty
  void (*whileBoxOpen)() = nullptr;        // runs inside the next message box
  std::vector<std::wstring> profileFiles;  // every settings file path the plugin used
  std::map<int, HICON> loadedIcons;        // resource number -> handle
  std::vector<HICON> destroyedIcons;
  std::vector<std::string> events;  // tray calls and host messages, in order
  WNDPROC originalProc = nullptr;   // the host window's own procedure

  // The refresh timer runs on the test's clock: SetTimer only records the
  // callback, and the test calls tick() to run it at the time it chooses.
  TIMERPROC timerProc = nullptr;
  int timersStarted = 0;
  int timersKilled = 0;
  SYSTEMTIME clock = {2026, 12, 1, 7, 12, 0, 0, 0};
  std::vector<LPARAM> queries;           // WM_USER query numbers the host answered, in order
  std::vector<std::wstring> ratedPaths;  // the paths of message 3005 (the file's tags changed), in order

  // The star menu: TrackPopupMenu records the popup and runs whileMenuOpen,
  // which plays the person (measure, draw, choose).
  int menusTracked = 0;
  HMENU trackedMenu = nullptr;
  std::vector<UINT> menuIds;  // the popup's item ids, top to bottom
  std::vector<std::wstring> menuTexts;
  std::vector<UINT> menuTypes;
  UINT trackFlags = 0;
  POINT trackPoint = {0, 0};
  HWND trackOwner = nullptr;
  int foregroundCalls = 0;
  void (*whileMenuOpen)() = nullptr;
};

extern Harness g_harness;

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates the host window, loads the plugin, installs the recorders, calls init.
  void startPlugin(bool unicodeWindow = true);
  // Calls quit and unloads the plugin.
  void quitPlugin();
  // Writes the plugin's settings file before start.
  void writeSettings(const wchar_t* key, const wchar_t* value);
  std::wstring readSettings(const wchar_t* key);
  // The last tray call, failing the test when there is none.
  const TrayCall& lastTray();

  bool realTimers = false;    // leave SetTimer, KillTimer and GetLocalTime alone
  bool realMenu = false;      // leave TrackPopupMenu alone: the menu's own loop runs
  std::string folder;         // scratch folder of this test
  std::wstring settingsFile;  // where the plugin keeps its settings for this host
};

LRESULT sendToHost(UINT message, WPARAM wParam, LPARAM lParam);
// Clicks the tray icon and chooses the star menu's row of that many stars.
void chooseStars(int stars);
// Runs the player's queue (where the plugin's hotkey actions arrive), then sends the
// action of that id as the Global Hotkeys plugin does when its key is pressed.
void pressHotkey(const char* id);
// Moves the test clock on by that many milliseconds (negative: back).
void advanceClock(int milliseconds);
// Runs the pending refresh timer's callback once, as a 100 ms tick would.
void tick();
// Moves the clock by 100 ms and ticks, while a timer is pending; returns the ticks run.
int tickUntilIdle(int maxTicks = 20);
bool timerPending();
UINT taskbarCreatedMessage();
// An icon's width and height in pixels, 0 x 0 when it is none.
SIZE iconSize(HICON icon);

// What the plugin's pictures measure at the display scale the test runs at:
// VIMBREL_DPI names the prefix's LogPixels (96 when unset), and a test that
// finds the screen at another scale fails.
struct DisplayScale {
  int dpi;
  int smallIcon;     // SM_CXSMICON, the tray picture
  int menuRowWidth;  // before the check-mark room is taken off
  int menuRowHeight;
  int menuPicture;
};
DisplayScale displayScale();
