// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading and writing the rating byte: the write guard decides, from the file's
// tag read through the open handle, whether the strict reader, a change of
// bytes in place or id3lib's C interface does the work (write_guard.h).
//
// id3lib is the only code here that may throw; each sequence of id3lib calls
// runs inside one try/catch(...), so that nothing leaves the store.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <id3.h>
#include <id3/tag.h>
// Last of id3lib's headers: it defines a min() macro unless one exists.
#include <id3/io_strings.h>
#undef min

#include "rating/rating.h"
#include "rating/rewrite_job.h"
#include "rating/tag_editor.h"
#include "rating/tag_file.h"
#include "rating/track_file.h"
#include "rating/write_guard.h"

namespace {

// Room for the 8-bit name id3lib opens a file by: the C runtime takes no more.
const size_t kId3libNameSize = 260;

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
  return reason == kWriteReasonAlreadyStored ? kRatingSaved : kRatingTagRefused;
}

// ---- Reading ----------------------------------------------------------------

// The rating byte of the tag's first POPM frame, whatever its owner; 0 when
// there is no such frame or it lacks the fields.
unsigned ratingByteOfFirstPopm(const ID3Tag* tag) {
  const ID3Frame* frame = ID3Tag_FindFrameWithID(tag, ID3FID_POPULARIMETER);
  if (frame == nullptr) return 0;
  if (ID3Frame_GetField(frame, ID3FN_EMAIL) == nullptr) return 0;
  const ID3Field* rating = ID3Frame_GetField(frame, ID3FN_RATING);
  if (rating == nullptr) return 0;
  return ID3Field_GetINT(rating);
}

// How the guard wants the file read; *ratingByte is set for kRatingReadFromTag.
RatingReadMethod planReadOfFile(const wchar_t* path, unsigned* ratingByte) {
  *ratingByte = 0;
  TrackFile file = openTrackFile(path, kTrackRead, nullptr);
  if (file.handle == nullptr) return kRatingReadZero;
  RatingReadMethod method = kRatingReadZero;
  uint64_t size = 0;
  if (trackFileSize(file, &size)) method = planRatingRead(byteSourceOf(file, size), ratingByte);
  closeTrackFile(&file);
  return method;
}

// ---- Writing with id3lib ----------------------------------------------------

// The tag as id3lib would render it, into `rendered`. The frames come out as in
// an update; header and padding may differ (the render knows no file size).
void renderTag(const ID3Tag* tag, std::string& rendered) {
  dami::io::StringWriter writer(rendered);
  reinterpret_cast<const ID3_Tag*>(tag)->Render(writer, ID3TT_ID3V2);
}

// A POPM frame of our own holding the rating byte, added to the tag (which
// keeps a copy). `frame` receives the frame made here so that the caller
// deletes it even when id3lib throws.
bool addOwnPopm(ID3Tag* tag, int ratingByte, ID3Frame*& frame) {
  frame = ID3Frame_NewID(ID3FID_POPULARIMETER);
  if (frame == nullptr) return false;
  ID3Field* owner = ID3Frame_GetField(frame, ID3FN_EMAIL);
  ID3Field* rating = ID3Frame_GetField(frame, ID3FN_RATING);
  if (owner == nullptr || rating == nullptr) return false;
  ID3Field_SetASCII(owner, kPluginPopmOwner);
  ID3Field_SetINT(rating, static_cast<uint32>(ratingByte));
  ID3Tag_AddFrame(tag, frame);
  return true;
}

// The free room a rewrite needs: the copy id3lib writes beside the file (the
// file and the new tag, whose padding the render may not match: up to 2 KB
// more) and then the growth when the copy replaces the file.
uint64_t rewriteRoom(uint64_t fileSize, size_t renderedSize) {
  const uint64_t newTag = uint64_t{renderedSize} + 4096;
  return fileSize + 2 * newTag + kRewriteSpareRoom;
}

// Lets id3lib add our POPM frame, after checking that it sees the tag the guard
// planned for and would render every frame of it unchanged. Only the ID3v2 tag
// is updated: no ID3v1 tag is added to a file without one, an existing one is
// not touched. `rendered` receives the frames id3lib was allowed to write.
// Returns true when id3lib was asked to update the file.
RatingSaveResult updateWithId3lib(const char* id3libName, const wchar_t* path, const ByteSource& file,
                                  const RatingWritePlan& plan, int ratingByte, std::string& rendered) {
  ID3Tag* tag = nullptr;
  ID3Frame* frame = nullptr;
  RatingSaveResult result = kRatingTagRefused;
  try {
    tag = ID3Tag_New();
    if (tag != nullptr) {
      const size_t tagBytes = ID3Tag_LinkWithFlags(tag, id3libName, ID3TT_ID3V2);
      const bool sameTag = tagBytes == plan.tagSize && ID3Tag_NumFrames(tag) == plan.frameCount &&
                           ID3Tag_FindFrameWithID(tag, ID3FID_POPULARIMETER) == nullptr;
      if (sameTag && addOwnPopm(tag, ratingByte, frame)) {
        renderTag(tag, rendered);
        if (id3libRenderKeepsTag(file, ratingByte, reinterpret_cast<const unsigned char*>(rendered.data()),
                                 rendered.size())) {
          if (!volumeHasRoom(path, rewriteRoom(file.size, rendered.size()))) {
            result = kRatingDiskFull;
          } else {
            ID3Tag_UpdateByTagType(tag, ID3TT_ID3V2);
            result = kRatingSaved;
          }
        }
      }
    }
  } catch (...) {
    // Stop here: nothing more is written.
  }
  try {
    ID3Frame_Delete(frame);
  } catch (...) {
  }
  try {
    ID3Tag_Delete(tag);
  } catch (...) {
  }
  return result;
}

// True when `copy` is the file as id3lib meant to write it: a tag with exactly
// the rendered frames, then the original from the end of its old tag on.
bool leftoverIsComplete(TrackFile file, uint64_t fileSize, uint64_t oldTagSize, TrackFile copy,
                        const std::string& rendered) {
  uint64_t copySize = 0;
  if (!trackFileSize(copy, &copySize)) return false;
  uint64_t copyTagSize = 0;
  return id3libCopyMatchesRender(byteSourceOf(copy, copySize),
                                 reinterpret_cast<const unsigned char*>(rendered.data()), rendered.size(),
                                 fileSize, oldTagSize, &copyTagSize) &&
         sameBytes(file, oldTagSize, copy, copyTagSize, fileSize - oldTagSize);
}

// After id3lib's update, with the file still held: a copy `leftover` that this
// write produced and that is not the complete new file is removed (the
// original was held and is untouched); a complete one stays to be put in place.
void vetLeftover(const wchar_t* leftover, TrackFile file, uint64_t fileSize, uint64_t oldTagSize,
                 const std::string& rendered, const LeftoverNote& before) {
  if (!fileWrittenSince(leftover, before)) return;
  TrackFile copy = openTrackFile(leftover, kTrackRead, nullptr);
  bool complete = false;
  if (copy.handle != nullptr) {
    complete = leftoverIsComplete(file, fileSize, oldTagSize, copy, rendered);
    closeTrackFile(&copy);
  }
  if (!complete) deleteFileAt(leftover);
}

// id3lib updates the file it can open by `id3libName` (the track itself, or a
// copy of it) while the store holds that file, so a rewrite ends as a copy
// "<id3libName>.XXXXXX" beside it; that copy is checked against the track and
// put in the track's place.
RatingSaveResult updateThroughId3lib(const char* id3libName, const wchar_t* path, TrackFile track,
                                     const ByteSource& file, const RatingWritePlan& plan, int ratingByte,
                                     wchar_t** checkedCopy) {
  wchar_t* named = widePathOfId3libName(id3libName);
  wchar_t* leftover = named ? leftoverNameOf(named) : nullptr;
  std::free(named);
  if (leftover == nullptr) return kRatingNotSaved;
  const LeftoverNote before = noteFile(leftover);
  std::string rendered;
  RatingSaveResult result = kRatingNotSaved;
  try {
    result = updateWithId3lib(id3libName, path, file, plan, ratingByte, rendered);
  } catch (...) {
    result = kRatingNotSaved;  // a string that could not grow: nothing was written
  }
  if (result == kRatingSaved) {
    vetLeftover(leftover, track, file.size, plan.tagSize, rendered, before);
    // A whole copy is put in place once the track is no longer held.
    if (fileWrittenSince(leftover, before)) {
      *checkedCopy = leftover;
      leftover = nullptr;
    }
  }
  std::free(leftover);
  return result;
}

// The track's name has no 8-bit form id3lib could open (and the volume keeps
// no short names): id3lib works on a copy with a plain name beside the track,
// held like the track, and only its checked result reaches the track.
RatingSaveResult updateCopyThroughId3lib(const wchar_t* path, TrackFile track, const ByteSource& file,
                                         const RatingWritePlan& plan, int ratingByte, wchar_t** checkedCopy) {
  if (!volumeHasRoom(path, file.size + kRewriteSpareRoom)) return kRatingDiskFull;
  wchar_t* copyPath = makePlainCopyBeside(path);
  if (copyPath == nullptr) return kRatingNotSaved;
  RatingSaveResult result = kRatingNotSaved;
  char name[kId3libNameSize];
  TrackFile copy = openTrackFile(copyPath, kTrackHold, nullptr);
  if (copy.handle != nullptr && sameBytes(track, 0, copy, 0, file.size) &&
      id3libFileName(copyPath, name, sizeof name)) {
    result = updateThroughId3lib(name, path, track, file, plan, ratingByte, checkedCopy);
  }
  closeTrackFile(&copy);
  deleteFileAt(copyPath);
  std::free(copyPath);
  return result;
}

// ---- Writing with the tag editor ---------------------------------------------

// What is left to do once the track is no longer held: the edited tag that is to
// replace the first `oldTagSize` bytes of the file, or id3lib's checked copy of
// the whole file.
struct PlannedRewrite {
  EditedTag tag;
  uint64_t oldTagSize;
  wchar_t* checkedCopy;
};

// id3lib's checked copy takes the track's place: in one step, or, while the
// player holds the track, copied over it.
RatingSaveResult placeCheckedCopy(const wchar_t* path, wchar_t* copy) {
  RatingSaveResult result = kRatingSaved;
  const FileStatus replaced = replaceFileWith(path, copy);
  if (replaced != kFileOk) {
    if (replaced != kFileLocked || !copyLargerLeftover(path, copy)) result = kRatingNotSaved;
    deleteFileAt(copy);
  }
  std::free(copy);
  return result;
}

// Reads the old tag whole (the editor works on it in memory, up to the bound the
// store reads at all) and makes the new one. False when the tag is too large or
// the editor declines it.
bool editTagOfFile(TrackFile file, uint64_t oldTagSize, bool plainFrameSizes, unsigned char rating,
                   EditedTag* edited) {
  if (oldTagSize == 0) return newTagWithRating(rating, edited);
  if (oldTagSize > kMaxEditedTagBytes) return false;
  const size_t size = static_cast<size_t>(oldTagSize);
  unsigned char* old = static_cast<unsigned char*>(std::malloc(size));
  if (old == nullptr) return false;
  const bool edit =
      readTrackAt(file, 0, old, size) == size && editTagRating(old, size, plainFrameSizes, rating, edited);
  std::free(old);
  return edit;
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

// ---- Writing ----------------------------------------------------------------

// Stores the rating byte as the guard plans it. The file stays open (reading
// and writing, sharing read and write but not delete) for the whole call: an
// in-place change goes through this handle, and while id3lib updates the file
// the handle keeps id3lib from removing it, so that a rewrite always ends as a
// copy beside the file that is checked before it replaces anything. A rewrite
// by the tag editor is only prepared here (`rewrite`), to run once the file is
// no longer held.
RatingSaveResult storeRatingByte(const wchar_t* path, int ratingByte, PlannedRewrite* rewrite) {
  FileStatus status = kFileFailed;
  TrackFile file = openTrackFile(path, kTrackHold, &status);
  if (file.handle == nullptr) return saveResultOf(status);
  RatingSaveResult result = kRatingNotSaved;
  uint64_t size = 0;
  if (trackFileSize(file, &size)) {
    const ByteSource source = byteSourceOf(file, size);
    RatingWritePlan plan;
    planRatingWrite(source, ratingByte, &plan);
    // id3lib writes a file in one go: a large one goes in slices through the editor.
    if (plan.method == kRatingWriteWithId3lib && size >= kSlicedRewriteFrom) plan.method = kRatingWriteRewrite;
    if (plan.method == kRatingWriteBytes) {
      result = saveResultOf(writePlannedBytes(file, plan));
    } else if (plan.method == kRatingWriteWithId3lib) {
      char name[kId3libNameSize];
      if (id3libFileName(path, name, sizeof name))
        result = updateThroughId3lib(name, path, file, source, plan, ratingByte, &rewrite->checkedCopy);
      else
        result = updateCopyThroughId3lib(path, file, source, plan, ratingByte, &rewrite->checkedCopy);
      // Where id3lib would not keep every frame and flag, the editor does it.
      if (result == kRatingTagRefused) plan.method = kRatingWriteRewrite;
    } else if (plan.method == kRatingWriteNothing) {
      result = refusal(plan.reason);
    }
    if (plan.method == kRatingWriteRewrite) {
      const unsigned char rating = static_cast<unsigned char>(ratingByte);
      result = kRatingTagRefused;
      if (editTagOfFile(file, plan.tagSize, plan.frameSizesPlain, rating, &rewrite->tag)) {
        RatingWritePlan inPlace;
        if (planUntornEdit(file, rewrite->tag, plan.tagSize, &inPlace)) {
          result = inPlace.length == 0 ? kRatingSaved : saveResultOf(writePlannedBytes(file, inPlace));
          releaseEditedTag(&rewrite->tag);
        } else {
          rewrite->oldTagSize = plan.tagSize;
          result = kRatingSaving;
        }
      }
    }
  }
  closeTrackFile(&file);
  return result;
}

}  // namespace

unsigned ratingByteReadById3lib(const wchar_t* path) {
  // No 8-bit name that surely names this file: reading another file's rating
  // would be worse than reading none.
  char name[kId3libNameSize];
  if (isEmptyPath(path) || !id3libFileName(path, name, sizeof name)) return 0;
  ID3Tag* tag = nullptr;
  unsigned ratingByte = 0;
  try {
    tag = ID3Tag_New();
    if (tag != nullptr) {
      // The ID3v2 tag only: the tags at the end of a file hold no rating.
      ID3Tag_LinkWithFlags(tag, name, ID3TT_ID3V2);
      ratingByte = ratingByteOfFirstPopm(tag);
    }
  } catch (...) {
    ratingByte = 0;
  }
  try {
    ID3Tag_Delete(tag);
  } catch (...) {
  }
  return ratingByte;
}

int readRating(const wchar_t* path) {
  if (isEmptyPath(path)) return 0;
  unsigned ratingByte = 0;
  switch (planReadOfFile(path, &ratingByte)) {
    case kRatingReadFromTag:
      return starsFromRatingByte(ratingByte);
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
  RatingSaveResult result = checkWritableRegularFile(path);
  PlannedRewrite rewrite = {{nullptr, 0, 0}, 0, nullptr};
  if (result == kRatingSaved) result = storeRatingByte(path, RatingScale[stars], &rewrite);
  if (rewrite.checkedCopy) result = placeCheckedCopy(path, rewrite.checkedCopy);
  if (result == kRatingSaving) {
    result = beginRewrite(job, path, &rewrite.tag, rewrite.oldTagSize, stars);
    // A small file is done at once; a large one goes on in slices.
    if (result == kRatingSaving && rewriteSize(job) < kSlicedRewriteFrom) result = finishRewrite(job);
  }
  releaseEditedTag(&rewrite.tag);
  // What counts is what the file holds now.
  if (result == kRatingSaved && readRating(path) != stars) result = kRatingNotSaved;
  return result;
}

RatingSaveResult writeRating(const wchar_t* path, int stars) {
  RewriteJob job;
  RatingSaveResult result = startRatingSave(path, stars, &job);
  if (result == kRatingSaving) {
    result = finishRewrite(&job);
    if (result == kRatingSaved && readRating(path) != stars) result = kRatingNotSaved;
  }
  return result;
}
