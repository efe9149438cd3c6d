// The file side of the rating store: reading the start of a file for the write guard,
// writing planned bytes in place, comparing files, and the name and state of the copy
// "<path>.XXXXXX" that id3lib leaves when it cannot replace a file. Through the file
// calls of track_file.h only; these functions never throw.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/rating.h"
#include "rating/track_file.h"
#include "rating/write_guard.h"

// The most bytes read from the start of a file. A tag may be up to 256 MB; a larger one
// than this is not read: its rating is then read by id3lib (or counts as 0 for ID3v2.4)
// and nothing is written.
const size_t kMaxHeadBytes = 64u * 1024u * 1024u;

// Kept free on the volume beyond what a rewrite or the copy back needs.
const uint64_t kRewriteSpareRoom = 64u * 1024u;

// What id3lib appends to a file's name for the copy it writes.
extern const wchar_t kLeftoverSuffix[];  // ".XXXXXX"

// `path` with `suffix` appended (malloc'd, given back with std::free); null when
// memory is short.
wchar_t* pathWithSuffix(const wchar_t* path, const wchar_t* suffix);

// "<path>.XXXXXX", as pathWithSuffix.
wchar_t* leftoverNameOf(const wchar_t* path);

// The state of the file `leftover` now.
LeftoverNote noteFile(const wchar_t* leftover);

// True when `leftover` is a file now and either was none at `before` or has been
// written since (another size or last-write time).
bool fileWrittenSince(const wchar_t* leftover, const LeftoverNote& before);

// Copies `leftover` over `path` when it is larger than `path` and the volume has room
// for the difference, then deletes it. True when copied.
bool copyLargerLeftover(const wchar_t* path, const wchar_t* leftover);

// How many bytes from the start of the file the write guard wants (ratingHeadBytesWanted,
// at most kMaxHeadBytes); *fileSize receives the file's size. 0 when the file cannot be read.
size_t headBytesToRead(TrackFile file, uint64_t* fileSize);

// The start of a file, as much of it as the write guard wants.
struct FileHead {
  unsigned char* bytes;  // from readFileHead, given back with releaseFileHead
  size_t available;      // how many bytes were read
  uint64_t fileSize;
};

// Reads the file's head (headBytesToRead bytes). False when the file cannot be read or
// the memory cannot be had; there is then nothing to release.
bool readFileHead(TrackFile file, FileHead* head);
void releaseFileHead(FileHead* head);

// Carries out a kRatingWriteBytes plan on a file opened for reading and writing: reads the
// bytes at the offset again, writes only when they are still plan.expected, and checks the
// count written (a short write is undone as far as possible). kFileOk when written.
FileStatus writePlannedBytes(TrackFile file, const RatingWritePlan& plan);

// True when `count` bytes of `a` from aOffset equal those of `b` from bOffset.
bool sameBytes(TrackFile a, uint64_t aOffset, TrackFile b, uint64_t bOffset, uint64_t count);
