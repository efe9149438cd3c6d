// SPDX-License-Identifier: LGPL-2.1-or-later
// The stand-in player program. It loads Plugins\gen_id3vimbrel.dll beside it,
// answers the plugin's queries from a playlist file, and takes commands on
// standard input so that scripts can play the player's part:
//   current N | playing 0|1 | notify NUMBER WPARAM | taskbar | config | click
//   | choose STARS | action ID | hold | release | quit
//   | select [I J K...] | setrating W | command ID | library | library count-get
//   | prefs open | prefs click ID | prefs get ID | prefs close
// ("action ID" sends a hotkey action as the Global Hotkeys plugin does when its
// key is pressed, a plugin's or the player's own; keys are bound from the ini,
// see hotkeys_host.h. "select" sets the playlist's selection, none without
// indices. "setrating W" sends the player's rating message 639 with wParam W
// (-1 for one star less) and "command ID" a WM_COMMAND, each printing the answer.
// "library" lists the library's tracks, "library count-get" how often a file's
// rating was asked of it. "prefs" opens the first preferences page plugins added,
// clicks or reads one of its controls by number, and closes it.)
// With --trace it prints the tray calls the plugin makes (with a balloon's text),
// the hotkey actions it adds, the player messages that reach the main window
// (3005 with the file's path), what the media library does and the preferences
// pages added and removed, the language module it is given, and each message box
// it shows, answered at once with "No" so that nothing waits for a person.
// --no-hotkeys plays a player without Global Hotkeys.
// --library FILE plays a player with a media library (library_host.h),
// --no-library one that knows of libraries and has none; by default the player
// cannot tell. --library-query-fails and --library-query-minus-one make the
// library's queries answer 0 or -1 and find nothing. The language pack is named in
// the ini (language_host.h); --services-answer-1 plays a player whose service
// manager query answers 1.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "host/host_queries.h"
#include "standin/host_core.h"
#include "standin/iat_patch.h"
#include "standin/tray_pictures.h"
#include "tray/tray.h"

namespace {

const UINT kCommandMessage = WM_APP + 1;  // lParam: a heap copy of one command line
bool g_trace = false;
// The current entry's file, open as a player holds the file it plays ("hold").
HANDLE g_heldTrack = INVALID_HANDLE_VALUE;
BOOL(WINAPI* g_realNotifyIcon)(DWORD, PNOTIFYICONDATAW) = nullptr;

// A script cannot answer a box: it reads the line and the plugin goes on as after "No".
int WINAPI tracingMessageBox(HWND, LPCWSTR text, LPCWSTR caption, UINT) {
  printf("box caption=\"%s\" text=\"%s\"\n", caption ? toUtf8(caption).c_str() : "",
         text ? toUtf8(text).c_str() : "");
  fflush(stdout);
  return IDNO;
}

BOOL WINAPI tracingNotifyIcon(DWORD action, PNOTIFYICONDATAW data) {
  BOOL ok = g_realNotifyIcon(action, data);
  const char* names[] = {"add", "modify", "delete"};
  printf("tray %s stars=%d tip=\"%s\" ok=%d", action < 3 ? names[action] : "?",
         (data->uFlags & NIF_ICON) ? starsOfTrayPicture(data->hIcon) : -1, toUtf8(data->szTip).c_str(), ok);
  if (data->uFlags & NIF_INFO) printf(" balloon=\"%s\"", toUtf8(data->szInfo).c_str());
  printf("\n");
  fflush(stdout);
  return ok;
}

void traceMessage(const HostMessageRecord& r) {
  if (!g_trace) return;
  if (r.message == WM_USER && r.lParam == kNotifyFileTagsMayHaveChanged)
    printf("host got 3005 path=\"%s\"\n",
           r.wParam ? toUtf8(reinterpret_cast<const wchar_t*>(r.wParam)).c_str() : "");
  else if (r.message == WM_USER && (r.lParam == 603 || r.lParam == 639 || r.lParam == 3002))
    printf("host got %ld/%u\n", static_cast<long>(r.lParam), static_cast<unsigned>(r.wParam));
  else if (r.message == WM_COMMAND)
    printf("host got command %u\n", static_cast<unsigned>(LOWORD(r.wParam)));
  else
    return;
  fflush(stdout);
}

void traceHotkeyAdded(const KeptHotkey& kept) {
  if (!g_trace) return;
  const HotkeyAction& a = kept.action;
  printf(
      "hotkey added id=\"%s\" name=\"%s\" flags=0x%lx message=%u wparam=%u lparam=%ld window=%p key=\"%s\" "
      "bound=%d\n",
      a.id ? a.id : "", hotkeyNameUtf8(a).c_str(), static_cast<unsigned long>(a.flags), a.uMsg,
      static_cast<unsigned>(a.wParam), static_cast<long>(a.lParam), static_cast<void*>(a.wnd),
      kept.key.c_str(), kept.bound ? 1 : 0);
  fflush(stdout);
}

void traceLine(const char* line) {
  if (!g_trace) return;
  printf("%s\n", line);
  fflush(stdout);
}

bool readPlaylist(const char* file) {
  FILE* in = _wfopen(fromUtf8(file).c_str(), L"rb");
  if (!in) return false;
  char line[4096];
  while (fgets(line, sizeof line, in)) {
    line[strcspn(line, "\r\n")] = 0;
    if (!*line) continue;
    char* tab = strchr(line, '\t');
    PlaylistEntry entry;
    if (tab) *tab = 0;
    // The playlist file is UTF-8; the 8-bit path is what an older player
    // would make of the name.
    entry.widePath = fromUtf8(line);
    entry.path = bestFitPath(entry.widePath);
    entry.title = fromUtf8(tab ? tab + 1 : line);
    g_host.playlist.push_back(entry);
  }
  fclose(in);
  return true;
}

DWORD WINAPI readCommands(void*) {
  char line[1024];
  while (fgets(line, sizeof line, stdin)) {
    line[strcspn(line, "\r\n")] = 0;
    PostMessageW(g_host.window, kCommandMessage, 0, reinterpret_cast<LPARAM>(_strdup(line)));
  }
  return 0;
}

// Opens the current entry's file as a player does while playing it: for
// reading, sharing reading and writing but not deleting.
void holdCurrentTrack() {
  if (g_heldTrack != INVALID_HANDLE_VALUE || g_host.current < 0 ||
      g_host.current >= static_cast<int>(g_host.playlist.size()))
    return;
  g_heldTrack = CreateFileW(g_host.playlist[g_host.current].widePath.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

void releaseTrack() {
  if (g_heldTrack != INVALID_HANDLE_VALUE) CloseHandle(g_heldTrack);
  g_heldTrack = INVALID_HANDLE_VALUE;
}

void shutDown() {
  releaseTrack();
  if (!g_host.plugin) return;
  closePrefs();  // the player closes its preferences before its plugins quit
  g_host.header->quit();
  unloadPlugin();
  printf("quit\n");
  fflush(stdout);
}

void listLibrary() {
  for (const LibraryEntry& entry : g_host.library.entries)
    printf("library entry %s\n", libraryEntryText(entry).c_str());
  printf("library end\n");
}

void selectCommand(const char* indices) {
  std::vector<int> selected;
  char* end = nullptr;
  for (long index = strtol(indices, &end, 10); end != indices; index = strtol(indices, &end, 10)) {
    selected.push_back(static_cast<int>(index));
    indices = end;
  }
  selectEntries(selected);
}

void prefsCommand(const char* what) {
  int id = 0;
  if (strcmp(what, "open") == 0)
    printf("%s\n", openPrefs(nullptr) ? "prefs opened" : "prefs failed");
  else if (sscanf(what, "click %d", &id) == 1)
    printf("%s\n", clickPrefsControl(id).c_str());
  else if (sscanf(what, "get %d", &id) == 1)
    printf("%s\n", prefsControlReport(id).c_str());
  else if (strcmp(what, "close") == 0)
    closePrefs(), printf("prefs closed\n");
}

void runCommand(const char* line) {
  int a = 0, b = 0;
  if (sscanf(line, "current %d", &a) == 1) {
    g_host.current = a;
  } else if (sscanf(line, "playing %d", &a) == 1) {
    g_host.playing = a;
  } else if (sscanf(line, "notify %d %d", &a, &b) == 2) {
    notifyHost(a, b);
  } else if (strcmp(line, "taskbar") == 0) {
    SendMessageW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  } else if (strcmp(line, "config") == 0) {
    g_host.header->config();
  } else if (strcmp(line, "click") == 0) {
    PostMessageW(g_host.window, kTrayCallbackMessage, kTrayIconId, WM_LBUTTONUP);
  } else if (sscanf(line, "choose %d", &a) == 1) {
    // What the star menu sends the player's window when the row of `a` stars is clicked.
    PostMessageW(g_host.window, WM_COMMAND, kFirstStarCommand + a, 0);
  } else if (strncmp(line, "action ", 7) == 0) {
    printf("action sent %d\n", sendHotkeyAction(line + 7) ? 1 : 0);
  } else if (strcmp(line, "hold") == 0) {
    holdCurrentTrack();
    printf("held %d\n", g_heldTrack != INVALID_HANDLE_VALUE);
  } else if (strcmp(line, "release") == 0) {
    releaseTrack();
  } else if (strcmp(line, "quit") == 0) {
    shutDown();
    PostQuitMessage(0);
  } else if (strcmp(line, "select") == 0 || strncmp(line, "select ", 7) == 0) {
    selectCommand(line + 6);
  } else if (strncmp(line, "setrating ", 10) == 0) {
    const WPARAM value = static_cast<WPARAM>(strtol(line + 10, nullptr, 10));
    printf("answered %ld\n", static_cast<long>(SendMessageW(g_host.window, WM_USER, value, kSetRating)));
  } else if (strncmp(line, "command ", 8) == 0) {
    const WPARAM id = static_cast<WPARAM>(strtoul(line + 8, nullptr, 10));
    printf("answered %ld\n", static_cast<long>(SendMessageW(g_host.window, WM_COMMAND, id, 0)));
  } else if (strcmp(line, "library") == 0) {
    listLibrary();
  } else if (strcmp(line, "library count-get") == 0) {
    printf("library count-get %d\n", g_host.library.ratingQueries);
  } else if (strncmp(line, "prefs ", 6) == 0) {
    prefsCommand(line + 6);
  }
  printf("done %s\n", line);
  fflush(stdout);
}

// The command line in UTF-8: argv would hold the system code page's best fit
// of names in other scripts.
std::vector<std::string> utf8Arguments() {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(toUtf8(wide[i]));
  LocalFree(wide);
  return arguments;
}

}  // namespace

int main() {
  const std::vector<std::string> args = utf8Arguments();
  const int argc = static_cast<int>(args.size());
  bool commands = false;
  std::wstring ini = programFolder() + L"player.ini";
  for (int i = 1; i < argc; ++i) {
    const std::string& arg = args[i];
    const char* value = i + 1 < argc ? args[i + 1].c_str() : "";
    if (arg == "--playlist" && readPlaylist(value))
      ++i;
    else if (arg == "--ini")
      ini = fromUtf8(value), ++i;
    else if (arg == "--no-wide")
      g_host.answersWide = false;
    else if (arg == "--current")
      g_host.current = atoi(value), ++i;
    else if (arg == "--playing")
      g_host.playing = atoi(value), ++i;
    else if (arg == "--no-hotkeys")
      g_host.hotkeysPlugin = false;
    else if (arg == "--library" && readLibraryFile(fromUtf8(value)))
      ++i;
    else if (arg == "--library") {
      fprintf(stderr, "vimbrel_host: cannot read the library %s\n", value);
      return 2;
    } else if (arg == "--no-library")
      g_host.library = StandinLibrary(), g_host.library.presence = kNoLibrary;
    else if (arg == "--library-query-fails")
      g_host.library.queryAnswer = 0;
    else if (arg == "--library-query-minus-one")
      g_host.library.queryAnswer = -1;
    else if (arg == "--services-answer-1")
      g_host.servicesAnswerOne = true;
    else if (arg == "--trace")
      g_trace = true;
    else if (arg == "--commands")
      commands = true;
    else {
      fprintf(stderr,
              "usage: vimbrel_host [--playlist FILE] [--ini PATH] [--current N] "
              "[--playing 0|1] [--no-wide] [--no-hotkeys] [--library FILE | --no-library] "
              "[--library-query-fails | --library-query-minus-one] [--services-answer-1] [--trace] "
              "[--commands]\n");
      return 2;
    }
  }
  g_host.wideIniPath = ini;
  g_host.iniPath = bestFitPath(ini);
  g_host.onMessage = traceMessage;
  g_host.onHotkeyAdded = traceHotkeyAdded;
  g_host.onLog = traceLine;

  // Preferences pages may hold progress bars, whose class the player registers.
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  createHostWindow(true);
  ShowWindow(g_host.window, SW_SHOWNORMAL);
  if (!loadPlugin(findPluginDll().c_str())) {
    fprintf(stderr, "vimbrel_host: cannot load the plugin\n");
    return 1;
  }
  if (g_trace)
    g_realNotifyIcon = reinterpret_cast<decltype(g_realNotifyIcon)>(patchImport(
        g_host.plugin, "shell32.dll", "Shell_NotifyIconW", reinterpret_cast<void*>(tracingNotifyIcon)));
  if (g_trace && !g_realNotifyIcon) fprintf(stderr, "vimbrel_host: cannot trace tray calls\n");
  if (g_trace &&
      !patchImport(g_host.plugin, "user32.dll", "MessageBoxW", reinterpret_cast<void*>(tracingMessageBox)))
    fprintf(stderr, "vimbrel_host: cannot trace message boxes\n");
  if (g_trace) recordTrayPictures(g_host.plugin);
  g_host.header->init();
  printf("ready\n");
  fflush(stdout);
  if (commands) CloseHandle(CreateThread(nullptr, 0, readCommands, nullptr, 0, nullptr));

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.hwnd == g_host.window && msg.message == kCommandMessage) {
      char* line = reinterpret_cast<char*>(msg.lParam);
      runCommand(line);
      free(line);
      continue;
    }
    if (g_host.prefs.page && IsDialogMessageW(g_host.prefs.page, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    if (g_host.closeRequested) break;
  }
  shutDown();
  destroyHostWindow();
  return 0;
}
