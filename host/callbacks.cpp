// SPDX-License-Identifier: LGPL-2.1-or-later
// init, config and quit: where the plugin starts, switches on or off, and stops.
#include "host/host_queries.h"
#include "host/hotkeys.h"
#include "host/plugin.h"
#include "host/settings.h"
#include "library/prefs_page.h"
#include "library/rating_batch.h"
#include "rating/store/rewrite_journal.h"
#include "tray/tray.h"

namespace {

const WCHAR kCaption[] = L"ID3 Vimbrel";

}  // namespace

int init() {
  g_state.taskbarMessage = RegisterWindowMessageW(L"TaskbarCreated");
  loadIcons();
  g_state.previousWindowProc = reinterpret_cast<WNDPROC>(
      SetWindowLongW(g_header.hostWindow, GWL_WNDPROC, reinterpret_cast<LONG>(hook)));
  buildSettingsPath();
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
  const WCHAR* question = g_state.active ? L"Disable plugin?" : L"Activate plugin?";
  int answer = MessageBoxW(owner, question, kCaption, MB_YESNO | MB_ICONQUESTION);
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
  noteQuitDuringStarMenu();
  noteQuitDuringPassedOnMessage();
  if (IsWindowUnicode(g_header.hostWindow))
    SetWindowLongW(g_header.hostWindow, GWL_WNDPROC, reinterpret_cast<LONG>(g_state.previousWindowProc));
  else
    SetWindowLongA(g_header.hostWindow, GWL_WNDPROC, reinterpret_cast<LONG>(g_state.previousWindowProc));
  destroyIcons();
}
