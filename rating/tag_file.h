// The file side of the rating store: reading the start of a file for the write guard,
// writing planned bytes in place, comparing files, and the name and state of the copy
// "<path>.XXXXXX" that id3lib leaves when it cannot replace a file. Windows API only;
// these functions never throw.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "rating/rating.h"
#include "rating/write_guard.h"

// The most bytes read from the start of a file. A tag may be up to 256 MB; a larger one
// than this is not read: its rating is then read by id3lib (or counts as 0 for ID3v2.4)
// and nothing is written.
const size_t kMaxHeadBytes = 64u * 1024u * 1024u;

// Kept free on the volume beyond what a rewrite or the copy back needs.
const uint64_t kRewriteSpareRoom = 64u * 1024u;

// Room for a path of MAX_PATH bytes, the suffix ".XXXXXX" and the terminator.
const size_t kLeftoverNameSize = MAX_PATH + 8;

// Fills `name` with "<path>.XXXXXX"; false when the path is longer than MAX_PATH.
bool makeLeftoverName(const char* path, char (&name)[kLeftoverNameSize]);

// True when "<path>.XXXXXX" is a file now and either was none at `before` or has been
// written since (another size or last-write time).
bool leftoverWrittenSince(const char* path, const LeftoverNote& before);

// A file handle's size; false when it cannot be had.
bool fileSizeOf(HANDLE file, uint64_t* size);

// Reads up to `count` bytes at `offset`; returns how many were read.
size_t readAt(HANDLE file, uint64_t offset, unsigned char* buffer, size_t count);

// How many bytes from the start of the file the write guard wants (ratingHeadBytesWanted,
// at most kMaxHeadBytes); *fileSize receives the file's size. 0 when the file cannot be read.
size_t headBytesToRead(HANDLE file, uint64_t* fileSize);

// The start of a file, as much of it as the write guard wants.
struct FileHead {
  unsigned char* bytes;  // from readFileHead, given back with releaseFileHead
  size_t available;      // how many bytes were read
  uint64_t fileSize;
};

// Reads the file's head (headBytesToRead bytes). False when the file cannot be read or
// the memory cannot be had; there is then nothing to release.
bool readFileHead(HANDLE file, FileHead* head);
void releaseFileHead(FileHead* head);

// Carries out a kRatingWriteBytes plan on a file opened for reading and writing: reads the
// bytes at the offset again, writes only when they are still plan.expected, and checks the
// count written (a short write is undone as far as possible). True when written.
bool writePlannedBytes(HANDLE file, const RatingWritePlan& plan);

// True when `count` bytes of `a` from aOffset equal those of `b` from bOffset.
bool sameBytes(HANDLE a, uint64_t aOffset, HANDLE b, uint64_t bOffset, uint64_t count);

// True when the volume holding `path` has at least `bytes` free (or says nothing about it).
bool volumeHasRoom(const char* path, uint64_t bytes);
