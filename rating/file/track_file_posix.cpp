// SPDX-License-Identifier: LGPL-2.1-or-later
// The rating store's file calls on POSIX, for the native fuzz targets only; see
// track_file.h. Paths are UTF-8 on disk.
//
// One Windows behaviour matters to the store and is imitated: a file held
// (kTrackHold) cannot be removed while the handle is open, as on Windows
// without delete sharing.
#include "rating/file/track_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// Files held open now, by UTF-8 path (malloc'd); the store holds at most two.
const int kMaxHeld = 8;
struct HeldFile {
  int descriptor;
  char* path;
};
HeldFile g_held[kMaxHeld];

// UTF-8 of a wide path (malloc'd), null when memory is short or a character is
// no Unicode scalar value.
char* utf8Of(const wchar_t* path) {
  const size_t length = std::wcslen(path);
  char* out = static_cast<char*>(std::malloc(length * 4 + 1));
  if (!out) return nullptr;
  size_t at = 0;
  for (size_t i = 0; i < length; ++i) {
    const uint32_t c = static_cast<uint32_t>(path[i]);
    if (c < 0x80) {
      out[at++] = static_cast<char>(c);
    } else if (c < 0x800) {
      out[at++] = static_cast<char>(0xC0 | (c >> 6));
      out[at++] = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000 && (c < 0xD800 || c > 0xDFFF)) {
      out[at++] = static_cast<char>(0xE0 | (c >> 12));
      out[at++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out[at++] = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c >= 0x10000 && c < 0x110000) {
      out[at++] = static_cast<char>(0xF0 | (c >> 18));
      out[at++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out[at++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out[at++] = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      std::free(out);
      return nullptr;
    }
  }
  out[at] = 0;
  return out;
}

FileStatus statusOfErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
      return kFileMissing;
    case EACCES:
    case EPERM:
    case EROFS:
      return kFileReadOnly;
    case EBUSY:
    case ETXTBSY:
      return kFileLocked;
    case ENOSPC:
    case EDQUOT:
      return kFileDiskFull;
    default:
      return kFileFailed;
  }
}

void setStatus(FileStatus* status, FileStatus value) {
  if (status) *status = value;
}

int descriptorOf(TrackFile file) { return static_cast<int>(reinterpret_cast<intptr_t>(file.handle)) - 1; }

bool isHeld(const char* path) {
  for (const HeldFile& held : g_held)
    if (held.path && std::strcmp(held.path, path) == 0) return true;
  return false;
}

bool copyDescriptor(int from, int to) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = read(from, buffer, sizeof buffer);
    if (got < 0) return false;
    if (got == 0) return true;
    for (ssize_t put = 0; put < got;) {
      const ssize_t written = write(to, buffer + put, static_cast<size_t>(got - put));
      if (written <= 0) return false;
      put += written;
    }
  }
}

bool copyNamed(const char* from, const char* to, int createFlags) {
  const int source = open(from, O_RDONLY);
  if (source < 0) return false;
  const int target = open(to, O_WRONLY | O_CREAT | createFlags, 0644);
  bool copied = false;
  if (target >= 0) {
    copied = copyDescriptor(source, target);
    if (close(target) != 0) copied = false;
  }
  close(source);
  return copied;
}

// A held file cannot be removed, as on Windows without delete sharing.
bool removeUnlessHeld(const char* path) {
  if (isHeld(path)) return false;
  return unlink(path) == 0 || (errno == EISDIR && rmdir(path) == 0);
}

}  // namespace

TrackFile openTrackFile(const wchar_t* path, TrackAccess access, FileStatus* status) {
  TrackFile file = {nullptr};
  char* named = utf8Of(path);
  if (!named) {
    setStatus(status, kFileMissing);
    return file;
  }
  const int descriptor = open(named, access == kTrackHold ? O_RDWR : O_RDONLY);
  struct stat info;
  if (descriptor < 0 || fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
    setStatus(status, descriptor < 0 ? statusOfErrno(errno) : kFileMissing);
    if (descriptor >= 0) close(descriptor);
    std::free(named);
    return file;
  }
  if (access == kTrackHold) {
    for (HeldFile& held : g_held) {
      if (held.path) continue;
      held.descriptor = descriptor;
      held.path = named;
      named = nullptr;
      break;
    }
    if (named) {  // no room to note it: it could not be held
      close(descriptor);
      std::free(named);
      setStatus(status, kFileFailed);
      return file;
    }
  }
  std::free(named);
  file.handle = reinterpret_cast<void*>(static_cast<intptr_t>(descriptor) + 1);
  setStatus(status, kFileOk);
  return file;
}

TrackFile createNewFile(const wchar_t* path) {
  TrackFile file = {nullptr};
  char* named = utf8Of(path);
  if (!named) return file;
  const int descriptor = open(named, O_RDWR | O_CREAT | O_EXCL, 0644);
  std::free(named);
  if (descriptor >= 0) file.handle = reinterpret_cast<void*>(static_cast<intptr_t>(descriptor) + 1);
  return file;
}

void closeTrackFile(TrackFile* file) {
  if (!file->handle) return;
  const int descriptor = descriptorOf(*file);
  for (HeldFile& held : g_held) {
    if (held.path && held.descriptor == descriptor) {
      std::free(held.path);
      held.path = nullptr;
    }
  }
  close(descriptor);
  file->handle = nullptr;
}

bool trackFileSize(TrackFile file, uint64_t* size) {
  struct stat info;
  if (fstat(descriptorOf(file), &info) != 0 || info.st_size < 0) return false;
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

size_t readTrackAt(TrackFile file, uint64_t offset, unsigned char* buffer, size_t count) {
  size_t total = 0;
  while (total < count) {
    const ssize_t got = pread(descriptorOf(file), buffer + total, count - total, static_cast<off_t>(offset + total));
    if (got <= 0) break;
    total += static_cast<size_t>(got);
  }
  return total;
}

size_t writeTrackAt(TrackFile file, uint64_t offset, const unsigned char* bytes, size_t count,
                    FileStatus* status) {
  size_t total = 0;
  setStatus(status, kFileFailed);
  while (total < count) {
    const ssize_t put = pwrite(descriptorOf(file), bytes + total, count - total, static_cast<off_t>(offset + total));
    if (put < 0) setStatus(status, statusOfErrno(errno));
    if (put <= 0) break;
    total += static_cast<size_t>(put);
  }
  if (total == count) setStatus(status, kFileOk);
  return total;
}

bool flushTrackFile(TrackFile file) { return fsync(descriptorOf(file)) == 0; }

bool setTrackFileSize(TrackFile file, uint64_t size) {
  return ftruncate(descriptorOf(file), static_cast<off_t>(size)) == 0;
}

PathInfo pathInfo(const wchar_t* path, FileStatus* status) {
  PathInfo info = {false, false, false, 0, 0};
  char* named = utf8Of(path);
  struct stat data;
  const bool known = named && stat(named, &data) == 0;
  setStatus(status, known ? kFileOk : named ? statusOfErrno(errno) : kFileMissing);
  std::free(named);
  if (!known) return info;
  info.exists = true;
  info.isFolder = S_ISDIR(data.st_mode);
  info.readOnly = (data.st_mode & S_IWUSR) == 0;
  info.size = static_cast<uint64_t>(data.st_size);
  info.lastWriteTime = static_cast<uint64_t>(data.st_mtim.tv_sec) * 1000000000u + data.st_mtim.tv_nsec;
  return info;
}

bool volumeHasRoom(const wchar_t* path, uint64_t bytes) {
  char* named = utf8Of(path);
  if (!named) return false;
  char* slash = std::strrchr(named, '/');
  if (!slash) {
    std::free(named);
    return true;  // no folder named: nothing to ask
  }
  slash[1] = 0;
  struct statvfs volume;
  const bool known = statvfs(named, &volume) == 0;
  std::free(named);
  return !known || uint64_t{volume.f_bavail} * volume.f_frsize >= bytes;
}

bool copyFileOver(const wchar_t* from, const wchar_t* to) {
  char* source = utf8Of(from);
  char* target = utf8Of(to);
  const bool copied = source && target && copyNamed(source, target, O_TRUNC);
  std::free(source);
  std::free(target);
  return copied;
}

bool deleteFileAt(const wchar_t* path) {
  char* named = utf8Of(path);
  const bool deleted = named && removeUnlessHeld(named);
  std::free(named);
  return deleted;
}

FileStatus replaceFileWith(const wchar_t* path, const wchar_t* replacement, const wchar_t* backup) {
  char* target = utf8Of(path);
  char* source = utf8Of(replacement);
  char* old = utf8Of(backup);
  FileStatus status = kFileFailed;
  if (target && source && old) {
    if (isHeld(target))
      status = kFileLocked;  // as on Windows without delete sharing
    else if (rename(target, old) != 0)
      status = statusOfErrno(errno);
    else  // two steps, as on Windows
      status = rename(source, target) == 0 ? kFileOk : statusOfErrno(errno);
  }
  std::free(target);
  std::free(source);
  std::free(old);
  return status;
}

bool renameFile(const wchar_t* from, const wchar_t* to, bool overExisting) {
  char* source = utf8Of(from);
  char* target = utf8Of(to);
  bool renamed = false;
  if (source && target && !isHeld(source)) {
    if (overExisting)
      renamed = rename(source, target) == 0;
    else  // a link fails on an existing name
      renamed = link(source, target) == 0 && unlink(source) == 0;
  }
  std::free(source);
  std::free(target);
  return renamed;
}

FileStatus probeReplace(const wchar_t* path) {
  char* named = utf8Of(path);
  struct stat data;
  FileStatus status = kFileMissing;
  if (named) status = stat(named, &data) != 0 ? statusOfErrno(errno) : isHeld(named) ? kFileLocked : kFileOk;
  std::free(named);
  return status;
}
