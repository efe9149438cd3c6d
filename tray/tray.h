// SPDX-License-Identifier: LGPL-2.1-or-later
// The tray side of the plugin: the hook on the host window and the icon.
#pragma once

#include <windows.h>

#include "rating/rating.h"

enum {
  kTrayIconId = 4538,
  kTrayCallbackMessage = 0x20F4,
  kFirstStarCommand = 11000,    // menu row of n stars: 11000 + n; also the hotkey action "rate n"
  kOneStarMoreCommand = 11010,  // hotkey actions, apart from the star rows
  kOneStarLessCommand = 11011,
  kBalloonChars = 256,  // a balloon's text and its terminator
};

LRESULT CALLBACK hook(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void noteQuitDuringPassedOnMessage();
void updateTrayIcon();
// A balloon with that text on the plugin's icon, when the icon is shown.
void showTrayBalloon(const WCHAR* text);
// Tells the user, in a balloon naming the file, why a chosen rating was not
// saved; says nothing when it was, or when there is no file to name.
void showRatingNotSaved(RatingSaveResult result, const WCHAR* path);

// Tray and menu pictures at the display's sizes, from init to quit.
void loadIcons();
void destroyIcons();
// Pixels at 96 DPI scaled to the DPI the menu was set up for.
int scaledToMenuDpi(int pixels);

// Star menu.
LRESULT openStarMenu(HWND window);
// The row a key chooses in the star menu (WM_MENUCHAR), -1 for other keys and menus.
int starMenuKeyRow(WPARAM wParam, LPARAM lParam);
void measureStarRow(MEASUREITEMSTRUCT* item);
void drawStarRow(const DRAWITEMSTRUCT* item);
// Rates the current entry's file as the star menu's row of `id` does.
void applyStarChoice(int id);
// Writes the rating into the file as a choice in the star menu does, the notice aside:
// the balloon when it is not saved, the player told when it is, the icon following.
void rateFile(const WCHAR* path, int stars);
// After a rating of the current entry's file: the icon comes to show what the file
// holds, and a playing player hears that the rating changed.
void followCurrentEntryRating();
// One star more (+1) or less (-1) than the current entry's file holds now;
// nothing is written at 5 or 0.
void applyStarStep(int step);
void noteQuitDuringStarMenu();

// A chosen rating written into a large file in slices (rewrite_job.h).
// Saves the rating: at once, or, for a large file, begun and carried on from a
// timer (kRatingSaving); a second choice for the same file replaces the first.
RatingSaveResult saveChosenRating(const WCHAR* path, int stars);
bool savePending();
bool pendingSaveIsFor(const WCHAR* path);
// The file's rating as the user sees it: the rating still being written into it
// counts as the file's.
int ratingShownFor(const WCHAR* path);
// Adds the progress of a pending save to the tooltip text `tip` (room for `chars`).
void pendingSaveTip(WCHAR* tip, int chars);
void endPendingSaveForQuit();
// At init: what a crash left of a rating write is settled; a large copy back goes on as a
// pending save, with the tooltip's progress.
void resumeInterruptedSaves();

// The performance counter in milliseconds: how long a slice of work has run.
double nowMilliseconds();

// Delayed refresh of the current entry's rating and title.
void scheduleRefresh();
void CALLBACK refreshNow(HWND window, UINT message, UINT_PTR id, DWORD time);
void stopRefreshTimer();
