// The file side of the rating store: a file handle as the byte source that the strict reader
// and the write guard read through, writing planned bytes in place, comparing files, and the
// name and state of the copy "<path>.XXXXXX" that id3lib leaves when it cannot replace a file.
// Windows API only; these functions never throw.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "rating/byte_source.h"
#include "rating/rating.h"
#include "rating/write_guard.h"

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

// The file behind a handle, `size` bytes long, as a byte source (readAt above). The handle
// must stay open while the source is used.
ByteSource byteSourceOf(HANDLE file, uint64_t size);

// Carries out a kRatingWriteBytes plan on a file opened for reading and writing: reads the
// bytes at the offset again, writes only when they are still plan.expected, and checks the
// count written (a short write is undone as far as possible). True when written.
bool writePlannedBytes(HANDLE file, const RatingWritePlan& plan);

// True when `count` bytes of `a` from aOffset equal those of `b` from bOffset.
bool sameBytes(HANDLE a, uint64_t aOffset, HANDLE b, uint64_t bOffset, uint64_t count);

// True when the volume holding `path` has at least `bytes` free (or says nothing about it).
bool volumeHasRoom(const char* path, uint64_t bytes);
