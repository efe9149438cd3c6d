// SPDX-License-Identifier: LGPL-2.1-or-later
// A rating write that writes the whole file anew; see rewrite_job.h.
#include "rating/store/rewrite_job.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "rating/store/tag_file.h"

const wchar_t kRewriteCopySuffix[] = L".vimbrel-new";

namespace {

const size_t kPieceSize = 64 * 1024;
// Slices of a copy back that may fail in a row before it is given up.
const int kCopyBackAttempts = 20;

uint64_t newSize(const RewriteJob* job) { return job->tag.size + (job->trackAtStart.size - job->oldTagSize); }

bool trackUnchanged(const RewriteJob* job) {
  const PathInfo now = pathInfo(job->path, nullptr);
  return now.exists && !now.isFolder && now.size == job->trackAtStart.size &&
         now.lastWriteTime == job->trackAtStart.lastWriteTime;
}

// Back to idle; the copy, if any, removed.
RatingSaveResult endJob(RewriteJob* job, RatingSaveResult result) {
  closeTrackFile(&job->copy);
  if (job->copyPath) deleteFileAt(job->copyPath);
  std::free(job->copyPath);
  std::free(job->path);
  releaseEditedTag(&job->tag);
  *job = RewriteJob();
  return result;
}

// The copy's byte at `offset` of the new file: from the new tag, or from the track.
// Copies up to `budget` bytes; false on a failed read or write.
bool copySlice(RewriteJob* job, uint64_t budget, FileStatus* status) {
  const uint64_t total = newSize(job);
  const uint64_t end = job->done + budget < total ? job->done + budget : total;
  if (job->done < job->tag.size) {
    const uint64_t count = (end < job->tag.size ? end : job->tag.size) - job->done;
    const size_t count32 = static_cast<size_t>(count);
    if (writeTrackAt(job->copy, job->done, job->tag.bytes + job->done, count32, status) != count32) return false;
    job->done += count;
  }
  if (job->done >= end) return true;
  TrackFile track = openTrackFile(job->path, kTrackRead, status);
  if (!track.handle) return false;
  unsigned char* piece = static_cast<unsigned char*>(std::malloc(kPieceSize));
  bool copied = piece != nullptr;
  while (copied && job->done < end) {
    const size_t count = end - job->done < kPieceSize ? static_cast<size_t>(end - job->done) : kPieceSize;
    const uint64_t from = job->oldTagSize + (job->done - job->tag.size);
    copied = readTrackAt(track, from, piece, count) == count &&
             writeTrackAt(job->copy, job->done, piece, count, status) == count;
    if (copied) job->done += count;
  }
  std::free(piece);
  closeTrackFile(&track);
  return copied;
}

// Compares a slice of the copy with the new tag and the track.
bool checkSlice(RewriteJob* job, uint64_t budget) {
  const uint64_t total = newSize(job);
  const uint64_t end = job->done + budget < total ? job->done + budget : total;
  unsigned char piece[4096];
  const uint64_t tagEnd = end < job->tag.size ? end : job->tag.size;
  while (job->done < tagEnd) {
    const size_t count = tagEnd - job->done < sizeof piece ? static_cast<size_t>(tagEnd - job->done) : sizeof piece;
    if (readTrackAt(job->copy, job->done, piece, count) != count ||
        std::memcmp(piece, job->tag.bytes + job->done, count) != 0)
      return false;
    job->done += count;
  }
  if (job->done >= end) return true;
  TrackFile track = openTrackFile(job->path, kTrackRead, nullptr);
  if (!track.handle) return false;
  const bool same =
      sameBytes(track, job->oldTagSize + (job->done - job->tag.size), job->copy, job->done, end - job->done);
  closeTrackFile(&track);
  if (same) job->done = end;
  return same;
}

// The checked copy over the held track, a slice at a time; each slice is made durable
// before the next, so that no single flush keeps the player waiting for long.
RatingSaveResult copyBackSlice(RewriteJob* job, uint64_t budget) {
  FileStatus status = kFileFailed;
  TrackFile track = openTrackFile(job->path, kTrackHold, &status);
  if (!track.handle) return kRatingNotSaved;
  const uint64_t total = newSize(job);
  const uint64_t end = job->done + budget < total ? job->done + budget : total;
  unsigned char* piece = static_cast<unsigned char*>(std::malloc(kPieceSize));
  bool copied = piece != nullptr;
  uint64_t done = job->done;
  while (copied && done < end) {
    const size_t count = end - done < kPieceSize ? static_cast<size_t>(end - done) : kPieceSize;
    copied = readTrackAt(job->copy, done, piece, count) == count &&
             writeTrackAt(track, done, piece, count, &status) == count;
    if (copied) done += count;
  }
  std::free(piece);
  if (copied) copied = flushTrackFile(track);
  closeTrackFile(&track);
  if (!copied) return kRatingNotSaved;
  job->done = done;
  return job->done < total ? kRatingSaving : kRatingSaved;
}

// Replaces the track by the checked copy when nothing holds it; kFileLocked when the
// player holds it without delete sharing (then it is copied back instead).
FileStatus replaceTrack(RewriteJob* job) {
  const FileStatus free = probeReplace(job->path);
  if (free != kFileOk) return free;
  wchar_t* backup = freeNameBeside(job->path, kReplacedSuffix);
  if (!backup) return kFileFailed;
  const FileStatus replaced = replaceFileWith(job->path, job->copyPath, backup);
  if (replaced == kFileOk) deleteFileAt(backup);
  std::free(backup);
  return replaced;
}

// The checked copy takes the track's place: in one step when the track can be replaced,
// else copied back over it (the player holds it without delete sharing).
RatingSaveResult putCopyInPlace(RewriteJob* job) {
  if (!trackUnchanged(job)) return endJob(job, kRatingNotSaved);
  closeTrackFile(&job->copy);
  const FileStatus replaced = replaceTrack(job);
  if (replaced == kFileOk) {
    std::free(job->copyPath);
    job->copyPath = nullptr;  // it is the track now
    return endJob(job, kRatingSaved);
  }
  job->copy = openTrackFile(job->copyPath, kTrackHold, nullptr);
  if (replaced != kFileLocked || !job->copy.handle) return endJob(job, kRatingNotSaved);
  // The copy back grows the track in place: the room for that first.
  if (!volumeHasRoom(job->path, newSize(job) - job->trackAtStart.size + kRewriteSpareRoom))
    return endJob(job, kRatingDiskFull);
  job->stage = kRewriteCopyingBack;
  job->done = 0;
  return kRatingSaving;
}

}  // namespace

RatingSaveResult beginRewrite(RewriteJob* job, const wchar_t* path, EditedTag* tag, uint64_t oldTagSize,
                              int stars) {
  *job = RewriteJob();
  job->tag = *tag;
  *tag = {nullptr, 0, 0};
  job->stars = stars;
  job->oldTagSize = oldTagSize;
  FileStatus status = kFileFailed;
  job->trackAtStart = pathInfo(path, &status);
  const size_t pathLength = std::wcslen(path);
  job->path = static_cast<wchar_t*>(std::malloc((pathLength + 1) * sizeof(wchar_t)));
  if (!job->path) return endJob(job, kRatingNotSaved);
  std::wmemcpy(job->path, path, pathLength + 1);
  if (!job->trackAtStart.exists || job->trackAtStart.size < oldTagSize || job->tag.size < oldTagSize)
    return endJob(job, kRatingNotSaved);
  // The copy, and later perhaps the track growing by the copy back.
  if (!volumeHasRoom(path, 2 * newSize(job) + kRewriteSpareRoom)) return endJob(job, kRatingDiskFull);
  job->copyPath = pathWithSuffix(path, kRewriteCopySuffix);
  if (!job->copyPath) return endJob(job, kRatingNotSaved);
  job->copy = createNewFile(job->copyPath);
  if (!job->copy.handle) {
    // Not ours to remove: a file of that name was there already.
    std::free(job->copyPath);
    job->copyPath = nullptr;
    return endJob(job, kRatingNotSaved);
  }
  job->stage = kRewriteCopying;
  job->done = 0;
  return kRatingSaving;
}

RatingSaveResult continueRewrite(RewriteJob* job, uint64_t budget) {
  if (budget == 0) budget = 1;
  switch (job->stage) {
    case kRewriteIdle:
      return kRatingNotSaved;
    case kRewriteCopying: {
      FileStatus status = kFileOk;
      // Each slice durable before the next: the copy is whole on the disk before it
      // replaces anything, and no single flush is long.
      if (!copySlice(job, budget, &status) || !flushTrackFile(job->copy))
        return endJob(job, status == kFileDiskFull ? kRatingDiskFull : kRatingNotSaved);
      if (job->done == newSize(job)) {
        job->stage = kRewriteChecking;
        job->done = 0;
      }
      return kRatingSaving;
    }
    case kRewriteChecking:
      if (!checkSlice(job, budget)) return endJob(job, kRatingNotSaved);
      if (job->done == newSize(job)) return putCopyInPlace(job);
      return kRatingSaving;
    case kRewriteCopyingBack: {
      const RatingSaveResult result = copyBackSlice(job, budget);
      if (result != kRatingNotSaved) return result == kRatingSaving ? result : endJob(job, result);
      // The track is half written: the next slice tries again; after that many tries
      // the checked copy stays beside it, so that nothing of the user's is lost.
      if (++job->copyBackFailures < kCopyBackAttempts) return kRatingSaving;
      closeTrackFile(&job->copy);
      std::free(job->copyPath);
      job->copyPath = nullptr;
      return endJob(job, kRatingNotSaved);
    }
  }
  return kRatingNotSaved;
}

uint64_t rewriteSize(const RewriteJob* job) { return job->stage == kRewriteIdle ? 0 : newSize(job); }

RatingSaveResult finishRewrite(RewriteJob* job) {
  RatingSaveResult result = kRatingSaving;
  const uint64_t everything = ~uint64_t{0} / 4;
  while (result == kRatingSaving) result = continueRewrite(job, everything);
  return result;
}

int rewriteProgress(const RewriteJob* job) {
  if (job->stage == kRewriteIdle) return 0;
  const uint64_t total = newSize(job);
  if (total == 0) return 0;
  // Copy, check and copy back each count a third; a job that replaces the track ends early.
  const uint64_t stage = job->stage == kRewriteCopying ? 0 : job->stage == kRewriteChecking ? 1 : 2;
  const uint64_t percent = (stage * 100 + job->done * 100 / total) / 3;
  return percent > 99 ? 99 : static_cast<int>(percent);
}

void changeRewriteRating(RewriteJob* job, int stars) {
  if (job->stage == kRewriteIdle || stars < 0 || stars > 5) return;
  const unsigned char rating = static_cast<unsigned char>(RatingScale[stars]);
  job->stars = stars;
  job->tag.bytes[job->tag.ratingOffset] = rating;
  // What was already written takes the new rating too.
  if (job->stage != kRewriteCopying || job->done > job->tag.ratingOffset) {
    writeTrackAt(job->copy, job->tag.ratingOffset, &rating, 1, nullptr);
    flushTrackFile(job->copy);
  }
  if (job->stage == kRewriteCopyingBack && job->done > job->tag.ratingOffset) {
    TrackFile track = openTrackFile(job->path, kTrackHold, nullptr);
    if (track.handle && writeTrackAt(track, job->tag.ratingOffset, &rating, 1, nullptr) == 1)
      flushTrackFile(track);
    closeTrackFile(&track);
  }
}

void endRewriteForQuit(RewriteJob* job) {
  if (job->stage == kRewriteCopyingBack) {
    finishRewrite(job);
    return;
  }
  if (job->stage != kRewriteIdle) endJob(job, kRatingNotSaved);
}
