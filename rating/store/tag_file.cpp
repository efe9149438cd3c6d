// SPDX-License-Identifier: LGPL-2.1-or-later
// The file side of the rating store; see tag_file.h.
#include "rating/store/tag_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

bool flushFileNamed(const wchar_t* path) {
  TrackFile file = openTrackFile(path, kTrackHold, nullptr);
  const bool flushed = file.handle && flushTrackFile(file);
  closeTrackFile(&file);
  return flushed;
}

bool fileIsMissing(const wchar_t* path) {
  FileStatus status = kFileFailed;
  return !pathInfo(path, &status).exists && status == kFileMissing;
}

wchar_t* folderPartOf(const wchar_t* path) {
  size_t end = std::wcslen(path);
  while (end > 0 && path[end - 1] != L'\\' && path[end - 1] != L'/') --end;
  wchar_t* folder = static_cast<wchar_t*>(std::malloc((end + 1) * sizeof(wchar_t)));
  if (!folder) return nullptr;
  std::wmemcpy(folder, path, end);  // with its trailing separator, a drive's root too
  folder[end] = 0;
  return folder;
}

namespace {

size_t readTrackFileAt(void* file, uint64_t offset, unsigned char* buffer, size_t count) {
  TrackFile track = {file};
  return readTrackAt(track, offset, buffer, count);
}

}  // namespace

ByteSource byteSourceOf(TrackFile file, uint64_t size) {
  ByteSource source;
  source.file = file.handle;
  source.size = size;
  source.readAt = &readTrackFileAt;
  return source;
}

FileStatus writePlannedBytes(TrackFile file, const RatingWritePlan& plan) {
  if (plan.method != kRatingWriteBytes || plan.length == 0 || plan.length > sizeof plan.bytes) return kFileFailed;
  unsigned char now[sizeof plan.bytes];
  if (readTrackAt(file, plan.offset, now, plan.length) != plan.length) return kFileFailed;
  if (std::memcmp(now, plan.expected, plan.length) != 0) return kFileFailed;  // changed since it was read
  FileStatus status = kFileFailed;
  const size_t written = writeTrackAt(file, plan.offset, plan.bytes, plan.length, &status);
  if (written == plan.length) return kFileOk;
  if (written > 0) writeTrackAt(file, plan.offset, plan.expected, written, nullptr);  // put back what was there
  return status == kFileOk ? kFileFailed : status;
}

bool sameBytes(TrackFile a, uint64_t aOffset, TrackFile b, uint64_t bOffset, uint64_t count) {
  // Large pieces: a whole file is compared this way (id3lib's copy against the track).
  const size_t kPiece = 256 * 1024;
  unsigned char* pieceA = static_cast<unsigned char*>(std::malloc(2 * kPiece));
  if (!pieceA) return false;
  unsigned char* pieceB = pieceA + kPiece;
  bool same = true;
  uint64_t done = 0;
  while (same && done < count) {
    const size_t piece = count - done < kPiece ? static_cast<size_t>(count - done) : kPiece;
    same = readTrackAt(a, aOffset + done, pieceA, piece) == piece &&
           readTrackAt(b, bOffset + done, pieceB, piece) == piece && std::memcmp(pieceA, pieceB, piece) == 0;
    done += piece;
  }
  std::free(pieceA);
  return same;
}
