// SPDX-License-Identifier: LGPL-2.1-or-later
// A stand-in for the media player: a main window that answers the plugin's
// queries from a playlist, loads the plugin and calls its callbacks. Used by the
// stand-in host program and by the tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "host/plugin.h"
#include "standin/hotkeys_host.h"
#include "standin/library_host.h"
#include "standin/prefs_host.h"

struct PlaylistEntry {
  std::string path;       // 8-bit text, as the player gives it to query 211
  std::wstring widePath;  // query 214; when empty, `path` read in the system code page
  std::wstring title;
  bool hasPath = true;   // false: query 211 answers no address
  bool hasTitle = true;  // false: query 213 answers no address
};

struct HostMessageRecord {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

struct StandinHost {
  HWND window = nullptr;
  HMODULE plugin = nullptr;
  PluginHeader* header = nullptr;
  std::vector<PlaylistEntry> playlist;
  int current = 0;
  int playing = 0;
  std::string iniPath;                                    // answered to query 334
  std::wstring wideIniPath;                               // query 1334; when empty, iniPath widened
  bool answersWide = true;                                // false: 214 and 1334 answer 1, as older players do
  bool iniPathGiven = true;                               // false: query 334 answers no address
  HWND dialogOwner = nullptr;                             // answered to query 365; the main window when null
  std::vector<HostMessageRecord> received;                // what reached the host's own procedure
  void (*onMessage)(const HostMessageRecord&) = nullptr;  // optional observer
  bool closeRequested = false;                            // the person closed the main window
  bool hotkeysPlugin = true;                              // false: no Global Hotkeys, its name registers as 0
  std::vector<KeptHotkey> hotkeys;                        // actions plugins added, in order
  void (*onHotkeyAdded)(const KeptHotkey&) = nullptr;     // optional observer
  StandinLibrary library;                                 // the media library, when the player has one
  std::vector<int> selection;                             // the playlist's selected indices, ascending
  StandinPrefs prefs;                                     // pages plugins added, the one shown
  void (*onLog)(const char* line) = nullptr;              // optional observer of what the player does
  bool servicesAnswerOne = false;                         // 3025 answers 1, as a player without services
};

extern StandinHost g_host;

// Creates the main window; unicode selects a W or an A window class.
HWND createHostWindow(bool unicode);
void destroyHostWindow();
// Loads the plugin DLL and fills the header; does not call init.
bool loadPlugin(const wchar_t* dllPath);
void unloadPlugin();
// The folder of the running program, with a trailing backslash.
std::wstring programFolder();
// The plugin DLL at Plugins\gen_id3vimbrel.dll beside the host program, or, for
// the tests, in ..\player\Plugins.
std::wstring findPluginDll();
// What a player with only 8-bit names gives for a UTF-16 path: the system code
// page's best fit, which may name another file.
std::string bestFitPath(const std::wstring& path);
// Sends a WM_USER notification to the main window, as the player does.
LRESULT notifyHost(int number, WPARAM wParam);
// Runs the message loop until the queue is empty.
void pumpMessages();
bool hostReceived(UINT message, WPARAM wParam, LPARAM lParam);
// Tells onLog a line of what the player did (printf-style).
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The player's ini path in UTF-16.
std::wstring hostIniPathWide();
// The UTF-16 path of the playlist entry at index; false when there is none.
bool entryWidePath(int index, std::wstring* path);
// Selects exactly these entries (any order, repeats ignored).
void selectEntries(std::vector<int> indices);
std::wstring fromUtf8(const std::string& text);
std::string toUtf8(const wchar_t* text);
