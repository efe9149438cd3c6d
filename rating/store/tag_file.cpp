// SPDX-License-Identifier: LGPL-2.1-or-later
// The file side of the rating store; see tag_file.h.
#include "rating/store/tag_file.h"

#include <cstdlib>
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

wchar_t* pathWithSuffix(const wchar_t* path, const wchar_t* suffix) {
  const size_t pathLength = std::wcslen(path);
  const size_t suffixLength = std::wcslen(suffix);
  wchar_t* joined = static_cast<wchar_t*>(std::malloc((pathLength + suffixLength + 1) * sizeof(wchar_t)));
  if (!joined) return nullptr;
  std::wmemcpy(joined, path, pathLength);
  std::wmemcpy(joined + pathLength, suffix, suffixLength + 1);
  return joined;
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
