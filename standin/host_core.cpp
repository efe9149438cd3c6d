// SPDX-License-Identifier: LGPL-2.1-or-later
#include "standin/host_core.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <algorithm>

#include "host/host_queries.h"
#include "standin/language_host.h"

StandinHost g_host;

namespace {

const wchar_t kClassW[] = L"VimbrelStandinHostW";
const char kClassA[] = "VimbrelStandinHostA";

// The wide forms of 8-bit texts, for the wide queries; kept so that their
// addresses stay valid while the plugin reads them.
std::wstring g_wideAnswer;

const wchar_t* widened(const std::string& text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  g_wideAnswer.assign(length > 0 ? length : 1, L'\0');
  if (length > 0) MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &g_wideAnswer[0], length);
  return g_wideAnswer.c_str();
}

// A query this player does not know answers 1.
const LRESULT kUnknownQuery = 1;

LRESULT answerQuery(LPARAM number, WPARAM argument) {
  const int count = static_cast<int>(g_host.playlist.size());
  const int index = static_cast<int>(argument);
  const bool valid = index >= 0 && index < count;
  switch (number) {
    case kQueryIsPlaying:
      return g_host.playing;
    case kQueryPlaylistIndex:
      return g_host.current;
    case kQueryEntryPath:
      if (!valid || !g_host.playlist[index].hasPath) return 0;
      return reinterpret_cast<LRESULT>(g_host.playlist[index].path.c_str());
    case kQueryEntryPathWide: {
      if (!g_host.answersWide) return kUnknownQuery;
      if (!valid || !g_host.playlist[index].hasPath) return 0;
      const PlaylistEntry& entry = g_host.playlist[index];
      if (!entry.widePath.empty()) return reinterpret_cast<LRESULT>(entry.widePath.c_str());
      return reinterpret_cast<LRESULT>(widened(entry.path));
    }
    case kQueryIniPathWide:
      if (!g_host.answersWide) return kUnknownQuery;
      if (!g_host.iniPathGiven) return 0;
      if (!g_host.wideIniPath.empty()) return reinterpret_cast<LRESULT>(g_host.wideIniPath.c_str());
      return reinterpret_cast<LRESULT>(widened(g_host.iniPath));
    case kQueryEntryTitle:
      if (!valid || !g_host.playlist[index].hasTitle) return 0;
      return reinterpret_cast<LRESULT>(g_host.playlist[index].title.c_str());
    case kQueryIniPath:
      return g_host.iniPathGiven ? reinterpret_cast<LRESULT>(g_host.iniPath.c_str()) : 0;
    case kQueryDialogOwner:
      return reinterpret_cast<LRESULT>(g_host.dialogOwner ? g_host.dialogOwner : g_host.window);
    case kQueryApiService:
      return g_host.servicesAnswerOne ? 1 : serviceManagerAnswer();
    case kQueryNextSelected:
      for (int selected : g_host.selection)
        if (selected > index) return selected;
      return -1;
  }
  return 0;
}

bool isQuery(LPARAM number) {
  switch (number) {
    case kQueryIsPlaying:
    case kQueryPlaylistIndex:
    case kQueryEntryPath:
    case kQueryEntryTitle:
    case kQueryEntryPathWide:
    case kQueryIniPath:
    case kQueryIniPathWide:
    case kQueryDialogOwner:
    case kQueryApiService:
    case kQueryNextSelected:
      return true;
  }
  return false;
}

// Worth recording: the player's messages, command and owner-draw messages, the
// tray callback and registered messages such as "TaskbarCreated".
bool isInteresting(UINT message) {
  return message >= WM_USER || message == WM_COMMAND || message == WM_DRAWITEM || message == WM_MEASUREITEM;
}

LRESULT hostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool unicode) {
  if (isInteresting(message)) {
    HostMessageRecord record = {message, wParam, lParam};
    g_host.received.push_back(record);
    if (g_host.onMessage) g_host.onMessage(record);
  }
  if (message == WM_USER && isQuery(lParam)) return answerQuery(lParam, wParam);
  if (message == WM_USER && lParam == kRegisterMessageByName) {
    const char* name = reinterpret_cast<const char*>(wParam);
    if (name && strcmp(name, kLibraryWindowName) == 0) return libraryNameNumber();
    return registeredMessage(name);
  }
  LRESULT answer = 0;
  if (answerLibraryMessage(message, wParam, lParam, &answer)) return answer;
  if (answerPrefsMessage(message, wParam, lParam, &answer)) return answer;
  if (message == WM_USER && lParam == kStandinHotkeysAddMessage && g_host.hotkeysPlugin && wParam) {
    keepHotkeyAction(reinterpret_cast<const HotkeyAction*>(wParam));
    return 0;
  }
  if (message == WM_HOTKEY) {
    onHotkeyPressed(wParam);
    return 0;
  }
  if (message == WM_USER) return 0;
  if (message == WM_CLOSE) {
    g_host.closeRequested = true;  // the program quits the plugin before the window goes
    return 0;
  }
  return unicode ? DefWindowProcW(window, message, wParam, lParam)
                 : DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK hostProcW(HWND w, UINT m, WPARAM wp, LPARAM lp) { return hostProc(w, m, wp, lp, true); }
LRESULT CALLBACK hostProcA(HWND w, UINT m, WPARAM wp, LPARAM lp) { return hostProc(w, m, wp, lp, false); }

}  // namespace

HWND createHostWindow(bool unicode) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  if (unicode) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = hostProcW;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.hInstance = instance;
    wc.lpszClassName = kClassW;
    RegisterClassW(&wc);
    g_host.window = CreateWindowW(kClassW, L"Stand-in player", WS_OVERLAPPEDWINDOW, 0, 0, 320, 120, nullptr,
                                  nullptr, instance, nullptr);
  } else {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = hostProcA;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.hInstance = instance;
    wc.lpszClassName = kClassA;
    RegisterClassA(&wc);
    g_host.window = CreateWindowA(kClassA, "Stand-in player", WS_OVERLAPPEDWINDOW, 0, 0, 320, 120, nullptr,
                                  nullptr, instance, nullptr);
  }
  if (!g_host.window) return nullptr;
  createLibraryWindow();
  bindPlayerHotkeys();
  return g_host.window;
}

void destroyHostWindow() {
  dropHotkeyActions();
  unbindPlayerHotkeys();
  closePrefs();
  destroyLibraryWindow();
  if (g_host.window) DestroyWindow(g_host.window);
  g_host.window = nullptr;
}

bool loadPlugin(const wchar_t* dllPath) {
  g_host.plugin = LoadLibraryW(dllPath);
  if (!g_host.plugin) return false;
  using Entry = PluginHeader* (*)();
  auto entry = reinterpret_cast<Entry>(
      reinterpret_cast<void*>(GetProcAddress(g_host.plugin, "winampGetGeneralPurposePlugin")));
  if (!entry) return false;
  g_host.header = entry();
  g_host.header->hostWindow = g_host.window;
  g_host.header->moduleInstance = g_host.plugin;
  return true;
}

void unloadPlugin() {
  dropHotkeyActions();  // their texts live in the plugin
  closePrefs();         // so do the page's procedure and its record
  g_host.prefs.pages.clear();
  if (g_host.plugin) FreeLibrary(g_host.plugin);
  g_host.plugin = nullptr;
  g_host.header = nullptr;
}

std::wstring programFolder() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

std::wstring findPluginDll() {
  const std::wstring beside = programFolder() + L"Plugins\\gen_id3vimbrel.dll";
  if (GetFileAttributesW(beside.c_str()) != INVALID_FILE_ATTRIBUTES) return beside;
  return programFolder() + L"..\\player\\Plugins\\gen_id3vimbrel.dll";
}

LRESULT notifyHost(int number, WPARAM wParam) { return SendMessageW(g_host.window, WM_USER, wParam, number); }

void pumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

bool hostReceived(UINT message, WPARAM wParam, LPARAM lParam) {
  for (const HostMessageRecord& r : g_host.received)
    if (r.message == message && r.wParam == wParam && r.lParam == lParam) return true;
  return false;
}

std::string bestFitPath(const std::wstring& path) {
  const int length = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string narrow(length, '\0');
  WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, &narrow[0], length, nullptr, nullptr);
  narrow.resize(length - 1);
  return narrow;
}

void logLine(const char* format, ...) {
  if (!g_host.onLog) return;
  char line[2048];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  g_host.onLog(line);
}

std::wstring hostIniPathWide() {
  if (!g_host.wideIniPath.empty()) return g_host.wideIniPath;
  const int length = MultiByteToWideChar(CP_ACP, 0, g_host.iniPath.c_str(), -1, nullptr, 0);
  std::wstring wide(length > 0 ? length : 1, L'\0');
  if (length > 0) MultiByteToWideChar(CP_ACP, 0, g_host.iniPath.c_str(), -1, &wide[0], length);
  return wide.c_str();
}

bool entryWidePath(int index, std::wstring* path) {
  if (index < 0 || index >= static_cast<int>(g_host.playlist.size()) || !g_host.playlist[index].hasPath)
    return false;
  const PlaylistEntry& entry = g_host.playlist[index];
  if (!entry.widePath.empty()) {
    *path = entry.widePath;
  } else {
    const int length = MultiByteToWideChar(CP_ACP, 0, entry.path.c_str(), -1, nullptr, 0);
    path->assign(length > 0 ? length : 1, L'\0');
    if (length > 0) MultiByteToWideChar(CP_ACP, 0, entry.path.c_str(), -1, &(*path)[0], length);
    path->resize(wcslen(path->c_str()));
  }
  return true;
}

void selectEntries(std::vector<int> indices) {
  std::sort(indices.begin(), indices.end());
  indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
  g_host.selection = indices;
}

std::wstring fromUtf8(const std::string& text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], n);
  return wide;
}

std::string toUtf8(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], n, nullptr, nullptr);
  return narrow;
}
