// SPDX-License-Identifier: LGPL-2.1-or-later
// Queries and notifications exchanged with the player's main window: WM_USER
// with the number in lParam.
#pragma once

#include <windows.h>

enum HostMessage {
  kQueryIsPlaying = 104,
  kQueryPlaylistIndex = 125,
  kQueryEntryPath = 211,
  kQueryEntryTitle = 213,
  kQueryEntryPathWide = 214,
  kQueryIniPath = 334,
  kQueryIniPathWide = 1334,
  kQueryDialogOwner = 365,
  kNotifyTitleChange = 603,
  kSetRating = 639,       // wParam 0..5, or 6 and (WPARAM)-1 for one star more or less
  kQueryRating = 640,     // the current entry's rating, 0..5, as the media library holds it
  kRemovePrefsPage = 333,  // wParam: the page's record
  kOpenPrefsPage = 380,    // wParam: the page's record
  kAddPrefsPage = 1332,    // wParam: the page's record (PrefsPageRecord)
  kQueryNextSelected = 3029,  // wParam: an index, -1 to begin; the next selected entry after it, -1 for none
  kQueryApiService = 3025,    // the player's service manager (Wasabi), 0 or 1 for none
  kNotifyTagChanged = 3002,
  kNotifyFileTagsMayHaveChanged = 3005,  // wParam: the file's UTF-16 path; the media library reads it again
};

// wParam values of kNotifyTitleChange.
enum {
  kTitleChanged = 0,
  kPlayStatusChanged = 2,
  kRatingChanged = 6,
};

LRESULT queryHost(int number, WPARAM argument);
// The address a query answers, or null: a player that does not know a query
// answers 1 (or 0), and no text lives in the lowest 64 KB of the address space.
const void* queryHostAddress(int number, WPARAM argument);
int hostIsPlaying();
// The file path of the playlist entry at `index`, or null when there is none:
// the player's UTF-16 path, or, from a player that has none, its 8-bit path
// converted from the system code page.
const WCHAR* entryPath(LRESULT index);
// entryPath of the current playlist entry.
const WCHAR* currentEntryPath();
