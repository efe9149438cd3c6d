// SPDX-License-Identifier: LGPL-2.1-or-later
// A chosen rating that means writing a large file anew: the copy goes on in
// slices from a timer on the player's window thread, so that the player never
// freezes for long. Meanwhile the icon shows the chosen rating and the tooltip
// the progress.
#include <stdio.h>

#include "host/host_queries.h"
#include "host/media_library.h"
#include "host/plugin.h"
#include "host/texts.h"
#include "tray/rating_batch.h"
#include "rating/store/journal_recovery.h"
#include "rating/store/rewrite_job.h"
#include "resources/resource_ids.h"
#include "tray/tray.h"

namespace {

const UINT kSliceMilliseconds = 40;  // timer period
const double kWorkMilliseconds = 30;  // at most about this much work per tick
const uint64_t kSliceBytes = 1024 * 1024;

void stopSaveTimer() {
  if (g_state.saveTimer == 0) return;
  KillTimer(nullptr, g_state.saveTimer);
  g_state.saveTimer = 0;
}

// The save is over: the user hears why when it failed, and the icon comes to
// show what the file holds.
// `stars`: the rating the job was writing (the job forgets it when it ends).
void finishPendingSave(RatingSaveResult result, int stars) {
  stopSaveTimer();
  showRatingNotSaved(result, g_state.pendingSavePath);
  if (result == kRatingSaved) notifyRatingSaved(g_state.pendingSavePath, stars);
  // A batch that began it counts it, and goes on.
  noteBackgroundSaveDone(g_state.pendingSavePath, result);
  g_state.pendingSavePath[0] = 0;
  scheduleRefresh();
  if (result == kRatingSaved && hostIsPlaying())
    SendMessageW(g_header.hostWindow, WM_USER, kRatingChanged, kNotifyTitleChange);
}

void CALLBACK continuePendingSave(HWND, UINT, UINT_PTR, DWORD) {
  const double start = nowMilliseconds();
  const int stars = g_state.pendingSave.stars;
  RatingSaveResult result = kRatingSaving;
  // The copy's placement waits for a tick of its own (rewriteReadyToPlace).
  do {
    result = continueRewrite(&g_state.pendingSave, kSliceBytes);
  } while (result == kRatingSaving && nowMilliseconds() - start < kWorkMilliseconds &&
           !rewriteReadyToPlace(&g_state.pendingSave));
  if (result == kRatingSaving)
    updateTrayIcon();  // the progress
  else
    finishPendingSave(result, stars);
}

// The job in g_state.pendingSave has begun for `path`: the timer carries it on.
void carryOnPendingSave(const WCHAR* path) {
  lstrcpynW(g_state.pendingSavePath, path, kEntryPathChars);
  g_state.saveTimer = SetTimer(nullptr, 0, kSliceMilliseconds, continuePendingSave);
}

}  // namespace

double nowMilliseconds() {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool savePending() { return g_state.pendingSave.stage != kRewriteIdle; }

bool pendingSaveIsFor(const WCHAR* path) {
  return savePending() && path && lstrcmpW(path, g_state.pendingSavePath) == 0;
}

int ratingShownFor(const WCHAR* path) {
  return pendingSaveIsFor(path) ? g_state.pendingSave.stars : readRating(path);
}

RatingSaveResult saveChosenRating(const WCHAR* path, int stars) {
  // A second choice while the first is being written: the new one is written instead
  // (a copy whose rating byte the job does not know is finished first).
  if (pendingSaveIsFor(path) && changeRewriteRating(&g_state.pendingSave, stars)) {
    g_state.currentRating = stars;
    updateTrayIcon();
    return kRatingSaving;
  }
  // Another file's save first; it is not left half done.
  if (savePending()) {
    const int pendingStars = g_state.pendingSave.stars;
    finishPendingSave(finishRewrite(&g_state.pendingSave), pendingStars);
  }
  const RatingSaveResult result = startRatingSave(path, stars, &g_state.pendingSave);
  if (result != kRatingSaving) return result;
  carryOnPendingSave(path);
  // The icon shows the rating being written, when it is the current entry's.
  const WCHAR* current = currentEntryPath();
  if (current && lstrcmpiW(current, path) == 0) g_state.currentRating = stars;
  updateTrayIcon();
  return result;
}

void resumeInterruptedSaves() {
  if (savePending()) return;
  if (recoverJournaledRewrites(nullptr, &g_state.pendingSave, kSlicedRewriteFrom) != kRatingSaving) return;
  carryOnPendingSave(g_state.pendingSave.note.track);
}

void pendingSaveTip(WCHAR* tip, int chars) {
  if (!savePending()) return;
  WCHAR percent[12], progress[64];
  _snwprintf(percent, 11, L"%d", rewriteProgress(&g_state.pendingSave));
  percent[11] = 0;
  const WCHAR* places[] = {percent};
  // Never more than half the tip, so that the title keeps room too.
  formatText(IDS_SAVING_PROGRESS, progress, chars / 2 < 64 ? chars / 2 : 64, places, 1);
  // The title gives up room for the progress, which always shows whole.
  const int room = chars - 1 - lstrlenW(progress) - 1;
  if (lstrlenW(tip) > room) tip[room > 0 ? room : 0] = 0;
  if (tip[0]) lstrcatW(tip, L"\n");
  lstrcatW(tip, progress);
}

void endPendingSaveForQuit() {
  stopSaveTimer();
  // A copy back that has begun is finished; one that has not is given up and the
  // file left as it was.
  endRewriteForQuit(&g_state.pendingSave);
  g_state.pendingSavePath[0] = 0;
}
