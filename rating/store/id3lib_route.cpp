// SPDX-License-Identifier: LGPL-2.1-or-later
// id3lib's route: reading a tag the strict reader declines, and adding a POPM
// frame to an ID3v2.3 tag that must grow, where id3lib keeps every frame
// (write_guard.h). id3lib works on the file by an 8-bit name while the store
// holds it, so a rewrite always ends as a copy beside the file that is checked
// before it takes the track's place.
//
// id3lib is the only code in the store that may throw; each sequence of id3lib
// calls runs inside one try/catch(...), so that nothing leaves the store.
#include "rating/store/id3lib_route.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include <id3.h>
#include <id3/tag.h>
// Last of id3lib's headers: it defines a min() macro unless one exists.
#include <id3/io_strings.h>
#undef min

#include "rating/id3v2/id3v2_format.h"
#include "rating/store/tag_file.h"

namespace {

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
// the rendered frames, then the original from the end of its old tag on. *copySize
// receives its size.
bool leftoverIsComplete(TrackFile file, uint64_t fileSize, uint64_t oldTagSize, TrackFile copy,
                        const std::string& rendered, uint64_t* copySize) {
  if (!trackFileSize(copy, copySize)) return false;
  uint64_t copyTagSize = 0;
  return id3libCopyMatchesRender(byteSourceOf(copy, *copySize),
                                 reinterpret_cast<const unsigned char*>(rendered.data()), rendered.size(),
                                 fileSize, oldTagSize, &copyTagSize) &&
         sameBytes(file, oldTagSize, copy, copyTagSize, fileSize - oldTagSize);
}

// After id3lib's update, with the file still held: a copy `leftover` that this
// write produced and that is not the complete new file is removed (the
// original was held and is untouched); a complete one stays to be put in place,
// and true is returned with its size in *checkedSize.
bool vetLeftover(const wchar_t* leftover, TrackFile file, uint64_t fileSize, uint64_t oldTagSize,
                 const std::string& rendered, uint64_t* checkedSize) {
  const PathInfo made = pathInfo(leftover, nullptr);
  if (!made.exists || made.isFolder) return false;
  TrackFile copy = openTrackFile(leftover, kTrackRead, nullptr);
  bool complete = false;
  if (copy.handle != nullptr) {
    complete = leftoverIsComplete(file, fileSize, oldTagSize, copy, rendered, checkedSize);
    closeTrackFile(&copy);
  }
  if (!complete) deleteFileAt(leftover);
  return complete;
}

// The note of an id3lib rewrite of `path` that begins now, unless it has begun.
void beginId3libNote(RewriteRecord* note, const wchar_t* path, uint64_t size, int ratingByte) {
  if (note->track) return;
  note->track = copyOfPath(path);
  note->route = kRouteId3lib;
  note->stars = starsFromRatingByte(static_cast<unsigned>(ratingByte));
  note->ratingOffset = kRatingOffsetUnknown;
  note->trackSize = size;
  note->trackTime = pathInfo(path, nullptr).lastWriteTime;
}

}  // namespace

// id3lib updates the file it can open by `id3libName` (the track itself, or a
// copy of it) while the store holds that file, so a rewrite ends as a copy
// "<id3libName>.XXXXXX" beside it, named in the journal before id3lib writes it;
// that copy is checked against the track and made durable before it is noted as complete.
RatingSaveResult updateThroughId3lib(const char* id3libName, const wchar_t* path, TrackFile track,
                                     const ByteSource& file, const RatingWritePlan& plan, int ratingByte,
                                     RewriteRecord* note) {
  wchar_t* named = widePathOfId3libName(id3libName);
  wchar_t* leftover = named ? leftoverNameOf(named) : nullptr;
  std::free(named);
  if (leftover == nullptr) return kRatingNotSaved;
  // id3lib would write its copy over a file of that name, which may be the user's: the
  // editor, which picks a free name, does the work instead.
  if (!fileIsMissing(leftover)) {
    std::free(leftover);
    return kRatingTagRefused;
  }
  beginId3libNote(note, path, file.size, ratingByte);
  note->copy = leftover;
  if (!note->track || !noteRewriteStep(note, kStepCopying)) return kRatingNotSaved;
  std::string rendered;
  RatingSaveResult result = kRatingNotSaved;
  try {
    result = updateWithId3lib(id3libName, path, file, plan, ratingByte, rendered);
  } catch (...) {
    result = kRatingNotSaved;  // a string that could not grow: nothing was written
  }
  uint64_t checkedSize = 0;
  if (result == kRatingSaved && vetLeftover(leftover, track, file.size, plan.tagSize, rendered, &checkedSize)) {
    // A whole copy is put in place once the track is no longer held, and once the disk
    // holds it for sure.
    note->newSize = checkedSize;
    // Checked and durable; the note that puts it in place says so (rewrite_job.h), until
    // then the journal's kStepCopying lets recovery remove it.
    if (flushFileNamed(leftover))
      note->step = kStepCopyChecked;
    else
      result = kRatingNotSaved;
  }
  return result;
}

// The track's name has no 8-bit form id3lib could open (and the volume keeps
// no short names): id3lib works on a copy with a plain name beside the track,
// held like the track, and only its checked result reaches the track.
RatingSaveResult updateCopyThroughId3lib(const wchar_t* path, TrackFile track, const ByteSource& file,
                                         const RatingWritePlan& plan, int ratingByte, RewriteRecord* note) {
  if (!volumeHasRoom(path, file.size + kRewriteSpareRoom)) return kRatingDiskFull;
  beginId3libNote(note, path, file.size, ratingByte);
  note->route = kRouteId3libPlainCopy;
  // Named in the journal before it is made.
  note->input = plainCopyName(path);
  if (!note->track || !note->input || !noteRewriteStep(note, kStepCopying)) return kRatingNotSaved;
  RatingSaveResult result = kRatingNotSaved;
  char name[kId3libNameSize];
  if (copyFileToNew(path, note->input)) {
    TrackFile copy = openTrackFile(note->input, kTrackHold, nullptr);
    if (copy.handle != nullptr && sameBytes(track, 0, copy, 0, file.size) &&
        id3libFileName(note->input, name, sizeof name)) {
      result = updateThroughId3lib(name, path, track, file, plan, ratingByte, note);
    }
    closeTrackFile(&copy);
  }
  deleteFileAt(note->input);
  return result;
}

void discardId3libRewrite(RewriteRecord* note) {
  dropRewrite(note);
  releaseRewriteRecord(note);
}

unsigned ratingByteReadById3lib(const wchar_t* path) {
  // No 8-bit name that surely names this file: reading another file's rating
  // would be worse than reading none.
  char name[kId3libNameSize];
  if (path == nullptr || path[0] == 0 || !id3libFileName(path, name, sizeof name)) return 0;
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
