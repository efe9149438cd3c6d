// Queries and notifications exchanged with the player's main window: WM_USER
// with the number in lParam.
#pragma once

#include <windows.h>

enum HostMessage {
  kQueryIsPlaying = 104,
  kQueryPlaylistIndex = 125,
  kQueryEntryPath = 211,
  kQueryEntryTitle = 213,
  kQueryIniPath = 334,
  kQueryDialogOwner = 365,
  kNotifyTitleChange = 603,
  kSetRating = 639,
  kNotifyTagChanged = 3002,
};

// wParam values of kNotifyTitleChange.
enum {
  kTitleChanged = 0,
  kPlayStatusChanged = 2,
  kRatingChanged = 6,
};

LRESULT queryHost(int number, WPARAM argument);
int hostIsPlaying();
// The current playlist entry's file path (8-bit text) or null when there is none.
const char* currentEntryPath();
