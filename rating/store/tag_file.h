// SPDX-License-Identifier: LGPL-2.1-or-later
// The file side of the rating store: an open file as the byte source that the format rooms
// and the write guard read through, writing planned bytes in place, comparing files.
// Through the file calls of track_file.h only; these functions never throw.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/rating.h"
#include "rating/file/track_file.h"
#include "rating/store/track_names.h"
#include "rating/store/write_guard.h"

// Kept free on the volume beyond what a rewrite or the copy back needs.
const uint64_t kRewriteSpareRoom = 64u * 1024u;

// Makes what was written to the file at `path` durable; false when it could not be
// opened for writing or flushed.
bool flushFileNamed(const wchar_t* path);

// True when `path` surely names nothing (not when it merely cannot be seen now).
bool fileIsMissing(const wchar_t* path);

// The folder part of `path` with its trailing separator, "" when it has none (malloc'd,
// given back with std::free); null when memory is short.
wchar_t* folderPartOf(const wchar_t* path);

// An open file, `size` bytes long, as a byte source. The file must stay open while the
// source is used.
ByteSource byteSourceOf(TrackFile file, uint64_t size);

// Carries out a kRatingWriteBytes plan on a file opened for reading and writing: reads the
// bytes at the offset again, writes only when they are still plan.expected, and checks the
// count written (a short write is undone as far as possible). kFileOk when written.
FileStatus writePlannedBytes(TrackFile file, const RatingWritePlan& plan);

// True when `count` bytes of `a` from aOffset equal those of `b` from bOffset.
bool sameBytes(TrackFile a, uint64_t aOffset, TrackFile b, uint64_t bOffset, uint64_t count);
