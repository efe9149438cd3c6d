// Finishing a rewrite that id3lib left half done.
//
// To enlarge a tag id3lib writes the whole new file to "<path>.XXXXXX", then
// removes the original and renames the copy. While the file is held open
// (sharing read and write, not delete: the player does this, and the store
// does it itself during id3lib's update) both steps fail: the original keeps
// the old tag and the copy stays behind. Copying the leftover over the file
// still works then, so we do that, but only when the leftover is strictly
// larger than the file, as a completed copy with an enlarged tag is, and the
// volume has room for the difference; anything else is left alone.
#include <windows.h>

#include <cstdint>

#include "rating/rating.h"
#include "rating/tag_file.h"

namespace {

HANDLE openForReading(const char* path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

// The size of the file at `path`, through a handle that is closed again here.
bool sizeOfFile(const char* path, uint64_t* size) {
  HANDLE file = openForReading(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = fileSizeOf(file, size);
  CloseHandle(file);
  return known;
}

void copyLargerLeftover(const char* path, const char (&leftover)[kLeftoverNameSize]) {
  uint64_t fileSize = 0;
  uint64_t copySize = 0;
  if (!sizeOfFile(path, &fileSize) || !sizeOfFile(leftover, &copySize)) return;
  if (copySize <= fileSize) return;
  // CopyFileA truncates the file before it writes: on a volume without room for
  // the difference it would stop halfway through the file.
  if (!volumeHasRoom(path, copySize - fileSize + kRewriteSpareRoom)) return;
  if (CopyFileA(leftover, path, FALSE)) DeleteFileA(leftover);
}

}  // namespace

void recoverRewrite(const char* path) {
  if (path == nullptr || path[0] == '\0') return;
  char leftover[kLeftoverNameSize];
  if (!makeLeftoverName(path, leftover)) return;
  copyLargerLeftover(path, leftover);
}

void recoverRewriteSince(const char* path, const LeftoverNote& before) {
  if (path == nullptr || path[0] == '\0') return;
  char leftover[kLeftoverNameSize];
  if (!makeLeftoverName(path, leftover)) return;
  if (!leftoverWrittenSince(path, before)) return;
  copyLargerLeftover(path, leftover);
}
