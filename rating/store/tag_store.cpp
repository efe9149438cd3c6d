// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading and writing the rating: the file's bytes tell its room (rooms.h), which reads the
// rating and plans a write; the store carries the plan out, knowing no kind of file: patches
// in place (patch_route.h) or the new file (rewrite_job.h). The rooms only read the track.
#include "rating/file/track_file.h"
#include "rating/rating.h"
#include "rating/rooms.h"
#include "rating/store/journal_recovery.h"
#include "rating/store/patch_route.h"
#include "rating/store/rewrite_job.h"
#include "rating/store/tag_file.h"

namespace {

bool isEmptyPath(const wchar_t* path) { return path == nullptr || path[0] == 0; }

RatingSaveResult saveResultOf(FileStatus status) {
  switch (status) {
    case kFileOk:
      return kRatingSaved;
    case kFileMissing:
      return kRatingFileMissing;
    case kFileReadOnly:
      return kRatingFileReadOnly;
    case kFileLocked:
      return kRatingFileLocked;
    case kFileDiskFull:
      return kRatingDiskFull;
    case kFileFailed:
      break;
  }
  return kRatingNotSaved;
}

// A write needs an existing regular file; one marked read-only is left alone too (Windows
// refuses to open it for writing anyway, Wine running as root does not).
RatingSaveResult checkWritableRegularFile(const wchar_t* path) {
  FileStatus status = kFileFailed;
  const PathInfo info = pathInfo(path, &status);
  if (!info.exists) return status == kFileOk ? kRatingFileMissing : saveResultOf(status);
  if (info.isFolder) return kRatingFileMissing;
  if (info.readOnly) return kRatingFileReadOnly;
  return kRatingSaved;
}

// A room's read and plan may call a library that throws (rooms.h); here, the one place that
// catches it, a read cut short reads no rating, and a plan cut short is one that failed.
int readWithRoom(const Room& room, const ByteSource& source) {
  try {
    return room.readStars(source);
  } catch (...) {
    return 0;
  }
}

void planWithRoom(const Room& room, const ByteSource& source, int stars, WritePlan* plan) {
  initWritePlan(plan);
  try {
    room.plan(source, stars, plan);
  } catch (...) {
    releaseWritePlan(plan);
    plan->failed = true;
  }
}

int readStarsOfFile(const wchar_t* path) {
  TrackFile file = openTrackFile(path, kTrackRead, nullptr);
  if (file.handle == nullptr) return 0;
  int stars = 0;
  uint64_t size = 0;
  if (trackFileSize(file, &size)) {
    const ByteSource source = byteSourceOf(file, size);
    const Room* room = roomOf(source);
    if (room != nullptr) stars = readWithRoom(*room, source);
  }
  closeTrackFile(&file);
  return stars;
}

// Stores `stars` as the file's room plans it: bytes in place now, through the held handle,
// or the new file, left in `newFile` for the rewrite once the track is no longer held.
RatingSaveResult storeWithRoom(const wchar_t* path, TrackFile file, const ByteSource& source,
                               const Room& room, int stars, WritePlan* newFile) {
  WritePlan plan;
  planWithRoom(room, source, stars, &plan);
  RatingSaveResult result = kRatingTagRefused;
  if (plan.failed) {
    result = kRatingNotSaved;
  } else if (plan.kind == kPlanNothing) {
    result = plan.alreadyStored ? kRatingSaved : kRatingTagRefused;
  } else if (plan.kind == kPlanInPlace && patchesFitInPlace(plan, source.size)) {
    result = saveResultOf(writePatchesInPlace(path, file, plan, stars));
  } else if (plan.kind == kPlanInPlace && !inPlaceAsNewFile(&plan, source.size)) {
    result = kRatingNotSaved;
  }
  if (plan.kind == kPlanNewFile) {
    if (plan.oldSize != source.size) {
      result = kRatingNotSaved;
    } else {
      *newFile = plan;
      initWritePlan(&plan);
      result = kRatingSaving;
    }
  }
  releaseWritePlan(&plan);
  return result;
}

// Stores the rating as the file's room plans it. The file stays open (reading and writing,
// sharing read and write but not delete) for the whole call: an in-place change goes through
// this handle. A new file is only planned here (`newFile`), to be written once the file is no
// longer held.
RatingSaveResult storeRating(const wchar_t* path, int stars, WritePlan* newFile) {
  FileStatus status = kFileFailed;
  TrackFile file = openTrackFile(path, kTrackHold, &status);
  if (file.handle == nullptr) return saveResultOf(status);
  RatingSaveResult result = kRatingNotSaved;
  uint64_t size = 0;
  if (trackFileSize(file, &size)) {
    const ByteSource source = byteSourceOf(file, size);
    const Room* room = roomOf(source);
    result =
        room == nullptr ? kRatingUnknownFormat : storeWithRoom(path, file, source, *room, stars, newFile);
  }
  closeTrackFile(&file);
  return result;
}

// The file reads back `stars`. A read that fails reads 0 stars, so one that disagrees is
// tried once more: a passing read error is no proof that the rating is not there.
bool fileHoldsRating(const wchar_t* path, int stars) {
  return readRating(path) == stars || readRating(path) == stars;
}

}  // namespace

int readRating(const wchar_t* path) {
  if (isEmptyPath(path)) return 0;
  // What a crash left of a rewrite of this file is settled first; a large copy back waits
  // for the player's timer (journal_recovery.h).
  recoverJournaledRewrites(path, nullptr, kSlicedRewriteFrom);
  return readStarsOfFile(path);
}

RatingSaveResult startRatingSave(const wchar_t* path, int stars, RewriteJob* job) {
  *job = RewriteJob();
  if (isEmptyPath(path) || stars < 0 || stars > 5) return kRatingNotSaved;
  // What a crash left of a rewrite of this file is settled first. A large copy back goes on
  // in the job and takes the new choice with it.
  if (recoverJournaledRewrites(path, job, kSlicedRewriteFrom) == kRatingSaving) {
    if (changeRewriteRating(job, stars)) return kRatingSaving;
    finishRewrite(job);
  }
  RatingSaveResult result = checkWritableRegularFile(path);
  WritePlan newFile;
  initWritePlan(&newFile);
  if (result == kRatingSaved) result = storeRating(path, stars, &newFile);
  if (result == kRatingSaving) {
    result = beginRewrite(job, path, &newFile, stars);
    // A small file is done at once; a large one goes on in slices.
    if (result == kRatingSaving && rewriteSize(job) < kSlicedRewriteFrom) result = finishRewrite(job);
  }
  releaseWritePlan(&newFile);
  // What counts is what the file holds now.
  if (result == kRatingSaved && !fileHoldsRating(path, stars)) result = kRatingNotSaved;
  return result;
}

RatingSaveResult writeRating(const wchar_t* path, int stars) {
  RewriteJob job;
  RatingSaveResult result = startRatingSave(path, stars, &job);
  if (result == kRatingSaving) {
    result = finishRewrite(&job);
    if (result == kRatingSaved && !fileHoldsRating(path, stars)) result = kRatingNotSaved;
  }
  return result;
}
