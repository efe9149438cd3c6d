// SPDX-License-Identifier: LGPL-2.1-or-later
// init, config and quit: where the plugin starts, switches on or off, and stops.
#include "host/host_queries.h"
#include "host/hotkeys.h"
#include "host/plugin.h"
#include "host/settings.h"
#include "host/texts.h"
#include "library/prefs_page.h"
#include "tray/rating_batch.h"
#include "rating/store/rewrite_journal.h"
#include "resources/resource_ids.h"
#include "tray/tray.h"

int init() {
  g_state.taskbarMessage = RegisterWindowMessageW(L"TaskbarCreated");
  loadIcons();
  g_state.previousWindowProc = reinterpret_cast<WNDPROC>(
      SetWindowLongW(g_header.hostWindow, GWL_WNDPROC, reinterpret_cast<LONG>(hook)));
  buildSettingsPath();
  startLanguageSupport();
  g_state.active = readSetting(kActiveKey, 1);
  // A rating write that a crash cut short is finished (or undone) before anything else.
  setRewriteJournal(g_state.journalPath);
  resumeInterruptedSaves();
  updateTrayIcon();
  // Also while switched off: a key the user bound works once the plugin is on again.
  addHotkeyActions();
  addPrefsPage();
  return 0;
}

void config() {
  HWND owner = reinterpret_cast<HWND>(queryHost(kQueryDialogOwner, 0));
  WCHAR question[256], caption[64];
  loadText(g_state.active ? IDS_ASK_DISABLE : IDS_ASK_ACTIVATE, question, 256);
  loadText(IDS_CAPTION, caption, 64);
  int answer = MessageBoxW(owner, question, caption, MB_YESNO | MB_ICONQUESTION);
  setPluginActive(answer == IDYES ? !g_state.active : g_state.active);
}

void setPluginActive(int active) {
  if (active != g_state.active) {
    g_state.active = active;
    updateTrayIcon();
    // Switched off, the plugin writes nothing more; what is done stays done.
    if (!active) endRatingBatches();
    updatePrefsPage();
  }
  writeSetting(kActiveKey, g_state.active);
}

void quit() {
  g_state.active = 0;
  updateTrayIcon();
  // A pending refresh would call back into a module the player is about to unload.
  stopRefreshTimer();
  endRatingBatches();
  endPendingSaveForQuit();
  removePrefsPage();
  setRewriteJournal(nullptr);
  g_state.languageModule = nullptr;
  noteQuitDuringStarMenu();
  noteQuitDuringPassedOnMessage();
  if (IsWindowUnicode(g_header.hostWindow))
    SetWindowLongW(g_header.hostWindow, GWL_WNDPROC, reinterpret_cast<LONG>(g_state.previousWindowProc));
  else
    SetWindowLongA(g_header.hostWindow, GWL_WNDPROC, reinterpret_cast<LONG>(g_state.previousWindowProc));
  destroyIcons();
}
