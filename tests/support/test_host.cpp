#include "support/test_host.h"

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

HICON WINAPI recordLoadIcon(HINSTANCE instance, LPCWSTR name) {
  HICON icon = LoadIconW(instance, name);
  if (IS_INTRESOURCE(name)) g_harness.loadedIcons[LOWORD(reinterpret_cast<ULONG_PTR>(name))] = icon;
  return icon;
}

BOOL WINAPI recordDestroyIcon(HICON icon) {
  g_harness.destroyedIcons.push_back(icon);
  return DestroyIcon(icon);
}

void recordHostMessage(const HostMessageRecord& r) {
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
  g_harness.originalProc = reinterpret_cast<WNDPROC>(
      unicodeWindow ? GetWindowLongW(g_host.window, GWL_WNDPROC) : GetWindowLongA(g_host.window, GWL_WNDPROC));
  ASSERT_TRUE(loadPlugin(findPluginDll().c_str()));
  patch("shell32.dll", "Shell_NotifyIconW", recordNotifyIcon);
  patch("user32.dll", "MessageBoxW", answerMessageBox);
  patch("user32.dll", "LoadIconW", recordLoadIcon);
  patch("user32.dll", "DestroyIcon", recordDestroyIcon);
  patch("kernel32.dll", "GetPrivateProfileIntW", recordProfileInt);
  patch("kernel32.dll", "WritePrivateProfileStringW", recordProfileWrite);
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

UINT taskbarCreatedMessage() {
  static UINT message = RegisterWindowMessageW(L"TaskbarCreated");
  return message;
}

std::wstring widen(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}
