// SPDX-License-Identifier: LGPL-2.1-or-later
// One Ogg page: its header read through a window, its CRC checked and set with libogg's
// ogg_page_checksum_set over the page in a bounded buffer (a page is at most 65307 bytes).
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/bytes/source_window.h"

const size_t kOggPageHeaderSize = 27;  // before the lacing values
const size_t kOggMaxPageSize = 27 + 255 + 255 * 255;
const unsigned char kOggContinued = 0x01;  // the page starts inside a packet
const unsigned char kOggFirstPage = 0x02;  // beginning of a logical stream
const unsigned char kOggLastPage = 0x04;   // end of a logical stream
const uint64_t kOggNoGranule = ~uint64_t{0};  // a page on which no packet ends

struct OggPageHeader {
  uint64_t offset;  // of "OggS" in the file
  unsigned char flags;
  uint64_t granule;
  uint32_t serial;
  uint32_t sequence;
  uint32_t crc;
  unsigned segmentCount;
  unsigned char lacing[255];
  size_t headerLength;  // 27 + segmentCount
  size_t bodyLength;    // the lacing values added up
};

// Reads the page header at `offset`. False when there is no "OggS" of version 0 there, the
// flags hold unknown bits, or the page runs past the end of the file.
bool readOggPageHeader(SourceWindow* window, uint64_t offset, OggPageHeader* page);

inline uint64_t oggPageEnd(const OggPageHeader& page) { return page.offset + page.headerLength + page.bodyLength; }

// Whether a packet ends on the page (a lacing value below 255).
bool oggPageEndsPacket(const OggPageHeader& page);

// The CRC of the page of `length` bytes at `offset` in `source`, its own CRC field taken as
// zero; `buffer` holds kOggMaxPageSize bytes. False when the page cannot be read.
bool computeOggPageCrc(const ByteSource& source, uint64_t offset, size_t length, unsigned char* buffer,
                       uint32_t* crc);

// Whether the page's stored CRC is the one its bytes give.
bool oggPageCrcValid(const ByteSource& source, const OggPageHeader& page, unsigned char* buffer);
