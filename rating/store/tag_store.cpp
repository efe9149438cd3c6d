// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading and writing the rating: the file's bytes tell its room (track_format.h). For an
// MP3 the write guard decides, from the file's tag read through the open handle, whether
// the strict reader, a change of bytes in place, the tag editor or id3lib (id3lib_route.h)
// does the work (write_guard.h); the FLAC, Ogg, WAV/AIFF and MP4 rooms plan bytes in place or a
// new file, which the patch route (patch_route.h) or the rewrite (rewrite_job.h) carries out.
#include <cstdlib>
#include <cstring>

#include "rating/bytes/memory_source.h"
#include "rating/id3v2/tag_editor.h"
#include "rating/file/track_file.h"
#include "rating/rating.h"
#include "rating/store/id3lib_route.h"
#include "rating/store/journal_recovery.h"
#include "rating/store/patch_route.h"
#include "rating/store/rewrite_job.h"
#include "rating/store/tag_file.h"
#include "rating/store/track_format.h"
#include "rating/store/write_guard.h"

namespace {

// The largest tag id3lib rewrites: it reads each frame whole, a picture too.
const uint64_t kId3libLargestTag = 64u * 1024u;

// The largest tag the editor reads whole to make anew.
const uint64_t kMaxEditedTagBytes = 64u * 1024u * 1024u;

// Writes inside one sector of this size are never torn.
const size_t kSectorBytes = 512;

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

// id3lib's update creates a file that holds only a tag when the path names
// nothing, so a write needs an existing regular file; one marked read-only is
// left alone too (Windows refuses to open it for writing anyway, Wine running
// as root does not).
RatingSaveResult checkWritableRegularFile(const wchar_t* path) {
  FileStatus status = kFileFailed;
  const PathInfo info = pathInfo(path, &status);
  if (!info.exists) return status == kFileOk ? kRatingFileMissing : saveResultOf(status);
  if (info.isFolder) return kRatingFileMissing;
  if (info.readOnly) return kRatingFileReadOnly;
  return kRatingSaved;
}

// The guard's reasons for writing nothing; one of them is no failure.
RatingSaveResult refusal(RatingWriteReason reason) {
  if (reason == kWriteReasonAlreadyStored) return kRatingSaved;
  if (reason == kWriteReasonNotMpegAudio || reason == kWriteReasonEmptyFile) return kRatingUnknownFormat;
  return kRatingTagRefused;
}

// ---- Reading ----------------------------------------------------------------
// How the guard wants the file read; *ratingByte is set for kRatingReadFromTag. A file of
// another room (FLAC, Ogg, WAV/AIFF, MP4) is read by it, its stars in *roomStars
// (kRatingReadFromTag).
RatingReadMethod planReadOfFile(const wchar_t* path, unsigned* ratingByte, int* roomStars) {
  *ratingByte = 0;
  *roomStars = -1;
  TrackFile file = openTrackFile(path, kTrackRead, nullptr);
  if (file.handle == nullptr) return kRatingReadZero;
  RatingReadMethod method = kRatingReadZero;
  uint64_t size = 0;
  if (trackFileSize(file, &size)) {
    const ByteSource source = byteSourceOf(file, size);
    const TrackFormat format = trackFormatOf(source);
    if (format == kFormatMp3) {
      method = planRatingRead(source, ratingByte);
    } else {
      *roomStars = readRoomStars(format, source);
      method = kRatingReadFromTag;
    }
  }
  closeTrackFile(&file);
  return method;
}


// ---- Writing with the tag editor ---------------------------------------------

// What is left to do once the track is no longer held: the new file as planned, or
// id3lib's checked copy of the whole file, named in the note (at kStepCopyChecked).
struct PlannedRewrite {
  WritePlan plan;
  RewriteRecord id3libCopy;
};

// The new file when the edited tag replaces the first `oldTagSize` bytes of a file of
// `fileSize` bytes; the plan takes over the tag.
void planTagInFront(EditedTag* tag, uint64_t oldTagSize, uint64_t fileSize, WritePlan* plan) {
  initWritePlan(plan);
  plan->kind = kPlanNewFile;
  plan->oldSize = fileSize;
  plan->ratingOffset = tag->ratingOffset;
  adoptNewSpan(plan, tag->bytes, tag->size);
  *tag = {nullptr, 0, 0};
  addOldSpan(plan, oldTagSize, fileSize - oldTagSize);
  plan->newSize = planNewFileSize(*plan);
}

// Reads the old tag whole (the editor works on it in memory, up to the bound the
// store reads at all) and makes the new one. False when the tag is too large, the
// editor declines it, or the file it would make does not read as planned.
bool editTagOfFile(TrackFile file, const ByteSource& source, const RatingWritePlan& plan, int ratingByte,
                   EditedTag* edited) {
  const unsigned char rating = static_cast<unsigned char>(ratingByte);
  bool edit = false;
  if (plan.tagSize == 0) {
    edit = newTagWithRating(rating, edited);
  } else if (plan.tagSize <= kMaxEditedTagBytes && plan.tagSize <= source.size) {
    const size_t size = static_cast<size_t>(plan.tagSize);
    unsigned char* old = static_cast<unsigned char*>(std::malloc(size));
    if (old == nullptr) return false;
    edit = readTrackAt(file, 0, old, size) == size &&
           editTagRating(old, size, plan.frameSizesPlain, plan.decodeTagUnsynchronisation, rating, edited);
    std::free(old);
  }
  if (!edit) return false;
  const PatchedBytes after = {source, edited->bytes, edited->size, 0, plan.tagSize, true};
  if (editedFileReadsAsPlanned(patchedSource(&after), plan, ratingByte)) return true;
  releaseEditedTag(edited);
  return false;
}

// A new tag as long as the old one that differs from it only within one sector is
// written in place, in one write; true when it can be (a plan of no bytes when the
// two are the same).
bool planUntornEdit(TrackFile file, const EditedTag& edited, uint64_t oldTagSize, RatingWritePlan* plan) {
  if (edited.size != oldTagSize) return false;
  size_t first = 0;
  size_t last = 0;
  bool differs = false;
  unsigned char old[4096];
  for (size_t at = 0; at < edited.size; at += sizeof old) {
    const size_t count = edited.size - at < sizeof old ? edited.size - at : sizeof old;
    if (readTrackAt(file, at, old, count) != count) return false;
    for (size_t i = 0; i < count; ++i) {
      if (old[i] == edited.bytes[at + i]) continue;
      if (!differs) first = at + i;
      differs = true;
      last = at + i;
    }
  }
  std::memset(plan, 0, sizeof *plan);
  if (!differs) return true;
  const size_t length = last - first + 1;
  if (length > sizeof plan->bytes || first / kSectorBytes != last / kSectorBytes) return false;
  plan->method = kRatingWriteBytes;
  plan->offset = first;
  plan->length = length;
  std::memcpy(plan->bytes, edited.bytes + first, length);
  if (readTrackAt(file, first, plan->expected, length) != length) return false;
  return true;
}

// ---- Writing a file of another room -----------------------------------------

// Stores `stars` as the file's room plans it: bytes in place now, through the held handle,
// or the new file, left in `newFile` for the rewrite once the track is no longer held.
RatingSaveResult storeWithRoom(const wchar_t* path, TrackFile file, const ByteSource& source, TrackFormat format,
                               int stars, WritePlan* newFile) {
  WritePlan plan;
  planRoomWrite(format, source, stars, &plan);
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

// ---- Writing ----------------------------------------------------------------

// Stores the rating as the file's room plans it, or for an MP3 as the guard does. The file
// stays open (reading and writing, sharing read and write but not delete) for the whole
// call: an
// in-place change goes through this handle, and while id3lib updates the file
// the handle keeps id3lib from removing it, so that a rewrite always ends as a
// copy beside the file that is checked before it replaces anything. A rewrite
// by the tag editor is only prepared here (`rewrite`), to run once the file is
// no longer held.
RatingSaveResult storeRating(const wchar_t* path, int stars, PlannedRewrite* rewrite) {
  FileStatus status = kFileFailed;
  TrackFile file = openTrackFile(path, kTrackHold, &status);
  if (file.handle == nullptr) return saveResultOf(status);
  RatingSaveResult result = kRatingNotSaved;
  uint64_t size = 0;
  const bool sized = trackFileSize(file, &size);
  const ByteSource source = byteSourceOf(file, size);
  const TrackFormat format = sized ? trackFormatOf(source) : kFormatMp3;
  if (size > 0 && format != kFormatMp3) {
    result = storeWithRoom(path, file, source, format, stars, &rewrite->plan);
  } else if (sized) {
    const int ratingByte = RatingScale[stars];
    RatingWritePlan plan;
    planRatingWrite(source, ratingByte, &plan);
    // id3lib writes a file in one go, and parses every frame (a cover picture too) before it
    // writes: a large file goes in slices, and a large tag, through the editor.
    if (plan.method == kRatingWriteWithId3lib && (size >= kSlicedRewriteFrom || plan.tagSize >= kId3libLargestTag))
      plan.method = kRatingWriteRewrite;
    if (plan.method == kRatingWriteBytes) {
      result = saveResultOf(writePlannedBytes(file, plan));
    } else if (plan.method == kRatingWriteWithId3lib) {
      char name[kId3libNameSize];
      RewriteRecord* note = &rewrite->id3libCopy;
      if (id3libFileName(path, name, sizeof name))
        result = updateThroughId3lib(name, path, file, source, plan, ratingByte, note);
      else
        result = updateCopyThroughId3lib(path, file, source, plan, ratingByte, note);
      if (note->step != kStepCopyChecked) discardId3libRewrite(note);
      // Where id3lib would not keep every frame and flag, the editor does it.
      if (result == kRatingTagRefused) plan.method = kRatingWriteRewrite;
    } else if (plan.method == kRatingWriteNothing) {
      result = refusal(plan.reason);
    }
    if (plan.method == kRatingWriteRewrite) {
      result = kRatingTagRefused;
      EditedTag edited = {nullptr, 0, 0};
      if (editTagOfFile(file, source, plan, ratingByte, &edited)) {
        RatingWritePlan inPlace;
        if (planUntornEdit(file, edited, plan.tagSize, &inPlace)) {
          result = inPlace.length == 0 ? kRatingSaved : saveResultOf(writePlannedBytes(file, inPlace));
          releaseEditedTag(&edited);
        } else {
          planTagInFront(&edited, plan.tagSize, size, &rewrite->plan);
          result = rewrite->plan.failed ? kRatingNotSaved : kRatingSaving;
        }
      }
    }
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
  unsigned ratingByte = 0;
  int roomStars = -1;
  switch (planReadOfFile(path, &ratingByte, &roomStars)) {
    case kRatingReadFromTag:
      return roomStars >= 0 ? roomStars : starsFromRatingByte(ratingByte);
    case kRatingReadWithId3lib:
      return starsFromRatingByte(ratingByteReadById3lib(path));
    case kRatingReadZero:
      break;
  }
  return 0;
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
  PlannedRewrite rewrite;
  initWritePlan(&rewrite.plan);
  rewrite.id3libCopy = RewriteRecord();
  if (result == kRatingSaved) result = storeRating(path, stars, &rewrite);
  if (rewrite.id3libCopy.step == kStepCopyChecked) {
    // id3lib's checked copy takes the track's place as the editor's does.
    result = resumeRewrite(job, &rewrite.id3libCopy, false);
    if (result == kRatingSaving) result = finishRewrite(job);
  }
  if (result == kRatingSaving) {
    result = beginRewrite(job, path, &rewrite.plan, stars);
    // A small file is done at once; a large one goes on in slices.
    if (result == kRatingSaving && rewriteSize(job) < kSlicedRewriteFrom) result = finishRewrite(job);
  }
  releaseWritePlan(&rewrite.plan);
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
