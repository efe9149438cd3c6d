// SPDX-License-Identifier: LGPL-2.1-or-later
#include "library/prefs_page.h"

#include <commctrl.h>

#include "host/host_queries.h"
#include "host/plugin.h"
#include "host/settings.h"
#include "host/texts.h"
#include "library/library_import.h"
#include "resources/resource_ids.h"

namespace {

const int kReportChars = 1024;

INT_PTR CALLBACK prefsPageProc(HWND page, UINT message, WPARAM wParam, LPARAM);

const int kPageNameChars = 64;
wchar_t g_pageName[kPageNameChars];

// Each control's words from the string table, so that a translation that lacks
// one leaves only that one in English.
const struct {
  int control;
  UINT text;
} kControlTexts[] = {
    {IDC_PREFS_ACTIVE, IDS_PREFS_ACTIVE},
    {IDC_PREFS_SAVE_PLAYER_RATINGS, IDS_PREFS_SAVE_PLAYER_RATINGS},
    {IDC_PREFS_LIBRARY_GROUP, IDS_PREFS_LIBRARY_GROUP},
    {IDC_PREFS_LIBRARY_WINS, IDS_PREFS_LIBRARY_WINS},
    {IDC_PREFS_SAVE_LIBRARY, IDS_PREFS_SAVE_LIBRARY},
    {IDC_PREFS_CANCEL, IDS_PREFS_CANCEL},
};

void nameControls(HWND page) {
  for (const auto& control : kControlTexts) {
    WCHAR text[256];
    loadText(control.text, text, 256);
    SetDlgItemTextW(page, control.control, text);
  }
}
// The player keeps a pointer to the record while the page is listed.
PrefsPageRecord g_pageRecord = {};

void check(HWND page, int control, bool on) { CheckDlgButton(page, control, on ? BST_CHECKED : BST_UNCHECKED); }

bool checked(HWND page, int control) { return IsDlgButtonChecked(page, control) == BST_CHECKED; }

void onCommand(HWND page, int control) {
  switch (control) {
    case IDC_PREFS_ACTIVE:
      setPluginActive(checked(page, control) ? 1 : 0);
      break;
    case IDC_PREFS_SAVE_PLAYER_RATINGS:
      writeSetting(kSavePlayerRatingsKey, checked(page, control) ? 1 : 0);
      break;
    case IDC_PREFS_LIBRARY_WINS:
      writeSetting(kLibraryWinsKey, checked(page, control) ? 1 : 0);
      break;
    case IDC_PREFS_SAVE_LIBRARY:
      if (g_state.active) startLibraryImport(updatePrefsPageProgress);
      break;
    case IDC_PREFS_CANCEL:
      cancelLibraryImport();
      break;
  }
  updatePrefsPage();
}

INT_PTR CALLBACK prefsPageProc(HWND page, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      g_state.prefsPage = page;
      nameControls(page);
      SendDlgItemMessageW(page, IDC_PREFS_PROGRESS, PBM_SETRANGE32, 0, 100);
      updatePrefsPage();
      return TRUE;
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) onCommand(page, LOWORD(wParam));
      return TRUE;
    case WM_DESTROY:
      if (g_state.prefsPage == page) g_state.prefsPage = nullptr;
      return FALSE;
  }
  return FALSE;
}

}  // namespace

void addPrefsPage() {
  // The progress bar's class; the player has it registered, an older one may not.
  INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&classes);
  g_pageRecord.instance = g_header.moduleInstance;
  g_pageRecord.dialogId = IDD_PREFS_PAGE;
  g_pageRecord.dialogProc = reinterpret_cast<void*>(prefsPageProc);
  loadText(IDS_CAPTION, g_pageName, kPageNameChars);
  g_pageRecord.name = g_pageName;
  g_pageRecord.where = 1;
  queryHost(kAddPrefsPage, reinterpret_cast<WPARAM>(&g_pageRecord));
}

void removePrefsPage() {
  // The page's procedure lives in this module, which the player is about to unload.
  if (g_state.prefsPage) DestroyWindow(g_state.prefsPage);
  g_state.prefsPage = nullptr;
  queryHost(kRemovePrefsPage, reinterpret_cast<WPARAM>(&g_pageRecord));
}

void updatePrefsPage() {
  HWND page = g_state.prefsPage;
  if (!page) return;
  check(page, IDC_PREFS_ACTIVE, g_state.active != 0);
  check(page, IDC_PREFS_SAVE_PLAYER_RATINGS, readSetting(kSavePlayerRatingsKey, 1) != 0);
  check(page, IDC_PREFS_LIBRARY_WINS, readSetting(kLibraryWinsKey, 0) != 0);
  updatePrefsPageProgress();
}

void updatePrefsPageProgress() {
  HWND page = g_state.prefsPage;
  if (!page) return;
  const bool running = libraryImportRunning();
  EnableWindow(GetDlgItem(page, IDC_PREFS_SAVE_LIBRARY), !running && g_state.active);
  ShowWindow(GetDlgItem(page, IDC_PREFS_CANCEL), running ? SW_SHOW : SW_HIDE);
  SendDlgItemMessageW(page, IDC_PREFS_PROGRESS, PBM_SETPOS, libraryImportPercent(), 0);
  WCHAR report[kReportChars];
  libraryImportReport(report, kReportChars);
  SetDlgItemTextW(page, IDC_PREFS_REPORT, report);
}
