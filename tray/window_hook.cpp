// SPDX-License-Identifier: LGPL-2.1-or-later
// The replacement procedure of the host window. It sees every message the
// player's main window gets and routes the plugin's own through one table.
#include "host/host_queries.h"
#include "host/plugin.h"
#include "tray/player_ratings.h"
#include "tray/tray.h"

namespace {

enum RouteTiming {
  kInsteadOfHost,   // the host never gets the message
  kBeforeHost,      // the action, then the host
  kAfterHost,       // the host, then the action: it follows what the host made of it
};

struct Route {
  UINT message;
  bool (*applies)(WPARAM wParam, LPARAM lParam);
  LRESULT (*action)(HWND window, WPARAM wParam, LPARAM lParam);
  RouteTiming timing;
};

bool isSetRating(WPARAM, LPARAM lParam) { return lParam == kSetRating; }

LRESULT onSetRating(HWND, WPARAM wParam, LPARAM) {
  followPlayerSetRating(wParam);
  return 0;
}

bool isPlayerRatingMenu(WPARAM wParam, LPARAM) { return isPlayerRatingCommand(LOWORD(wParam)); }

LRESULT onPlayerRatingMenu(HWND, WPARAM wParam, LPARAM) {
  followPlayerRatingCommand(LOWORD(wParam));
  return 0;
}

bool isTitleChange(WPARAM wParam, LPARAM lParam) {
  return lParam == kNotifyTitleChange && wParam == kTitleChanged;
}

// While the player plays, a new title is announced to it as a changed rating
// too; that message passes this hook first and schedules the refresh.
LRESULT onTitleChange(HWND window, WPARAM, LPARAM) {
  if (hostIsPlaying())
    SendMessageW(window, WM_USER, kRatingChanged, kNotifyTitleChange);
  else
    scheduleRefresh();
  return 0;
}

bool isStatusOrRatingChange(WPARAM wParam, LPARAM lParam) {
  return lParam == kNotifyTitleChange && (wParam == kPlayStatusChanged || wParam == kRatingChanged);
}

bool isTagChange(WPARAM, LPARAM lParam) { return lParam == kNotifyTagChanged; }

LRESULT onRefreshRequest(HWND, WPARAM, LPARAM) {
  scheduleRefresh();
  return 0;
}

bool isOwnerDrawnMenuItem(WPARAM, LPARAM lParam) {
  // Both records start with the control type; a message without one is not ours.
  return lParam != 0 && reinterpret_cast<const UINT*>(lParam)[0] == ODT_MENU;
}

LRESULT onDrawItem(HWND, WPARAM, LPARAM lParam) {
  drawStarRow(reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
  return 1;
}

LRESULT onMeasureItem(HWND, WPARAM, LPARAM lParam) {
  measureStarRow(reinterpret_cast<MEASUREITEMSTRUCT*>(lParam));
  return 1;
}

bool isStarChoice(WPARAM wParam, LPARAM) {
  const int id = LOWORD(wParam);
  return id >= kFirstStarCommand && id < kFirstStarCommand + kStarLevels;
}

LRESULT onStarChoice(HWND, WPARAM wParam, LPARAM) {
  applyStarChoice(LOWORD(wParam));
  return 0;
}

bool isStarStep(WPARAM wParam, LPARAM) {
  const int id = LOWORD(wParam);
  return id == kOneStarMoreCommand || id == kOneStarLessCommand;
}

LRESULT onStarStep(HWND, WPARAM wParam, LPARAM) {
  applyStarStep(LOWORD(wParam) == kOneStarMoreCommand ? 1 : -1);
  return 0;
}

bool isTrayClick(WPARAM wParam, LPARAM lParam) {
  return wParam == kTrayIconId && (lParam == WM_LBUTTONUP || lParam == WM_RBUTTONUP);
}

LRESULT onTrayClick(HWND window, WPARAM, LPARAM) { return openStarMenu(window); }

// The star menu's rows are drawn, so the menu cannot match keys to them itself.
bool isStarMenuKey(WPARAM wParam, LPARAM lParam) { return starMenuKeyRow(wParam, lParam) >= 0; }

LRESULT onStarMenuKey(HWND, WPARAM wParam, LPARAM lParam) {
  return MAKELRESULT(starMenuKeyRow(wParam, lParam), MNC_EXECUTE);
}

const Route kRoutes[] = {
    {WM_USER, isSetRating, onSetRating, kAfterHost},
    {WM_USER, isTitleChange, onTitleChange, kBeforeHost},
    {WM_USER, isStatusOrRatingChange, onRefreshRequest, kBeforeHost},
    {WM_USER, isTagChange, onRefreshRequest, kBeforeHost},
    {WM_DRAWITEM, isOwnerDrawnMenuItem, onDrawItem, kInsteadOfHost},
    {WM_MEASUREITEM, isOwnerDrawnMenuItem, onMeasureItem, kInsteadOfHost},
    {WM_COMMAND, isStarChoice, onStarChoice, kInsteadOfHost},
    {WM_COMMAND, isStarStep, onStarStep, kInsteadOfHost},
    {WM_COMMAND, isPlayerRatingMenu, onPlayerRatingMenu, kAfterHost},
    {kTrayCallbackMessage, isTrayClick, onTrayClick, kInsteadOfHost},
    {WM_MENUCHAR, isStarMenuKey, onStarMenuKey, kInsteadOfHost},
};

const Route* findRoute(UINT message, WPARAM wParam, LPARAM lParam) {
  for (const Route& route : kRoutes)
    if (route.message == message && route.applies(wParam, lParam)) return &route;
  return nullptr;
}

// The count lets quit know that the player may unload the module before the
// call below returns into it (noteQuitDuringPassedOnMessage).
LRESULT passOn(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  ++g_state.messagesPassedOn;
  const LRESULT result = IsWindowUnicode(window)
                             ? CallWindowProcW(g_state.previousWindowProc, window, message, wParam, lParam)
                             : CallWindowProcA(g_state.previousWindowProc, window, message, wParam, lParam);
  --g_state.messagesPassedOn;
  return result;
}

}  // namespace

// A player that quits the plugin while handling a message the hook passed on
// (on exit, say) frees the module before that message returns into the hook.
// A reference of the hook's own keeps the code mapped. Nothing can give it back
// without returning into the module afterwards, so it lasts until the player
// exits, as the star menu's does.
void noteQuitDuringPassedOnMessage() {
  if (g_state.messagesPassedOn == 0) return;
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&hook), &self);
}

LRESULT CALLBACK hook(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!g_state.active) return passOn(window, message, wParam, lParam);

  const Route* route = findRoute(message, wParam, lParam);
  if (route && route->timing == kInsteadOfHost) return route->action(window, wParam, lParam);
  if (route && route->timing == kBeforeHost) route->action(window, wParam, lParam);

  LRESULT result = passOn(window, message, wParam, lParam);
  // The player may have quit the plugin meanwhile (on exit, say).
  if (route && route->timing == kAfterHost && g_state.active) route->action(window, wParam, lParam);
  // The taskbar forgets its icons when it is recreated (an explorer restart).
  if (g_state.active && g_state.taskbarMessage != 0 && message == g_state.taskbarMessage) {
    g_state.iconShown = 0;
    updateTrayIcon();
  }
  return result;
}
