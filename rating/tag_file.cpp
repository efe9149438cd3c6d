// The file side of the rating store; see tag_file.h.
#include "rating/tag_file.h"

#include <cstring>

namespace {

const char kLeftoverSuffix[] = ".XXXXXX";

// Reads and compares in pieces of this size.
const size_t kChunkSize = 64 * 1024;

bool seekTo(HANDLE file, uint64_t offset) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != 0;
}

// Writes `count` bytes at `offset`; returns how many were written.
size_t writeAt(HANDLE file, uint64_t offset, const unsigned char* bytes, size_t count) {
  if (!seekTo(file, offset)) return 0;
  DWORD written = 0;
  if (!WriteFile(file, bytes, static_cast<DWORD>(count), &written, nullptr)) return 0;
  return written;
}

uint64_t toUint64(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

}  // namespace

bool makeLeftoverName(const char* path, char (&name)[kLeftoverNameSize]) {
  const size_t length = std::strlen(path);
  if (length > MAX_PATH) return false;
  std::memcpy(name, path, length);
  std::memcpy(name + length, kLeftoverSuffix, sizeof kLeftoverSuffix);
  return true;
}

LeftoverNote noteLeftover(const char* path) {
  LeftoverNote note = {false, 0, 0};
  char leftover[kLeftoverNameSize];
  if (path == nullptr || !makeLeftoverName(path, leftover)) return note;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(leftover, GetFileExInfoStandard, &data)) return note;
  note.exists = true;
  note.size = toUint64(data.nFileSizeHigh, data.nFileSizeLow);
  note.lastWriteTime = toUint64(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
  return note;
}

bool leftoverWrittenSince(const char* path, const LeftoverNote& before) {
  char leftover[kLeftoverNameSize];
  if (path == nullptr || !makeLeftoverName(path, leftover)) return false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(leftover, GetFileExInfoStandard, &data)) return false;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  if (!before.exists) return true;
  const uint64_t size = toUint64(data.nFileSizeHigh, data.nFileSizeLow);
  const uint64_t lastWrite =
      toUint64(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
  return size != before.size || lastWrite != before.lastWriteTime;
}

bool fileSizeOf(HANDLE file, uint64_t* size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(file, &value) || value.QuadPart < 0) return false;
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

size_t readAt(HANDLE file, uint64_t offset, unsigned char* buffer, size_t count) {
  if (!seekTo(file, offset)) return 0;
  size_t total = 0;
  while (total < count) {
    const size_t piece = count - total < kChunkSize ? count - total : kChunkSize;
    DWORD got = 0;
    if (!ReadFile(file, buffer + total, static_cast<DWORD>(piece), &got, nullptr) || got == 0) break;
    total += got;
  }
  return total;
}

namespace {

size_t readHandleAt(void* file, uint64_t offset, unsigned char* buffer, size_t count) {
  return readAt(static_cast<HANDLE>(file), offset, buffer, count);
}

}  // namespace

ByteSource byteSourceOf(HANDLE file, uint64_t size) {
  ByteSource source;
  source.file = file;
  source.size = size;
  source.readAt = &readHandleAt;
  return source;
}

bool writePlannedBytes(HANDLE file, const RatingWritePlan& plan) {
  if (plan.method != kRatingWriteBytes || plan.length == 0 || plan.length > sizeof plan.bytes) return false;
  unsigned char now[sizeof plan.bytes];
  if (readAt(file, plan.offset, now, plan.length) != plan.length) return false;
  if (std::memcmp(now, plan.expected, plan.length) != 0) return false;  // changed since it was read
  const size_t written = writeAt(file, plan.offset, plan.bytes, plan.length);
  if (written == plan.length) return true;
  if (written > 0) writeAt(file, plan.offset, plan.expected, written);  // put back what was there
  return false;
}

bool sameBytes(HANDLE a, uint64_t aOffset, HANDLE b, uint64_t bOffset, uint64_t count) {
  unsigned char pieceA[4096];
  unsigned char pieceB[4096];
  uint64_t done = 0;
  while (done < count) {
    const size_t piece = count - done < sizeof pieceA ? static_cast<size_t>(count - done) : sizeof pieceA;
    if (readAt(a, aOffset + done, pieceA, piece) != piece) return false;
    if (readAt(b, bOffset + done, pieceB, piece) != piece) return false;
    if (std::memcmp(pieceA, pieceB, piece) != 0) return false;
    done += piece;
  }
  return true;
}

bool volumeHasRoom(const char* path, uint64_t bytes) {
  char folder[MAX_PATH + 1];
  const size_t length = std::strlen(path);
  size_t end = length;
  while (end > 0 && path[end - 1] != '\\' && path[end - 1] != '/') --end;
  if (end == 0 || end > MAX_PATH) return true;  // no folder named: nothing to ask
  std::memcpy(folder, path, end);
  folder[end] = '\0';
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExA(folder, &available, nullptr, nullptr)) return true;
  return available.QuadPart >= bytes;
}
