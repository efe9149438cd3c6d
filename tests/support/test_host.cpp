// SPDX-License-Identifier: LGPL-2.1-or-later
#include "support/test_host.h"

#include <stdlib.h>
#include <string.h>

#include "standin/iat_patch.h"
#include "support/scratch.h"

Harness g_harness;

namespace {

int starsOf(HICON icon) {
  if (!icon) return -1;
  for (int i = 0; i < 6; ++i) {
    auto found = g_harness.loadedIcons.find(110 + i);
    if (found != g_harness.loadedIcons.end() && found->second == icon) return i;
  }
  return -1;
}

BOOL WINAPI recordNotifyIcon(DWORD action, PNOTIFYICONDATAW data) {
  TrayCall call = {};
  call.action = action;
  memcpy(&call.data, data, data->cbSize < sizeof call.data ? data->cbSize : sizeof call.data);
  call.stars = (data->uFlags & NIF_ICON) ? starsOf(data->hIcon) : -1;
  call.iconSize = (data->uFlags & NIF_ICON) ? iconSize(data->hIcon) : SIZE{0, 0};
  g_harness.tray.push_back(call);
  const char* names[] = {"add", "modify", "delete"};
  g_harness.events.push_back(std::string("tray ") + (action < 3 ? names[action] : "?") + " " +
                             std::to_string(call.stars));
  return TRUE;
}

int WINAPI answerMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
  g_harness.boxes.push_back({owner, text ? text : L"", caption ? caption : L"", style});
  g_harness.events.push_back("box");
  if (g_harness.whileBoxOpen) {
    void (*action)() = g_harness.whileBoxOpen;
    g_harness.whileBoxOpen = nullptr;
    action();
  }
  if (g_harness.boxAnswers.empty()) return IDNO;
  int answer = g_harness.boxAnswers.front();
  g_harness.boxAnswers.pop_front();
  return answer;
}

UINT WINAPI recordProfileInt(LPCWSTR section, LPCWSTR key, INT fallback, LPCWSTR file) {
  g_harness.profileFiles.push_back(file ? file : L"");
  return GetPrivateProfileIntW(section, key, fallback, file);
}

BOOL WINAPI recordProfileWrite(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR file) {
  g_harness.profileFiles.push_back(file ? file : L"");
  return WritePrivateProfileStringW(section, key, value, file);
}

HANDLE WINAPI recordLoadImage(HINSTANCE instance, LPCWSTR name, UINT type, int width, int height,
                              UINT flags) {
  HANDLE image = LoadImageW(instance, name, type, width, height, flags);
  if (type == IMAGE_ICON && IS_INTRESOURCE(name))
    g_harness.loadedIcons[LOWORD(reinterpret_cast<ULONG_PTR>(name))] = static_cast<HICON>(image);
  return image;
}

BOOL WINAPI recordDestroyIcon(HICON icon) {
  g_harness.destroyedIcons.push_back(icon);
  return DestroyIcon(icon);
}

UINT_PTR WINAPI fakeSetTimer(HWND, UINT_PTR, UINT, TIMERPROC proc) {
  g_harness.timerProc = proc;
  ++g_harness.timersStarted;
  return 0x7E57;
}

BOOL WINAPI fakeKillTimer(HWND, UINT_PTR id) {
  EXPECT_EQ(id, 0x7E57u);
  g_harness.timerProc = nullptr;
  ++g_harness.timersKilled;
  return TRUE;
}

void WINAPI fakeGetLocalTime(LPSYSTEMTIME time) { *time = g_harness.clock; }

BOOL WINAPI fakeTrackPopupMenu(HMENU menu, UINT flags, int x, int y, int, HWND owner, const RECT*) {
  ++g_harness.menusTracked;
  g_harness.trackedMenu = menu;
  g_harness.trackFlags = flags;
  g_harness.trackPoint = {x, y};
  g_harness.trackOwner = owner;
  g_harness.menuIds.clear();
  g_harness.menuTexts.clear();
  g_harness.menuTypes.clear();
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    g_harness.menuIds.push_back(GetMenuItemID(menu, i));
    wchar_t text[64] = L"";
    MENUITEMINFOW item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_STRING | MIIM_FTYPE;
    item.dwTypeData = text;
    item.cch = 64;
    GetMenuItemInfoW(menu, i, TRUE, &item);
    g_harness.menuTexts.push_back(text);
    g_harness.menuTypes.push_back(item.fType);
  }
  if (g_harness.whileMenuOpen) g_harness.whileMenuOpen();
  return TRUE;
}

BOOL WINAPI fakeGetCursorPos(LPPOINT point) {
  *point = {321, 234};
  return TRUE;
}

BOOL WINAPI recordSetForegroundWindow(HWND) {
  ++g_harness.foregroundCalls;
  return TRUE;
}

bool isNotice(LPARAM number) {
  return number == 603 || number == 639 || number == 3002 || number == 3005 || number >= 65536;
}

void recordHostMessage(const HostMessageRecord& r) {
  if (r.message == WM_USER && !isNotice(r.lParam)) g_harness.queries.push_back(r.lParam);
  // The path lives only while the message is being sent.
  if (r.message == WM_USER && r.lParam == 3005)
    g_harness.ratedPaths.push_back(r.wParam ? reinterpret_cast<const wchar_t*>(r.wParam) : L"<null>");
  if (r.message == WM_USER && (r.lParam == 603 || r.lParam == 639 || r.lParam == 3002))
    g_harness.events.push_back("host " + std::to_string(r.lParam) + "/" + std::to_string(r.wParam));
  else if (r.message == taskbarCreatedMessage())
    g_harness.events.push_back("host taskbar");
}

template <typename F>
void patch(const char* dll, const char* name, F replacement) {
  void* original = patchImport(g_host.plugin, dll, name, reinterpret_cast<void*>(replacement));
  ASSERT_NE(original, nullptr) << "the plugin does not import " << name;
}

}  // namespace

void PluginTest::SetUp() {
  g_host = StandinHost();
  g_harness = Harness();
  folder = scratchFolder();
  CreateDirectoryA((folder + "Plugins").c_str(), nullptr);
  g_host.iniPath = folder + "player.ini";
  g_host.onMessage = recordHostMessage;
  settingsFile = widen(folder) + L"Plugins\\gen_id3vimbrel.ini";
}

void PluginTest::TearDown() {
  if (g_host.plugin) quitPlugin();
  destroyHostWindow();
  pumpMessages();
}

void PluginTest::startPlugin(bool unicodeWindow) {
  ASSERT_NE(createHostWindow(unicodeWindow), nullptr);
  g_harness.originalProc =
      reinterpret_cast<WNDPROC>(unicodeWindow ? GetWindowLongW(g_host.window, GWL_WNDPROC)
                                              : GetWindowLongA(g_host.window, GWL_WNDPROC));
  ASSERT_TRUE(loadPlugin(findPluginDll().c_str()));
  patch("shell32.dll", "Shell_NotifyIconW", recordNotifyIcon);
  patch("user32.dll", "MessageBoxW", answerMessageBox);
  patch("user32.dll", "LoadImageW", recordLoadImage);
  patch("user32.dll", "DestroyIcon", recordDestroyIcon);
  patch("kernel32.dll", "GetPrivateProfileIntW", recordProfileInt);
  patch("kernel32.dll", "WritePrivateProfileStringW", recordProfileWrite);
  if (!realTimers) {
    patch("user32.dll", "SetTimer", fakeSetTimer);
    patch("user32.dll", "KillTimer", fakeKillTimer);
    patch("kernel32.dll", "GetLocalTime", fakeGetLocalTime);
  }
  if (!realMenu) patch("user32.dll", "TrackPopupMenu", fakeTrackPopupMenu);
  patch("user32.dll", "GetCursorPos", fakeGetCursorPos);
  patch("user32.dll", "SetForegroundWindow", recordSetForegroundWindow);
  ASSERT_EQ(g_host.header->init(), 0);
}

void PluginTest::quitPlugin() {
  g_host.header->quit();
  unloadPlugin();
}

void PluginTest::writeSettings(const wchar_t* key, const wchar_t* value) {
  ASSERT_TRUE(WritePrivateProfileStringW(L"Main", key, value, settingsFile.c_str()));
}

std::wstring PluginTest::readSettings(const wchar_t* key) {
  wchar_t value[64];
  GetPrivateProfileStringW(L"Main", key, L"<missing>", value, 64, settingsFile.c_str());
  return value;
}

const TrayCall& PluginTest::lastTray() {
  static TrayCall none = {};
  EXPECT_FALSE(g_harness.tray.empty());
  return g_harness.tray.empty() ? none : g_harness.tray.back();
}

LRESULT sendToHost(UINT message, WPARAM wParam, LPARAM lParam) {
  return SendMessageW(g_host.window, message, wParam, lParam);
}

void advanceClock(int milliseconds) {
  FILETIME file;
  SystemTimeToFileTime(&g_harness.clock, &file);
  ULARGE_INTEGER value;
  value.LowPart = file.dwLowDateTime;
  value.HighPart = file.dwHighDateTime;
  value.QuadPart += static_cast<LONGLONG>(milliseconds) * 10000;
  file.dwLowDateTime = value.LowPart;
  file.dwHighDateTime = value.HighPart;
  FileTimeToSystemTime(&file, &g_harness.clock);
}

void tick() {
  ASSERT_NE(g_harness.timerProc, nullptr) << "no refresh timer is pending";
  g_harness.timerProc(nullptr, WM_TIMER, 0x7E57, GetTickCount());
}

bool timerPending() { return g_harness.timerProc != nullptr; }

int tickUntilIdle(int maxTicks) {
  int ticks = 0;
  while (timerPending() && ticks < maxTicks) {
    advanceClock(100);
    tick();
    ++ticks;
  }
  return ticks;
}

UINT taskbarCreatedMessage() {
  static UINT message = RegisterWindowMessageW(L"TaskbarCreated");
  return message;
}

DisplayScale displayScale() {
  const DisplayScale scales[] = {{96, 16, 90, 20, 12}, {144, 24, 135, 30, 18}};
  char value[16] = "";
  const int wanted = GetEnvironmentVariableA("VIMBREL_DPI", value, sizeof value) ? atoi(value) : 96;
  HDC screen = GetDC(nullptr);
  const int seen = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  EXPECT_EQ(seen, wanted) << "the prefix's LogPixels";
  for (const DisplayScale& scale : scales)
    if (scale.dpi == wanted) return scale;
  ADD_FAILURE() << "no expectations for " << wanted << " DPI";
  return scales[0];
}

SIZE iconSize(HICON icon) {
  ICONINFO info = {};
  if (!icon || !GetIconInfo(icon, &info)) return {0, 0};
  BITMAP bitmap = {};
  GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
  if (info.hbmColor) DeleteObject(info.hbmColor);
  if (info.hbmMask) DeleteObject(info.hbmMask);
  // A mask-only icon stacks its AND and XOR masks in one bitmap.
  return {bitmap.bmWidth, info.hbmColor ? bitmap.bmHeight : bitmap.bmHeight / 2};
}

void chooseStars(int stars) {
  static UINT chosen;
  chosen = 11000 + stars;
  g_harness.whileMenuOpen = [] { PostMessageW(g_host.window, WM_COMMAND, chosen, 0); };
  sendToHost(0x20F4, 4538, WM_LBUTTONUP);
  pumpMessages();
}

void pressHotkey(const char* id) {
  pumpMessages();
  EXPECT_TRUE(sendHotkeyAction(id)) << "no hotkey action " << id;
  pumpMessages();
}
