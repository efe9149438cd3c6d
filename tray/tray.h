// The tray side of the plugin: the hook on the host window and the icon.
#pragma once

#include <windows.h>

enum {
  kTrayIconId = 4538,
  kTrayCallbackMessage = 0x20F4,
  kFirstStarCommand = 11000,  // menu row of n stars: 11000 + n
};

LRESULT CALLBACK hook(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void updateTrayIcon();

// Tray and menu pictures at the display's sizes, from init to quit.
void loadIcons();
void destroyIcons();
// Pixels at 96 DPI scaled to the DPI the menu was set up for.
int scaledToMenuDpi(int pixels);

// Star menu.
LRESULT openStarMenu(HWND window);
void measureStarRow(MEASUREITEMSTRUCT* item);
void drawStarRow(const DRAWITEMSTRUCT* item);
void applyStarChoice(int id);
void noteQuitDuringStarMenu();

// Delayed refresh of the current entry's rating and title.
void scheduleRefresh();
void CALLBACK refreshNow(HWND window, UINT message, UINT_PTR id, DWORD time);
void stopRefreshTimer();
