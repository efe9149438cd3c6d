// SPDX-License-Identifier: LGPL-2.1-or-later
// The rating store's few file calls, on UTF-16 paths. track_file_win.cpp is
// the plugin's; track_file_posix.cpp lets the native fuzz targets run the same
// store on Linux; track_file_memory.cpp keeps files in memory for the crash
// tests. Nothing else in the store calls the platform.
//
// Writes reach the disk in their own time: only what flushTrackFile has made
// durable survives a power cut for sure, and of the rest any part may.
#pragma once

#include <cstddef>
#include <cstdint>

// How a file call ended, as far as the user can be told about it.
enum FileStatus {
  kFileOk,
  kFileMissing,   // the path names no file (or a folder)
  kFileReadOnly,  // marked read-only, or access denied
  kFileLocked,    // another program holds it without sharing
  kFileDiskFull,  // the volume has no room
  kFileFailed,    // anything else
};

// An open file; handle is null when none.
struct TrackFile {
  void* handle;
};

enum TrackAccess {
  // Reading, sharing read and write with the player, which holds the playing
  // file open the same way.
  kTrackRead,
  // Reading and writing, sharing read and write but not deletion: while the
  // store holds a file like this, nothing can remove or rename it.
  kTrackHold,
};

struct PathInfo {
  bool exists;
  bool isFolder;
  bool readOnly;
  uint64_t size;
  uint64_t lastWriteTime;  // in the platform's own units; only compared
};

// Opens an existing file; on failure handle is null and *status (when given)
// says why.
TrackFile openTrackFile(const wchar_t* path, TrackAccess access, FileStatus* status);
void closeTrackFile(TrackFile* file);
// Creates a new, empty file (never over an existing one), open as kTrackHold.
TrackFile createNewFile(const wchar_t* path);

bool trackFileSize(TrackFile file, uint64_t* size);
// Reads up to `count` bytes at `offset`; returns how many were read.
size_t readTrackAt(TrackFile file, uint64_t offset, unsigned char* buffer, size_t count);
// Writes `count` bytes at `offset`; returns how many were written, and when
// short, *status (when given) says why.
size_t writeTrackAt(TrackFile file, uint64_t offset, const unsigned char* bytes, size_t count,
                    FileStatus* status);
// Makes everything written to the file so far durable (and the renames, creations
// and removals before it); needs a handle that may write. False when the
// platform could not.
bool flushTrackFile(TrackFile file);
// Cuts the file to `size` bytes (or extends it with zeros).
bool setTrackFileSize(TrackFile file, uint64_t size);

// What is at `path` now; *status (when given) says why nothing could be seen.
PathInfo pathInfo(const wchar_t* path, FileStatus* status);
// True when the volume holding `path` has at least `bytes` free (or says
// nothing about it).
bool volumeHasRoom(const wchar_t* path, uint64_t bytes);
// Copies `from` over the existing or new file `to`.
bool copyFileOver(const wchar_t* from, const wchar_t* to);
bool deleteFileAt(const wchar_t* path);
// Renames `from` to `to`, over an existing `to` only when asked; the rename is on the disk
// when this returns.
bool renameFile(const wchar_t* from, const wchar_t* to, bool overExisting);
// Whether `path` could be replaced or removed now: kFileOk; kFileLocked while another
// program holds it without delete sharing; or why it cannot be seen. The platform's
// replacement fails halfway on a held file (and Wine's leaves a file of its own beside it),
// so a held track is never handed to replaceFileWith.
FileStatus probeReplace(const wchar_t* path);
// Puts `replacement` in the place of `path`, keeping the file's attributes, times and
// security: kFileOk, or why not (kFileLocked while a program holds `path` without delete
// sharing). It is no single step: the old file is first renamed to `backup` (a name that
// must be free), then `replacement` takes its name. On success `replacement` is gone and the
// old file is left as `backup`, for the caller to remove; on failure either step may have
// happened.
FileStatus replaceFileWith(const wchar_t* path, const wchar_t* replacement, const wchar_t* backup);
