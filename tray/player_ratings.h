// SPDX-License-Identifier: LGPL-2.1-or-later
// The player's own ratings (its hotkeys, skins, song-ticker and playlist menus) go to its
// media library only. Once the player has handled one, the file comes to hold the rating
// the library now gives the entry, as if chosen in the star menu.
#pragma once

#include <windows.h>

// WM_COMMAND ids of the player's rating menus.
enum {
  kTickerRateFiveCommand = 40396,  // 40396..40401: 5..0 stars for the current entry
  kTickerRateNoneCommand = 40401,
  kPlaylistRateFiveCommand = 40402,  // 40402..40407: 5..0 stars for every selected entry
  kPlaylistRateNoneCommand = 40407,
};

bool isPlayerRatingCommand(int command);
// After the player handled WM_USER 639 with `value`.
void followPlayerSetRating(WPARAM value);
// After the player handled one of its rating menu commands.
void followPlayerRatingCommand(int command);
