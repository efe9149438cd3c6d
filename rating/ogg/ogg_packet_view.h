// SPDX-License-Identifier: LGPL-2.1-or-later
// A header packet read as a byte source of its own: packet offsets mapped to file offsets
// across the page bodies that hold it, so that the comment parser walks a packet spread
// over many pages a window at a time, never the packet whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/ogg/ogg_headers.h"

struct OggPacketView {
  const OggHeaders* headers;
  ByteSource file;
  OggPacketRange packet;
};

// Reads through `view`, which must outlive the source; its size is the packet's length.
ByteSource oggPacketSource(const OggPacketView* view);

// Reads `count` bytes of the header stream at `at` (across pages); how many were read.
size_t readOggHeaderStream(const OggHeaders& headers, const ByteSource& file, uint64_t at, unsigned char* buffer,
                           size_t count);

// Whether two packets (of two files, say) hold the same bytes, compared in pieces.
bool oggPacketsEqual(const ByteSource& first, const ByteSource& second);
