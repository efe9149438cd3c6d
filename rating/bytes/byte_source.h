// SPDX-License-Identifier: LGPL-2.1-or-later
// Bytes of a file read at an offset. The tag reader walks a tag through this,
// reading frame headers and the few bytes it checks, never a whole tag.
#pragma once
#include <cstddef>
#include <cstdint>
struct ByteSource {
  void* file;     // what readAt reads from
  uint64_t size;  // the file's size in bytes
  // Reads up to `count` bytes at `offset` into `buffer`; returns how many were read.
  size_t (*readAt)(void* file, uint64_t offset, unsigned char* buffer, size_t count);
};
