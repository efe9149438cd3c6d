// SPDX-License-Identifier: LGPL-2.1-or-later
// The rating store's file calls on Windows; see track_file.h.
//
// Every path goes through platformPath first: a path too long for the plain
// Win32 calls is handed over in its "\\?\" form, so a track deep in a music
// folder reads and writes like any other.
#include "rating/file/track_file.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

namespace {

// The handle's attributes. GetFileInformationByHandle also asks the volume for its serial
// number, which under Wine costs half a millisecond an open; the basic information does
// not. Windows XP lacks the call, so it is looked up, with the older one in its place.
bool attributesOf(HANDLE handle, DWORD* attributes) {
  using BasicInfoCall = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
  static BasicInfoCall basicInfo = reinterpret_cast<BasicInfoCall>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFileInformationByHandleEx")));
  if (basicInfo) {
    FILE_BASIC_INFO information;
    if (!basicInfo(handle, FileBasicInfo, &information, sizeof information)) return false;
    *attributes = information.FileAttributes;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(handle, &information)) return false;
  *attributes = information.dwFileAttributes;
  return true;
}

// Paths from here on take the "\\?\" form. The limit of the plain calls is
// MAX_PATH with the terminator (248 characters for a folder); the margin
// leaves room for the suffixes the store appends.
const size_t kLongPathFrom = 240;

// Reads and writes in pieces of this size (the store's own pieces go whole).
const size_t kChunkSize = 256 * 1024;

HANDLE handleOf(TrackFile file) { return file.handle ? static_cast<HANDLE>(file.handle) : INVALID_HANDLE_VALUE; }

uint64_t toUint64(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

FileStatus statusOfError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return kFileMissing;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return kFileReadOnly;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return kFileLocked;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return kFileDiskFull;
    default:
      return kFileFailed;
  }
}

void setStatus(FileStatus* status, FileStatus value) {
  if (status) *status = value;
}

bool startsWith(const wchar_t* text, const wchar_t* prefix) {
  return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

// `path` as the platform calls want it (malloc'd): unchanged when short or
// already in "\\?\" form; otherwise made absolute and given the "\\?\" prefix,
// or "\\?\UNC\" for a network path. Null when memory is short.
wchar_t* platformPath(const wchar_t* path) {
  const size_t length = std::wcslen(path);
  if (length < kLongPathFrom || startsWith(path, L"\\\\?\\")) {
    wchar_t* copy = static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t)));
    if (copy) std::wmemcpy(copy, path, length + 1);
    return copy;
  }
  // "\\?\" turns off the platform's clean-up of "." and ".." and "/", so the
  // path is made full first.
  const DWORD fullLength = GetFullPathNameW(path, 0, nullptr, nullptr);
  if (fullLength == 0) return nullptr;
  wchar_t* full = static_cast<wchar_t*>(std::malloc(fullLength * sizeof(wchar_t)));
  if (!full) return nullptr;
  const DWORD written = GetFullPathNameW(path, fullLength, full, nullptr);
  if (written == 0 || written >= fullLength) {
    std::free(full);
    return nullptr;
  }
  const bool network = startsWith(full, L"\\\\");
  const wchar_t* prefix = network ? L"\\\\?\\UNC\\" : L"\\\\?\\";
  const wchar_t* rest = network ? full + 2 : full;
  const size_t prefixLength = std::wcslen(prefix);
  const size_t restLength = std::wcslen(rest);
  wchar_t* result = static_cast<wchar_t*>(std::malloc((prefixLength + restLength + 1) * sizeof(wchar_t)));
  if (result) {
    std::wmemcpy(result, prefix, prefixLength);
    std::wmemcpy(result + prefixLength, rest, restLength + 1);
  }
  std::free(full);
  return result;
}

bool seekTo(HANDLE file, uint64_t offset) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != 0;
}

// The folder part of `path` (malloc'd, with its trailing separator), or null.
wchar_t* folderOf(const wchar_t* path) {
  size_t end = std::wcslen(path);
  while (end > 0 && path[end - 1] != L'\\' && path[end - 1] != L'/') --end;
  if (end == 0) return nullptr;
  wchar_t* folder = static_cast<wchar_t*>(std::malloc((end + 1) * sizeof(wchar_t)));
  if (!folder) return nullptr;
  std::wmemcpy(folder, path, end);
  folder[end] = 0;
  return folder;
}

}  // namespace

TrackFile openTrackFile(const wchar_t* path, TrackAccess access, FileStatus* status) {
  TrackFile file = {nullptr};
  wchar_t* platform = platformPath(path);
  if (!platform) {
    setStatus(status, kFileFailed);
    return file;
  }
  const DWORD rights = access == kTrackHold ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  HANDLE handle = CreateFileW(platform, rights, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD error = GetLastError();
  std::free(platform);
  if (handle == INVALID_HANDLE_VALUE) {
    setStatus(status, statusOfError(error));
    return file;
  }
  // A folder opens too (with backup semantics only, but be sure): it is no track.
  DWORD attributes = 0;
  if (!attributesOf(handle, &attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(handle);
    setStatus(status, kFileMissing);
    return file;
  }
  file.handle = handle;
  setStatus(status, kFileOk);
  return file;
}

TrackFile createNewFile(const wchar_t* path) {
  TrackFile file = {nullptr};
  wchar_t* platform = platformPath(path);
  if (!platform) return file;
  HANDLE handle = CreateFileW(platform, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::free(platform);
  if (handle != INVALID_HANDLE_VALUE) file.handle = handle;
  return file;
}

void closeTrackFile(TrackFile* file) {
  if (file->handle) CloseHandle(static_cast<HANDLE>(file->handle));
  file->handle = nullptr;
}

bool trackFileSize(TrackFile file, uint64_t* size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(handleOf(file), &value) || value.QuadPart < 0) return false;
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

size_t readTrackAt(TrackFile file, uint64_t offset, unsigned char* buffer, size_t count) {
  HANDLE handle = handleOf(file);
  if (!seekTo(handle, offset)) return 0;
  size_t total = 0;
  while (total < count) {
    const size_t piece = count - total < kChunkSize ? count - total : kChunkSize;
    DWORD got = 0;
    if (!ReadFile(handle, buffer + total, static_cast<DWORD>(piece), &got, nullptr) || got == 0) break;
    total += got;
  }
  return total;
}

size_t writeTrackAt(TrackFile file, uint64_t offset, const unsigned char* bytes, size_t count,
                    FileStatus* status) {
  HANDLE handle = handleOf(file);
  setStatus(status, kFileFailed);
  if (!seekTo(handle, offset)) return 0;
  size_t total = 0;
  while (total < count) {
    const size_t piece = count - total < kChunkSize ? count - total : kChunkSize;
    DWORD written = 0;
    if (!WriteFile(handle, bytes + total, static_cast<DWORD>(piece), &written, nullptr)) {
      setStatus(status, statusOfError(GetLastError()));
      break;
    }
    if (written == 0) break;
    total += written;
  }
  if (total == count) setStatus(status, kFileOk);
  return total;
}

bool flushTrackFile(TrackFile file) { return FlushFileBuffers(handleOf(file)) != 0; }

bool setTrackFileSize(TrackFile file, uint64_t size) {
  HANDLE handle = handleOf(file);
  return seekTo(handle, size) && SetEndOfFile(handle);
}

PathInfo pathInfo(const wchar_t* path, FileStatus* status) {
  PathInfo info = {false, false, false, 0, 0};
  wchar_t* platform = platformPath(path);
  if (!platform) {
    setStatus(status, kFileFailed);
    return info;
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  const BOOL known = GetFileAttributesExW(platform, GetFileExInfoStandard, &data);
  const DWORD error = GetLastError();
  std::free(platform);
  if (!known) {
    setStatus(status, statusOfError(error));
    return info;
  }
  info.exists = true;
  info.isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info.readOnly = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  info.size = toUint64(data.nFileSizeHigh, data.nFileSizeLow);
  info.lastWriteTime = toUint64(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
  setStatus(status, kFileOk);
  return info;
}

bool volumeHasRoom(const wchar_t* path, uint64_t bytes) {
  wchar_t* folder = folderOf(path);
  if (!folder) return true;  // no folder named: nothing to ask
  wchar_t* platform = platformPath(folder);
  std::free(folder);
  if (!platform) return false;
  ULARGE_INTEGER available;
  const BOOL known = GetDiskFreeSpaceExW(platform, &available, nullptr, nullptr);
  std::free(platform);
  return !known || available.QuadPart >= bytes;
}

bool copyFileOver(const wchar_t* from, const wchar_t* to) {
  wchar_t* source = platformPath(from);
  wchar_t* target = platformPath(to);
  const bool copied = source && target && CopyFileW(source, target, FALSE);
  std::free(source);
  std::free(target);
  return copied;
}

bool deleteFileAt(const wchar_t* path) {
  wchar_t* platform = platformPath(path);
  const bool deleted = platform && DeleteFileW(platform);
  std::free(platform);
  return deleted;
}

FileStatus replaceFileWith(const wchar_t* path, const wchar_t* replacement, const wchar_t* backup) {
  wchar_t* target = platformPath(path);
  wchar_t* source = platformPath(replacement);
  wchar_t* old = platformPath(backup);
  FileStatus status = kFileFailed;
  if (target && source && old) {
    if (ReplaceFileW(target, source, old, 0, nullptr, nullptr)) {
      status = kFileOk;
    } else {
      const DWORD error = GetLastError();
      // The platform may have moved the file away and failed to move the
      // replacement in: the checked replacement then takes its name.
      if ((error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) &&
          GetFileAttributesW(target) == INVALID_FILE_ATTRIBUTES &&
          MoveFileExW(source, target, MOVEFILE_WRITE_THROUGH))
        status = kFileOk;
      else
        status = error == ERROR_UNABLE_TO_REMOVE_REPLACED ? kFileLocked : statusOfError(error);
    }
  }
  std::free(target);
  std::free(source);
  std::free(old);
  return status;
}

bool renameFile(const wchar_t* from, const wchar_t* to, bool overExisting) {
  wchar_t* source = platformPath(from);
  wchar_t* target = platformPath(to);
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (overExisting ? MOVEFILE_REPLACE_EXISTING : 0);
  const bool renamed = source && target && MoveFileExW(source, target, flags);
  std::free(source);
  std::free(target);
  return renamed;
}

FileStatus probeReplace(const wchar_t* path) {
  wchar_t* platform = platformPath(path);
  if (!platform) return kFileFailed;
  // Asking for delete access alone, sharing everything, fails exactly when another handle
  // does not share deletion.
  HANDLE handle = CreateFileW(platform, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  const DWORD error = GetLastError();
  std::free(platform);
  if (handle == INVALID_HANDLE_VALUE) return statusOfError(error);
  CloseHandle(handle);
  return kFileOk;
}
