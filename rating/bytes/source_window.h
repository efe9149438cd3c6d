// SPDX-License-Identifier: LGPL-2.1-or-later
// A file read through a ByteSource one window at a time. The format readers and
// the write guard keep one or two of these on the stack and nothing else of the
// file, so their memory stays the same whatever the tag holds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"

const size_t kSourceWindowSize = 16 * 1024;

struct SourceWindow {
  ByteSource source;
  uint64_t start;   // file offset of bytes[0]
  size_t length;    // how many bytes from start the window holds
  bool readFailed;  // a read of bytes inside the file came up short
  unsigned char bytes[kSourceWindowSize];
};

// Reads up to `count` bytes at `offset`, never past the file's size; returns how many were read.
size_t readSourceAt(const ByteSource& source, uint64_t offset, unsigned char* buffer, size_t count);

void openWindow(SourceWindow* window, const ByteSource& source);

// The `count` bytes (at most kSourceWindowSize) at file offset `offset`: from the window
// when it holds them, otherwise read into it together with up to `ahead` bytes after them.
// Null when they lie past the end of the file or cannot be read. Valid until the next call.
const unsigned char* windowBytes(SourceWindow* window, uint64_t offset, size_t count, size_t ahead);
