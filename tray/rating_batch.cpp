// SPDX-License-Identifier: LGPL-2.1-or-later
// The batches' timer. Each tick does about 50 ms of work, one whole file at a time;
// a large file goes on in slices on the pending save's own timer (tray/pending_save.cpp),
// and the batches wait for it, so that no file is ever written twice at once.
#include "tray/rating_batch.h"

#include <stdlib.h>

#include "host/host_queries.h"
#include "host/media_library.h"
#include "host/plugin.h"
#include "tray/tray.h"

namespace {

const UINT kTickMilliseconds = 10;
const double kWorkMilliseconds = 50;

template <typename T>
bool grow(T** items, DWORD* room, DWORD wanted) {
  if (wanted <= *room) return true;
  DWORD newRoom = *room ? *room : 256;
  while (newRoom < wanted) {
    if (newRoom > 0x7FFFFFFF / sizeof(T) / 2) return false;
    newRoom *= 2;
  }
  T* grown = static_cast<T*>(realloc(*items, newRoom * sizeof(T)));
  if (!grown) return false;
  *items = grown;
  *room = newRoom;
  return true;
}

// A drive's or a share's path; anything else would be taken from the player's own folder.
bool isFullPath(const WCHAR* path) {
  if (!path) return false;
  const bool drive = ((path[0] | 0x20) >= L'a' && (path[0] | 0x20) <= L'z') && path[1] == L':' &&
                     (path[2] == L'\\' || path[2] == L'/');
  return drive || (path[0] == L'\\' && path[1] == L'\\');
}

bool isCurrentEntry(const WCHAR* path) {
  const WCHAR* current = currentEntryPath();
  return current && lstrcmpiW(current, path) == 0;
}

BatchOutcome outcomeOf(RatingSaveResult result) {
  switch (result) {
    case kRatingSaved: return kBatchRated;
    case kRatingFileMissing: return kBatchMissing;
    case kRatingFileReadOnly: return kBatchReadOnly;
    case kRatingFileLocked: return kBatchLocked;
    case kRatingDiskFull: return kBatchDiskFull;
    case kRatingUnknownFormat: return kBatchUnknownFormat;
    case kRatingTagRefused: return kBatchRefused;
    default: return kBatchNotWritten;
  }
}

void settle(RatingBatch* batch, int index, BatchOutcome outcome) {
  batch->entries[index].outcome = static_cast<unsigned char>(outcome);
  ++batch->outcomes[outcome];
}

// A save has ended; `announced`: the pending save told the player and the user already.
void settleSave(RatingBatch* batch, int index, RatingSaveResult result, bool announced) {
  const WCHAR* path = batchPath(batch, index);
  settle(batch, index, outcomeOf(result));
  if (announced) return;
  if (result == kRatingSaved) {
    notifyRatingSaved(path, batch->entries[index].stars);
    if (isCurrentEntry(path)) followCurrentEntryRating();
  } else if (!batch->fromLibrary) {
    // The library's batch names its files in its report instead.
    showRatingNotSaved(result, path);
  }
}

void rateEntry(RatingBatch* batch, int index) {
  const WCHAR* path = batchPath(batch, index);
  const int stars = batch->entries[index].stars;
  if (batch->entries[index].outcome != kBatchToDo) return;  // settled when the list was made
  if (!isFullPath(path)) return settle(batch, index, kBatchNoFullPath);
  if (batch->fromLibrary) {
    const int held = ratingShownFor(path);
    if (held == stars) return settle(batch, index, kBatchAlreadyHeld);
    if (held != 0 && !batch->libraryWins) {
      // The library reads the file's own rating.
      notifyRatingSaved(path, held);
      return settle(batch, index, kBatchKeptOwn);
    }
  }
  const RatingSaveResult result = saveChosenRating(path, stars);
  if (result == kRatingSaving)
    batch->waiting = index;
  else
    settleSave(batch, index, result, false);
}

RatingBatch* batchWithWork() {
  if (batchRunning(&g_state.playerBatch)) return &g_state.playerBatch;
  if (batchRunning(&g_state.libraryBatch)) return &g_state.libraryBatch;
  return nullptr;
}

void stopBatchTimer() {
  if (g_state.batchTimer == 0) return;
  KillTimer(nullptr, g_state.batchTimer);
  g_state.batchTimer = 0;
}

void finishBatch(RatingBatch* batch) {
  if (batch->finished)
    batch->finished();
  else
    releaseBatchLists(batch);
}

void finishIfDone(RatingBatch* batch) {
  if (batch->waiting >= 0 || (batch->next < batch->count && !batch->cancelled)) return;
  finishBatch(batch);
}

void CALLBACK batchTick(HWND, UINT, UINT_PTR, DWORD) {
  const double start = nowMilliseconds();
  while (nowMilliseconds() - start < kWorkMilliseconds) {
    if (savePending()) break;  // its own timer writes it; the batches wait
    RatingBatch* batch = batchWithWork();
    if (!batch) {
      stopBatchTimer();
      break;
    }
    if (batch->waiting >= 0) break;
    if (batch->next < batch->count && !batch->cancelled) rateEntry(batch, batch->next++);
    finishIfDone(batch);
  }
  RatingBatch* const batches[] = {&g_state.playerBatch, &g_state.libraryBatch};
  for (RatingBatch* batch : batches)
    if (batchRunning(batch) && batch->progressed) batch->progressed();
}

}  // namespace

bool addToBatch(RatingBatch* batch, const WCHAR* path, int stars) {
  const DWORD length = path ? static_cast<DWORD>(lstrlenW(path)) : 0;
  DWORD entryRoom = static_cast<DWORD>(batch->room);
  if (length > 0x7FFFFFFF - batch->textUsed - 1) return false;
  if (!grow(&batch->text, &batch->textRoom, batch->textUsed + length + 1)) return false;
  if (!grow(&batch->entries, &entryRoom, static_cast<DWORD>(batch->count) + 1)) return false;
  batch->room = static_cast<int>(entryRoom);
  BatchEntry& entry = batch->entries[batch->count++];
  entry.pathAt = batch->textUsed;
  entry.stars = static_cast<signed char>(stars < 0 ? 0 : stars > 5 ? 5 : stars);
  entry.outcome = kBatchToDo;
  if (length) CopyMemory(batch->text + batch->textUsed, path, length * sizeof(WCHAR));
  batch->text[batch->textUsed + length] = 0;
  batch->textUsed += length + 1;
  return true;
}

void releaseBatchLists(RatingBatch* batch) {
  free(batch->text);
  free(batch->entries);
  batch->text = nullptr;
  batch->entries = nullptr;
  batch->textUsed = batch->textRoom = 0;
  batch->count = batch->room = batch->next = 0;
  batch->waiting = -1;
}

bool batchRunning(const RatingBatch* batch) { return batch->entries != nullptr; }

const WCHAR* batchPath(const RatingBatch* batch, int index) { return batch->text + batch->entries[index].pathAt; }

void carryOnBatches() {
  if (g_state.batchTimer == 0) g_state.batchTimer = SetTimer(nullptr, 0, kTickMilliseconds, batchTick);
}

void noteBackgroundSaveDone(const WCHAR* path, RatingSaveResult result) {
  RatingBatch* const batches[] = {&g_state.playerBatch, &g_state.libraryBatch};
  for (RatingBatch* batch : batches) {
    if (!batchRunning(batch) || batch->waiting < 0 || lstrcmpW(batchPath(batch, batch->waiting), path) != 0)
      continue;
    const int index = batch->waiting;
    batch->waiting = -1;
    settleSave(batch, index, result, true);
  }
}

void endRatingBatches() {
  stopBatchTimer();
  RatingBatch* const batches[] = {&g_state.playerBatch, &g_state.libraryBatch};
  for (RatingBatch* batch : batches) {
    if (!batchRunning(batch)) continue;
    batch->cancelled = true;
    batch->waiting = -1;  // the pending save is settled on its own
    finishBatch(batch);
  }
}
