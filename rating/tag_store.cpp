// Reading and writing the rating byte: the write guard decides, from the file's
// tag read through the open handle, whether the strict reader, a change of
// bytes in place or id3lib's C interface does the work (write_guard.h).
//
// id3lib is the only code here that may throw; each sequence of id3lib calls
// runs inside one try/catch(...), so that nothing leaves the store.
#include <windows.h>

#include <fstream>
#include <string>

#include <id3.h>
#include <id3/tag.h>
// Last of id3lib's headers: it defines a min() macro unless one exists.
#include <id3/io_strings.h>
#undef min

#include "rating/rating.h"
#include "rating/tag_file.h"
#include "rating/write_guard.h"

namespace {

bool isEmptyPath(const char* path) { return path == nullptr || path[0] == '\0'; }

// id3lib's update creates a file that holds only a tag when the path names
// nothing, so a write needs an existing regular file; one marked read-only is
// left alone too (Windows refuses to open it for writing anyway, Wine running
// as root does not).
RatingSaveResult checkWritableRegularFile(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return kRatingFileLocked;
    if (error == ERROR_ACCESS_DENIED) return kRatingFileReadOnly;
    return kRatingFileMissing;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return kRatingFileMissing;
  if (attributes & FILE_ATTRIBUTE_READONLY) return kRatingFileReadOnly;
  return kRatingSaved;
}

// Why opening a track for writing failed.
RatingSaveResult openFailure() {
  switch (GetLastError()) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return kRatingFileLocked;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return kRatingFileReadOnly;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return kRatingFileMissing;
    default:
      return kRatingNotSaved;
  }
}

// Why a write that was tried did not happen.
RatingSaveResult writeFailure() {
  const DWORD error = GetLastError();
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) return kRatingDiskFull;
  if (error == ERROR_LOCK_VIOLATION) return kRatingFileLocked;
  return kRatingNotSaved;
}

// The guard's reasons for writing nothing; one of them is no failure.
RatingSaveResult refusal(RatingWriteReason reason) {
  return reason == kWriteReasonAlreadyStored ? kRatingSaved : kRatingTagRefused;
}

// The player holds the playing file open for reading, sharing read and write;
// the store's own handles share the same, so that both can be open together.
HANDLE openTrack(const char* path, DWORD access) {
  return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
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

int readWithId3lib(const char* path) {
  ID3Tag* tag = nullptr;
  int stars = 0;
  try {
    tag = ID3Tag_New();
    if (tag != nullptr) {
      // The ID3v2 tag only: the tags at the end of a file hold no rating.
      ID3Tag_LinkWithFlags(tag, path, ID3TT_ID3V2);
      stars = starsFromRatingByte(ratingByteOfFirstPopm(tag));
    }
  } catch (...) {
    stars = 0;
  }
  try {
    ID3Tag_Delete(tag);
  } catch (...) {
  }
  return stars;
}

// How the guard wants the file read; *ratingByte is set for kRatingReadFromTag.
RatingReadMethod planReadOfFile(const char* path, unsigned* ratingByte) {
  *ratingByte = 0;
  HANDLE file = openTrack(path, GENERIC_READ);
  if (file == INVALID_HANDLE_VALUE) return kRatingReadZero;
  RatingReadMethod method = kRatingReadZero;
  uint64_t size = 0;
  if (fileSizeOf(file, &size)) method = planRatingRead(byteSourceOf(file, size), ratingByte);
  CloseHandle(file);
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
RatingSaveResult updateWithId3lib(const char* path, const ByteSource& file, const RatingWritePlan& plan,
                                  int ratingByte, std::string& rendered) {
  ID3Tag* tag = nullptr;
  ID3Frame* frame = nullptr;
  RatingSaveResult result = kRatingTagRefused;
  try {
    tag = ID3Tag_New();
    if (tag != nullptr) {
      const size_t tagBytes = ID3Tag_LinkWithFlags(tag, path, ID3TT_ID3V2);
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
bool leftoverIsComplete(HANDLE file, uint64_t fileSize, uint64_t oldTagSize, HANDLE copy,
                        const std::string& rendered) {
  uint64_t copySize = 0;
  if (!fileSizeOf(copy, &copySize)) return false;
  uint64_t copyTagSize = 0;
  return id3libCopyMatchesRender(byteSourceOf(copy, copySize),
                                 reinterpret_cast<const unsigned char*>(rendered.data()), rendered.size(),
                                 fileSize, oldTagSize, &copyTagSize) &&
         sameBytes(file, oldTagSize, copy, copyTagSize, fileSize - oldTagSize);
}

// After id3lib's update, with the file still held: a leftover that this write
// produced and that is not the complete new file is removed (the original was
// held and is untouched); a complete one stays for recoverRewriteSince.
void vetLeftover(const char* path, HANDLE file, uint64_t fileSize, uint64_t oldTagSize,
                 const std::string& rendered, const LeftoverNote& before) {
  char leftover[kLeftoverNameSize];
  if (!makeLeftoverName(path, leftover) || !leftoverWrittenSince(path, before)) return;
  HANDLE copy = CreateFileA(leftover, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  bool complete = false;
  if (copy != INVALID_HANDLE_VALUE) {
    complete = leftoverIsComplete(file, fileSize, oldTagSize, copy, rendered);
    CloseHandle(copy);
  }
  if (!complete) DeleteFileA(leftover);
}

// ---- Writing ----------------------------------------------------------------

// Stores the rating byte as the guard plans it. The file stays open (reading
// and writing, sharing read and write but not delete) for the whole call: an
// in-place change goes through this handle, and while id3lib updates the file
// the handle keeps id3lib from removing it, so that a rewrite always ends as a
// copy beside the file that is checked before it replaces anything.
RatingSaveResult storeRatingByte(const char* path, int ratingByte, const LeftoverNote& before) {
  HANDLE file = openTrack(path, GENERIC_READ | GENERIC_WRITE);
  if (file == INVALID_HANDLE_VALUE) return openFailure();
  RatingSaveResult result = kRatingNotSaved;
  uint64_t size = 0;
  if (fileSizeOf(file, &size)) {
    const ByteSource source = byteSourceOf(file, size);
    RatingWritePlan plan;
    planRatingWrite(source, ratingByte, &plan);
    if (plan.method == kRatingWriteBytes) {
      result = writePlannedBytes(file, plan) ? kRatingSaved : writeFailure();
    } else if (plan.method == kRatingWriteWithId3lib) {
      std::string rendered;
      result = updateWithId3lib(path, source, plan, ratingByte, rendered);
      if (result == kRatingSaved) vetLeftover(path, file, size, plan.tagSize, rendered, before);
    } else {
      result = refusal(plan.reason);
    }
  }
  CloseHandle(file);
  return result;
}

}  // namespace

int readRating(const char* path) {
  if (isEmptyPath(path)) return 0;
  unsigned ratingByte = 0;
  switch (planReadOfFile(path, &ratingByte)) {
    case kRatingReadFromTag:
      return starsFromRatingByte(ratingByte);
    case kRatingReadWithId3lib:
      return readWithId3lib(path);
    case kRatingReadZero:
      break;
  }
  return 0;
}

RatingSaveResult writeRating(const char* path, int stars) {
  if (isEmptyPath(path)) return kRatingNotSaved;
  const LeftoverNote before = noteLeftover(path);
  RatingSaveResult result = kRatingNotSaved;
  if (stars >= 0 && stars <= 5) {
    result = checkWritableRegularFile(path);
    if (result == kRatingSaved) result = storeRatingByte(path, RatingScale[stars], before);
  }
  recoverRewriteSince(path, before);
  // A rewrite through id3lib ends as a copy that the recovery puts in place (or
  // does not, when it is not whole or the volume is full): what counts is what
  // the file holds now.
  if (result == kRatingSaved && readRating(path) != stars) result = kRatingNotSaved;
  return result;
}
