// SPDX-License-Identifier: LGPL-2.1-or-later
// The file side of the rating store: an open file as the byte source the rooms read through,
// flushing by name, and the folder a path names. Through the file calls of track_file.h only;
// these functions never throw.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/file/track_file.h"

// Kept free on the volume beyond what a rewrite or the copy back needs.
const uint64_t kRewriteSpareRoom = 64u * 1024u;

// Makes what was written to the file at `path` durable; false when it could not be
// opened for writing or flushed.
bool flushFileNamed(const wchar_t* path);

// True when `path` surely names nothing (not when it merely cannot be seen now).
bool fileIsMissing(const wchar_t* path);

// `path` with `suffix` appended (malloc'd, given back with std::free); null when
// memory is short.
wchar_t* pathWithSuffix(const wchar_t* path, const wchar_t* suffix);

// The folder part of `path` with its trailing separator, "" when it has none (malloc'd,
// given back with std::free); null when memory is short.
wchar_t* folderPartOf(const wchar_t* path);

// An open file, `size` bytes long, as a byte source. The file must stay open while the
// source is used.
ByteSource byteSourceOf(TrackFile file, uint64_t size);
