// SPDX-License-Identifier: LGPL-2.1-or-later
#include "tray/player_ratings.h"

#include "host/host_queries.h"
#include "host/media_library.h"
#include "host/plugin.h"
#include "host/settings.h"
#include "tray/rating_batch.h"
#include "tray/tray.h"

namespace {

// A selection longer than this is taken for a player's fault.
const int kMostSelectedEntries = 1 << 20;

enum PlayerRatingFollow {
  kShowPlayersValue,  // the player cannot tell whether it has a library: the icon shows its value
  kReadFileAgain,     // the player or its library writes the file itself, or the user said no
  kWriteFile,         // the rating is in the library only: the plugin writes it into the file
};

PlayerRatingFollow howToFollow(HWND* library) {
  switch (findLibrary(library)) {
    case kLibraryUnknown:
      return kShowPlayersValue;
    case kNoLibrary:
      return kReadFileAgain;
    case kLibraryPresent:
      break;
  }
  if (libraryWritesRatings() || readSetting(kSavePlayerRatingsKey, 1) == 0) return kReadFileAgain;
  return kWriteFile;
}

// The library keeps its ratings within 0..5; an odd answer is kept there too.
int currentLibraryRating() {
  const LRESULT rating = queryHost(kQueryRating, 0);
  return rating < 0 ? 0 : rating > 5 ? 5 : static_cast<int>(rating);
}

void rateSelectedEntries(HWND library) {
  RatingBatch* batch = &g_state.playerBatch;
  if (!batchRunning(batch)) {
    ZeroMemory(batch, sizeof *batch);
    batch->waiting = -1;
  }
  LRESULT index = -1;
  for (int taken = 0; taken < kMostSelectedEntries; ++taken) {
    const LRESULT next = queryHost(kQueryNextSelected, static_cast<WPARAM>(index));
    if (next < 0 || next <= index) break;  // the end, or a player going round in circles
    index = next;
    const WCHAR* path = entryPath(index);
    if (!path || !path[0]) continue;
    if (!addToBatch(batch, path, libraryRatingOf(library, path))) break;
  }
  if (batchRunning(batch)) carryOnBatches();
}

}  // namespace

bool isPlayerRatingCommand(int command) {
  return command >= kTickerRateFiveCommand && command <= kPlaylistRateNoneCommand;
}

void followPlayerSetRating(WPARAM value) {
  HWND library = nullptr;
  switch (howToFollow(&library)) {
    case kShowPlayersValue:
      // Anything outside 0 to 5 leaves the icon as it was.
      if (value < kStarLevels) {
        g_state.currentRating = static_cast<int>(value);
        updateTrayIcon();
      }
      return;
    case kReadFileAgain:
      scheduleRefresh();
      return;
    case kWriteFile:
      rateFile(currentEntryPath(), currentLibraryRating());
      return;
  }
}

void followPlayerRatingCommand(int command) {
  HWND library = nullptr;
  switch (howToFollow(&library)) {
    case kShowPlayersValue:
      return;
    case kReadFileAgain:
      scheduleRefresh();
      return;
    case kWriteFile:
      if (command <= kTickerRateNoneCommand)
        rateFile(currentEntryPath(), currentLibraryRating());
      else
        rateSelectedEntries(library);
      return;
  }
}
