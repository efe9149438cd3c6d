// SPDX-License-Identifier: LGPL-2.1-or-later
// The star menu: six owner-drawn rows, 5 stars at the top down to 0, opened by a
// click on the tray icon; choosing a row writes that rating into the file of
// the player's current entry. The hotkey actions rate through the same choice.
#include "host/host_queries.h"
#include "host/media_library.h"
#include "host/media_library_notice.h"
#include "host/plugin.h"
#include "host/texts.h"
#include "rating/rating.h"
#include "resources/resource_ids.h"
#include "tray/tray.h"

namespace {

// At 96 DPI; the menu scales them by the DPI it was set up for.
const int kRowHeight = 20;
const int kRowWidth = 90;
const int kPictureLeft = 7;
const int kPictureStep = 16;

// Menu icon numbers: a star, a star of the current rating's row, a dot; each
// followed by its highlighted version.
const int kStarPicture = 0;
const int kCurrentStarPicture = 2;
const int kDotPicture = 4;

int starMenuId(int stars) { return kFirstStarCommand + stars; }

// Rows run from 5 stars at the top down to 0.
int starMenuRow(int stars) { return kStarLevels - 1 - stars; }

// Drawn by the plugin, but with a text of its own that screen readers announce.
void appendStarRow(HMENU popup, int stars) {
  WCHAR text[64];
  loadText(IDS_MENU_ROW_0 + stars, text, 64);
  MENUITEMINFOW row;
  ZeroMemory(&row, sizeof row);
  row.cbSize = sizeof row;
  row.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING;
  row.fType = MFT_OWNERDRAW;
  row.wID = starMenuId(stars);
  row.dwTypeData = text;
  InsertMenuItemW(popup, GetMenuItemCount(popup), TRUE, &row);
}

}  // namespace

LRESULT openStarMenu(HWND window) {
  const WCHAR* path = currentEntryPath();
  g_state.currentRating = ratingShownFor(path);

  HMENU bar = CreateMenu();
  HMENU popup = CreatePopupMenu();
  if (!bar || !popup) {
    if (popup) DestroyMenu(popup);
    if (bar) DestroyMenu(bar);
    return 0;
  }
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), nullptr);
  for (int stars = kStarLevels - 1; stars >= 0; --stars) appendStarRow(popup, stars);

  // The menu runs a message loop of its own, during which the player may quit
  // and unload the plugin. A reference of the menu's own keeps the code this
  // call returns into mapped; it is given back only if the player still holds
  // the module, otherwise the module stays loaded until the player exits.
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&openStarMenu), &self);
  if (g_state.starMenusOpen++ == 0) g_state.quitWhileStarMenuOpen = 0;

  SetForegroundWindow(window);
  POINT cursor = {0, 0};
  GetCursorPos(&cursor);
  TrackPopupMenu(popup, TPM_LEFTBUTTON, cursor.x, cursor.y, 0, window, nullptr);
  // Without a message after the menu, the next click on the icon may only
  // close a menu that is already gone instead of opening a new one.
  PostMessageW(window, WM_NULL, 0, 0);
  DestroyMenu(bar);  // takes the popup with it

  --g_state.starMenusOpen;
  if (self && !g_state.quitWhileStarMenuOpen) FreeLibrary(self);
  return 0;
}

void noteQuitDuringStarMenu() {
  if (g_state.starMenusOpen) g_state.quitWhileStarMenuOpen = 1;
}

int starMenuKeyRow(WPARAM wParam, LPARAM lParam) {
  const WCHAR key = LOWORD(wParam);
  if (key < L'0' || key > L'5') return -1;
  const int stars = key - L'0';
  // Another menu of the player's asks the same question: only a menu whose row
  // there is this star row is the star menu.
  const UINT id = GetMenuItemID(reinterpret_cast<HMENU>(lParam), starMenuRow(stars));
  return id == static_cast<UINT>(starMenuId(stars)) ? starMenuRow(stars) : -1;
}

void measureStarRow(MEASUREITEMSTRUCT* item) {
  item->itemHeight = scaledToMenuDpi(kRowHeight);
  item->itemWidth = scaledToMenuDpi(kRowWidth) - GetSystemMetrics(SM_CXMENUCHECK);
}

void drawStarRow(const DRAWITEMSTRUCT* item) {
  const int stars = static_cast<int>(item->itemID) - kFirstStarCommand;
  HBRUSH white = CreateSolidBrush(RGB(255, 255, 255));
  FillRect(item->hDC, &item->rcItem, white);
  const int highlighted = (item->itemState & ODS_SELECTED) ? 1 : 0;
  const int starPicture = g_state.currentRating == stars ? kCurrentStarPicture : kStarPicture;
  const int size = g_state.menuPictureSize;
  const int top = item->rcItem.top + (scaledToMenuDpi(kRowHeight) - size) / 2;
  for (int i = 0; i < 5; ++i) {
    const int picture = (i < stars ? starPicture : kDotPicture) + highlighted;
    const int left = item->rcItem.left + scaledToMenuDpi(kPictureLeft + kPictureStep * i);
    DrawIconEx(item->hDC, left, top, g_state.menuIcons[picture], size, size, 0, nullptr, DI_NORMAL);
  }
  DeleteObject(white);
}

void applyStarChoice(int id) {
  checkMediaLibraryOverlap();
  rateFile(currentEntryPath(), id - kFirstStarCommand);
}

void rateFile(const WCHAR* path, int stars) {
  const RatingSaveResult result = saveChosenRating(path, stars);
  // A large file goes on being written; its end tells the player and the icon.
  if (result == kRatingSaving) return;
  showRatingNotSaved(result, path);
  if (result == kRatingSaved) notifyRatingSaved(path, stars);
  followCurrentEntryRating();
}

void followCurrentEntryRating() {
  // The icon shows what the file holds now, saved or not; while playing, the
  // player is told as well.
  scheduleRefresh();
  if (hostIsPlaying()) SendMessageW(g_header.hostWindow, WM_USER, kRatingChanged, kNotifyTitleChange);
}

void applyStarStep(int step) {
  const WCHAR* path = currentEntryPath();
  const int stars = ratingShownFor(path) + step;
  if (stars >= 0 && stars < kStarLevels) {
    applyStarChoice(starMenuId(stars));
    return;
  }
  // At 5 or 0 there is nothing to write, but the icon comes to show what the file
  // holds. A file that is gone reads as unrated, so the user hears about it as a
  // choice in the menu would tell. (A path too long for this plain check reads
  // as present.)
  scheduleRefresh();
  if (path && lstrlenW(path) < MAX_PATH && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      showRatingNotSaved(kRatingFileMissing, path);
  }
}
