// SPDX-License-Identifier: LGPL-2.1-or-later
// A rating write that writes the whole file anew; see rewrite_job.h.
#include "rating/store/rewrite_job.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "rating/store/tag_file.h"

namespace {

// The copy and its check go in pieces of this size: fewer calls, still far below the
// memory bound of a write (two pieces at a time).
const size_t kPieceSize = 256 * 1024;
// Slices of a copy back that may fail in a row before it is given up.
const int kCopyBackAttempts = 20;

bool trackUnchanged(const RewriteJob* job) {
  const PathInfo now = pathInfo(job->note.track, nullptr);
  return now.exists && !now.isFolder && now.size == job->trackAtStart.size &&
         now.lastWriteTime == job->trackAtStart.lastWriteTime;
}

// The next step is noted, with the rating chosen last, before it is taken.
bool noteStep(RewriteJob* job, int step) {
  job->note.stars = job->stars;
  return noteRewriteStep(&job->note, step);
}

void releaseJob(RewriteJob* job) {
  closeTrackFile(&job->copy);
  releaseRewriteRecord(&job->note);
  releaseWritePlan(&job->plan);
  *job = RewriteJob();
}

// Leaves the copy and its note for a later recovery: the track needs it.
RatingSaveResult leaveJob(RewriteJob* job, RatingSaveResult result) {
  releaseJob(job);
  return result;
}

// Back to idle with nothing of the rewrite beside the track: the copy and any backup
// removed, then the note closed. While the track is missing after a replacement began,
// those files are all there is of it: they stay for recovery.
RatingSaveResult endJob(RewriteJob* job, RatingSaveResult result) {
  closeTrackFile(&job->copy);
  if (job->note.step >= kStepReplacing && fileIsMissing(job->note.track)) return leaveJob(job, result);
  dropRewrite(&job->note);
  return leaveJob(job, result);
}

RatingSaveResult failJob(RewriteJob* job, RatingSaveResult result) {
  return job->keepOnFailure ? leaveJob(job, result) : endJob(job, result);
}

// Copies up to `budget` bytes of the new file into the copy, each piece read back from the
// copy and compared with the bytes it was written from: the read-back catches a bad write,
// and comparing with the same read of the track spares reading the track twice (a track
// changed meanwhile is caught by its size and time before the copy takes its place). False
// on a failed read or write, or a piece that does not read back.
bool copySlice(RewriteJob* job, uint64_t budget, FileStatus* status) {
  const uint64_t total = job->newSize;
  const uint64_t end = job->done + budget < total ? job->done + budget : total;
  TrackFile track = openTrackFile(job->note.track, kTrackRead, status);
  if (!track.handle) return false;
  unsigned char* piece = static_cast<unsigned char*>(std::malloc(2 * kPieceSize));
  bool copied = piece != nullptr;
  unsigned char* readBack = piece + kPieceSize;
  // The new file as the plan describes it, its old stretches read from the track.
  const PlannedFile planned = {&job->plan, byteSourceOf(track, job->plan.oldSize)};
  const ByteSource newFile = plannedSource(&planned);
  while (copied && job->done < end) {
    const size_t count = end - job->done < kPieceSize ? static_cast<size_t>(end - job->done) : kPieceSize;
    copied = newFile.readAt(newFile.file, job->done, piece, count) == count &&
             writeTrackAt(job->copy, job->done, piece, count, status) == count &&
             readTrackAt(job->copy, job->done, readBack, count) == count &&
             std::memcmp(piece, readBack, count) == 0;
    if (copied) job->done += count;
  }
  std::free(piece);
  closeTrackFile(&track);
  return copied;
}

// The checked copy over the held track, a slice at a time; each slice is made durable
// before the next, so that no single flush keeps the player waiting for long.
RatingSaveResult copyBackSlice(RewriteJob* job, uint64_t budget) {
  FileStatus status = kFileFailed;
  TrackFile track = openTrackFile(job->note.track, kTrackHold, &status);
  if (!track.handle) return kRatingNotSaved;
  const uint64_t total = job->newSize;
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
  // A track left longer than the new file (by a copy back that a crash cut short, over a
  // file the user changed) is cut to it.
  uint64_t size = 0;
  if (copied && done == total && trackFileSize(track, &size) && size > total) copied = setTrackFileSize(track, total);
  if (copied) copied = flushTrackFile(track);
  closeTrackFile(&track);
  if (!copied) return kRatingNotSaved;
  job->done = done;
  return job->done < total ? kRatingSaving : kRatingSaved;
}

// A replacement that failed may have taken one of its two steps: the track renamed away
// while the copy kept its name. The copy then takes the track's name, or, gone too, the
// old track its own again. kRatingSaved when the copy is in place.
RatingSaveResult settleFailedReplace(RewriteJob* job) {
  if (!fileIsMissing(job->note.track)) return failJob(job, kRatingNotSaved);
  if (renameFile(job->note.copy, job->note.track, false)) {
    std::free(job->note.copy);
    job->note.copy = nullptr;  // it is the track now
    return endJob(job, kRatingSaved);
  }
  if (fileIsMissing(job->note.copy) && job->note.backup && renameFile(job->note.backup, job->note.track, false)) {
    std::free(job->note.backup);
    job->note.backup = nullptr;
    return endJob(job, kRatingNotSaved);
  }
  return leaveJob(job, kRatingNotSaved);
}

// Replaces the track by the checked copy, the old track renamed to a backup of the
// plugin's own name on the way. kFileLocked when something holds the track after all
// (the copy is then copied back instead).
FileStatus replaceTrack(RewriteJob* job) {
  job->note.backup = freeNameBeside(job->note.track, kReplacedSuffix);
  if (!job->note.backup || !noteStep(job, kStepReplacing)) return kFileFailed;
  return replaceFileWith(job->note.track, job->note.copy, job->note.backup);
}

// The checked copy over the held track from the start; the journal says so first, since
// from the first byte on the track is no longer whole.
RatingSaveResult beginCopyBack(RewriteJob* job) {
  job->copy = openTrackFile(job->note.copy, kTrackHold, nullptr);
  if (!job->copy.handle) return failJob(job, kRatingNotSaved);
  // The copy back grows the track in place: the room for that first.
  const PathInfo track = pathInfo(job->note.track, nullptr);
  const uint64_t growth = job->newSize > track.size ? job->newSize - track.size : 0;
  if (!volumeHasRoom(job->note.track, growth + kRewriteSpareRoom)) return failJob(job, kRatingDiskFull);
  std::free(job->note.backup);
  job->note.backup = nullptr;
  if (!noteStep(job, kStepCopyingBack)) return failJob(job, kRatingNotSaved);
  job->stage = kRewriteCopyingBack;
  job->done = 0;
  return kRatingSaving;
}

// The checked copy takes the track's place: in one step when nothing holds the track, else
// copied back over it (the player holds it without delete sharing). A copy back once begun
// is begun anew whatever holds the track: the journal must go on saying that the track is
// not whole until it is.
RatingSaveResult putCopyInPlace(RewriteJob* job) {
  closeTrackFile(&job->copy);
  if (job->note.step >= kStepCopyingBack) return beginCopyBack(job);
  if (!trackUnchanged(job)) return endJob(job, kRatingNotSaved);
  const FileStatus free = probeReplace(job->note.track);
  if (free == kFileOk) {
    const FileStatus replaced = replaceTrack(job);
    if (replaced == kFileOk) {
      std::free(job->note.copy);
      job->note.copy = nullptr;  // it is the track now; the backup goes
      // The renames on the disk first (a flush of the track forces them): until then the
      // backup is the only whole track there is for sure.
      if (!flushFileNamed(job->note.track)) return leaveJob(job, kRatingSaved);
      return endJob(job, kRatingSaved);
    }
    if (replaced != kFileLocked)
      return job->note.step == kStepReplacing ? settleFailedReplace(job) : failJob(job, kRatingNotSaved);
  } else if (free != kFileLocked) {
    return failJob(job, free == kFileMissing ? kRatingFileMissing : kRatingNotSaved);
  }
  return beginCopyBack(job);
}

// Where the new file's byte at `offset` stands among the plan's new bytes; false when it
// comes from the track.
bool newByteAt(const WritePlan& plan, uint64_t offset, size_t* index) {
  const size_t span = firstSpanEndingAfter(plan, offset);
  if (span >= plan.spanCount || plan.spans[span].at > offset || !plan.spans[span].fromNew) return false;
  *index = static_cast<size_t>(plan.spans[span].from + (offset - plan.spans[span].at));
  return true;
}

}  // namespace

RatingSaveResult beginRewrite(RewriteJob* job, const wchar_t* path, WritePlan* plan, int stars) {
  *job = RewriteJob();
  job->plan = *plan;
  initWritePlan(plan);
  job->stars = stars;
  FileStatus status = kFileFailed;
  job->trackAtStart = pathInfo(path, &status);
  job->note.track = copyOfPath(path);
  if (!job->note.track) return endJob(job, kRatingNotSaved);
  // The plan names stretches of the track as it was planned on: of no other.
  if (!job->trackAtStart.exists || job->plan.kind != kPlanNewFile || job->plan.failed ||
      job->trackAtStart.size != job->plan.oldSize)
    return endJob(job, kRatingNotSaved);
  job->newSize = planNewFileSize(job->plan);
  if (job->newSize == 0) return endJob(job, kRatingNotSaved);
  // The copy, and later perhaps the track growing by the copy back.
  if (!volumeHasRoom(path, 2 * job->newSize + kRewriteSpareRoom)) return endJob(job, kRatingDiskFull);
  job->note.route = kRouteNewFile;
  job->note.ratingOffset = job->plan.ratingOffset == kNoRatingOffset ? kRatingOffsetUnknown : job->plan.ratingOffset;
  job->note.trackSize = job->trackAtStart.size;
  job->note.trackTime = job->trackAtStart.lastWriteTime;
  job->note.newSize = job->newSize;
  // A file of the copy's name may be the user's: the copy takes a free name, noted before
  // the file is made, so that whatever a crash leaves of it is known to be the plugin's.
  job->note.copy = freeNameBeside(path, kRewriteCopySuffix);
  if (!job->note.copy || !noteStep(job, kStepCopying)) return endJob(job, kRatingNotSaved);
  job->copy = createNewFile(job->note.copy);
  if (!job->copy.handle) {
    // Not ours to remove: a file of that name came meanwhile.
    std::free(job->note.copy);
    job->note.copy = nullptr;
    return endJob(job, kRatingNotSaved);
  }
  job->stage = kRewriteCopying;
  job->done = 0;
  return kRatingSaving;
}

RatingSaveResult resumeRewrite(RewriteJob* job, RewriteRecord* note, bool keepOnFailure) {
  *job = RewriteJob();
  job->note = *note;
  *note = RewriteRecord();
  job->keepOnFailure = keepOnFailure;
  job->stars = job->note.stars;
  job->newSize = job->note.newSize;
  job->trackAtStart.exists = true;
  job->trackAtStart.size = job->note.trackSize;
  job->trackAtStart.lastWriteTime = job->note.trackTime;
  if (!job->note.track || !job->note.copy || job->note.step < kStepCopyChecked || job->newSize == 0)
    return failJob(job, kRatingNotSaved);
  // Only the copy that was made durable, as long as it was then, takes the track's place.
  TrackFile copy = openTrackFile(job->note.copy, kTrackRead, nullptr);
  uint64_t copySize = 0;
  const bool asNoted = copy.handle && trackFileSize(copy, &copySize) && copySize == job->newSize;
  closeTrackFile(&copy);
  if (!asNoted) return failJob(job, kRatingNotSaved);
  // A copy back goes on from its start; a replacement that was under way starts anew.
  if (job->note.step == kStepReplacing) job->note.step = kStepCopyChecked;
  job->stage = kRewriteChecking;
  return putCopyInPlace(job);
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
      // Whole, checked and durable: put in place by a call of its own, so that the last
      // slice and the placement's notes and flushes do not add up to one long stall.
      if (job->done == job->newSize) job->stage = kRewriteChecking;
      return kRatingSaving;
    }
    case kRewriteChecking:
      // Complete, checked and durable. No note says so on its own: the note of the step
      // that puts the copy in place (kStepReplacing, kStepCopyingBack) says it too, and
      // until then the journal's kStepCopying lets recovery remove the copy, the track
      // untouched. One note and its flush fewer.
      job->note.step = kStepCopyChecked;
      return putCopyInPlace(job);
    case kRewriteCopyingBack: {
      const RatingSaveResult result = copyBackSlice(job, budget);
      if (result == kRatingSaving) return result;
      if (result != kRatingNotSaved) return endJob(job, result);
      // The track is half written: the next slice tries again; after that many tries
      // the checked copy stays beside it with its note, so that nothing of the user's is
      // lost and a later recovery finishes it.
      if (++job->copyBackFailures < kCopyBackAttempts) return kRatingSaving;
      return leaveJob(job, kRatingNotSaved);
    }
  }
  return kRatingNotSaved;
}

bool rewriteReadyToPlace(const RewriteJob* job) { return job->stage == kRewriteChecking; }

uint64_t rewriteSize(const RewriteJob* job) { return job->stage == kRewriteIdle ? 0 : job->newSize; }

RatingSaveResult finishRewrite(RewriteJob* job) {
  RatingSaveResult result = kRatingSaving;
  const uint64_t everything = ~uint64_t{0} / 4;
  while (result == kRatingSaving) result = continueRewrite(job, everything);
  return result;
}

int rewriteProgress(const RewriteJob* job) {
  if (job->stage == kRewriteIdle) return 0;
  const uint64_t total = job->newSize;
  if (total == 0) return 0;
  // The copy (checked as it goes) and the copy back each count a half; a job that replaces
  // the track ends early.
  const uint64_t stage = job->stage == kRewriteCopyingBack ? 1 : 0;
  const uint64_t done = job->stage == kRewriteChecking ? total : job->done;
  const uint64_t percent = (stage * 100 + done * 100 / total) / 2;
  return percent > 99 ? 99 : static_cast<int>(percent);
}

bool changeRewriteRating(RewriteJob* job, int stars) {
  if (job->stage == kRewriteIdle || stars < 0 || stars > 5) return false;
  const uint64_t offset = job->note.ratingOffset;
  if (offset == kRatingOffsetUnknown || offset >= job->newSize) return false;
  const unsigned char rating = static_cast<unsigned char>(RatingScale[stars]);
  job->stars = stars;
  size_t index = 0;
  if (newByteAt(job->plan, offset, &index)) job->plan.bytes[index] = rating;
  // What was already written takes the new rating too.
  if (job->stage != kRewriteCopying || job->done > offset) {
    writeTrackAt(job->copy, offset, &rating, 1, nullptr);
    flushTrackFile(job->copy);
  }
  if (job->stage == kRewriteCopyingBack && job->done > offset) {
    TrackFile track = openTrackFile(job->note.track, kTrackHold, nullptr);
    if (track.handle && writeTrackAt(track, offset, &rating, 1, nullptr) == 1) flushTrackFile(track);
    closeTrackFile(&track);
  }
  return true;
}

void endRewriteForQuit(RewriteJob* job) {
  if (job->stage == kRewriteCopyingBack) {
    finishRewrite(job);
    return;
  }
  if (job->stage != kRewriteIdle) endJob(job, kRatingNotSaved);
}
