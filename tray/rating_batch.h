// SPDX-License-Identifier: LGPL-2.1-or-later
// Ratings written into many files, one file after the other, from a timer on the
// player's window thread, so that the player never freezes for long: the player's
// own rating of a playlist selection, and the library's ratings of every rated track.
#pragma once

#include <windows.h>

#include "rating/rating.h"

// What became of one file of a batch; the report counts each.
enum BatchOutcome {
  kBatchToDo,
  kBatchRated,
  kBatchAlreadyHeld,
  kBatchKeptOwn,  // the file holds another rating, which stays
  kBatchSkipped,  // the same file once more, or no rating to save
  kBatchNoFullPath,
  kBatchMissing,
  kBatchReadOnly,
  kBatchLocked,
  kBatchDiskFull,
  kBatchUnknownFormat,
  kBatchRefused,
  kBatchNotWritten,
  kBatchOutcomes,
};
const int kFirstNotSaved = kBatchNoFullPath;

struct BatchEntry {
  DWORD pathAt;  // where its path starts in the batch's text
  signed char stars;
  unsigned char outcome;  // BatchOutcome
};

struct RatingBatch {
  WCHAR* text;  // the paths, each ending in a NUL, back to back
  DWORD textUsed, textRoom;  // characters
  BatchEntry* entries;
  int count, room;
  int next;     // the entry to do next
  int waiting;  // the entry whose large file is being written in slices, -1 when none
  bool fromLibrary;  // a file holding another rating keeps it, unless the library's wins
  bool libraryWins;
  bool cancelled;
  int outcomes[kBatchOutcomes];
  void (*finished)();    // the batch's end (all done, or cancelled); none: its lists are given back
  void (*progressed)();  // after each tick's work, or none
};

// Adds a file; false when memory runs out.
bool addToBatch(RatingBatch* batch, const WCHAR* path, int stars);
// Gives back the batch's lists; its counts stay.
void releaseBatchLists(RatingBatch* batch);
bool batchRunning(const RatingBatch* batch);
const WCHAR* batchPath(const RatingBatch* batch, int index);
// Starts the batch timer, when it is not running.
void carryOnBatches();
// A large file's save that a batch began has ended.
void noteBackgroundSaveDone(const WCHAR* path, RatingSaveResult result);
// The player quits, or the plugin is switched off: what is done stays done, the rest is
// left, and each batch's end is called.
void endRatingBatches();
