// SPDX-License-Identifier: LGPL-2.1-or-later
#include "standin/prefs_host.h"

#include <commctrl.h>

#include <algorithm>

#include "host/host_queries.h"
#include "standin/host_core.h"

namespace {

const wchar_t kPrefsClass[] = L"VimbrelStandinPrefs";

bool holds(PrefsPageRecord* record) {
  const std::vector<PrefsPageRecord*>& pages = g_host.prefs.pages;
  return record && std::find(pages.begin(), pages.end(), record) != pages.end();
}

void addPage(PrefsPageRecord* record) {
  if (!record) return;
  logLine("prefs page added name=\"%s\" where=%ld", record->name ? toUtf8(record->name).c_str() : "",
          static_cast<long>(record->where));
  // The player links the record into its list: the same record twice would loop it.
  if (!holds(record)) g_host.prefs.pages.push_back(record);
}

void removePage(PrefsPageRecord* record) {
  if (!holds(record)) {
    logLine("prefs page removed unknown");
    return;
  }
  std::vector<PrefsPageRecord*>& pages = g_host.prefs.pages;
  pages.erase(std::find(pages.begin(), pages.end(), record));
  // A page shown while its record goes would outlive what the player knows of it.
  if (g_host.prefs.page && g_host.prefs.shown == record) {
    DestroyWindow(g_host.prefs.page);
    g_host.prefs.page = nullptr;
    g_host.prefs.shown = nullptr;
  }
  logLine("prefs page removed");
}

LRESULT CALLBACK prefsProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE) {
    closePrefs();
    return 0;
  }
  if (message == WM_DESTROY && window == g_host.prefs.window) {
    g_host.prefs.window = nullptr;
    g_host.prefs.page = nullptr;  // a child, destroyed with its window
    g_host.prefs.shown = nullptr;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND createPrefsWindow() {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = prefsProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.lpszClassName = kPrefsClass;
  RegisterClassW(&wc);
  return CreateWindowW(kPrefsClass, L"Preferences", WS_OVERLAPPEDWINDOW, 40, 40, 480, 360, g_host.window,
                       nullptr, wc.hInstance, nullptr);
}

// The window takes the page's size, so that a person sees the whole page.
void fitWindowToPage() {
  RECT page;
  GetWindowRect(g_host.prefs.page, &page);
  RECT frame = {0, 0, page.right - page.left, page.bottom - page.top};
  AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
  SetWindowPos(g_host.prefs.window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  SetWindowPos(g_host.prefs.page, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HWND controlOf(int id) { return g_host.prefs.page ? GetDlgItem(g_host.prefs.page, id) : nullptr; }

std::string className(HWND control) {
  wchar_t name[64] = L"";
  GetClassNameW(control, name, 64);
  return toUtf8(name);
}

// The control's text on one line: a report's line breaks written as \r and \n.
std::string oneLineText(HWND control) {
  const int length = GetWindowTextLengthW(control);
  std::wstring text(length + 1, L'\0');
  GetWindowTextW(control, &text[0], length + 1);
  std::string line;
  for (char c : toUtf8(text.c_str())) {
    if (c == '\r')
      line += "\\r";
    else if (c == '\n')
      line += "\\n";
    else
      line += c;
  }
  return line;
}

}  // namespace

bool answerPrefsMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* answer) {
  if (message != WM_USER) return false;
  PrefsPageRecord* record = reinterpret_cast<PrefsPageRecord*>(wParam);
  *answer = 0;
  switch (lParam) {
    case kAddPrefsPage:
      addPage(record);
      return true;
    case kRemovePrefsPage:
      removePage(record);
      return true;
    case kOpenPrefsPage:
      logLine(openPrefs(record) ? "prefs opened" : "prefs failed");
      return true;
  }
  return false;
}

bool openPrefs(PrefsPageRecord* record) {
  if (!record && !g_host.prefs.pages.empty()) record = g_host.prefs.pages.front();
  if (!holds(record) || !record->proc) return false;
  if (g_host.prefs.page && g_host.prefs.shown == record) {
    SetForegroundWindow(g_host.prefs.window);
    return true;
  }
  if (!g_host.prefs.window) g_host.prefs.window = createPrefsWindow();
  if (!g_host.prefs.window) return false;
  // One page at a time, as the player shows the page chosen in its tree.
  if (g_host.prefs.page) DestroyWindow(g_host.prefs.page);
  g_host.prefs.page = CreateDialogParamW(record->hInst, MAKEINTRESOURCEW(record->dlgID), g_host.prefs.window,
                                         reinterpret_cast<DLGPROC>(record->proc), 0);
  if (!g_host.prefs.page) {
    closePrefs();
    return false;
  }
  g_host.prefs.shown = record;
  fitWindowToPage();
  ShowWindow(g_host.prefs.page, SW_SHOW);
  ShowWindow(g_host.prefs.window, SW_SHOWNORMAL);
  return true;
}

void closePrefs() {
  if (g_host.prefs.page) DestroyWindow(g_host.prefs.page);
  g_host.prefs.page = nullptr;
  g_host.prefs.shown = nullptr;
  if (g_host.prefs.window) DestroyWindow(g_host.prefs.window);
  g_host.prefs.window = nullptr;
}

std::string clickPrefsControl(int id) {
  const std::string number = std::to_string(id);
  HWND control = controlOf(id);
  if (!control) return "prefs " + number + " missing";
  // A person cannot click what is greyed out or hidden.
  if (!IsWindowEnabled(control) || !IsWindowVisible(control))
    return "prefs cannot click " + number + " enabled=" + std::to_string(IsWindowEnabled(control) ? 1 : 0) +
           " visible=" + std::to_string(IsWindowVisible(control) ? 1 : 0);
  SendMessageW(control, BM_CLICK, 0, 0);
  return "prefs clicked " + number;
}

std::string prefsControlReport(int id) {
  const std::string number = std::to_string(id);
  HWND control = controlOf(id);
  if (!control) return "prefs " + number + " missing";
  const std::string kind = className(control);
  const bool button = lstrcmpiA(kind.c_str(), "Button") == 0;
  std::string report = "prefs " + number + " text=\"" + oneLineText(control) +
                       "\" checked=" + std::to_string(button ? SendMessageW(control, BM_GETCHECK, 0, 0) : 0) +
                       " enabled=" + std::to_string(IsWindowEnabled(control) ? 1 : 0) +
                       " visible=" + std::to_string(IsWindowVisible(control) ? 1 : 0);
  if (lstrcmpiA(kind.c_str(), PROGRESS_CLASSA) == 0) {
    PBRANGE range = {};
    SendMessageW(control, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    report += " pos=" + std::to_string(SendMessageW(control, PBM_GETPOS, 0, 0)) +
              " range=" + std::to_string(range.iLow) + ".." + std::to_string(range.iHigh);
  }
  return report;
}
