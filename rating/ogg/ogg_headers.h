// SPDX-License-Identifier: LGPL-2.1-or-later
// The header packets of an Ogg Vorbis or Opus stream, found by walking its first pages: the
// identification header alone on the first page, then the pages that hold the comment
// packet (and Vorbis's setup header) up to the first audio page. Every page walked here has
// its CRC checked; the pages are kept in a table (bounded) so that the packets can be read
// through a packet view (ogg_packet_view.h) and paginated anew (ogg_repaginate.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"

enum OggCodec { kOggCodecNone, kOggCodecVorbis, kOggCodecOpus };

// Why a stream is not one the store rates.
enum OggStreamFault {
  kOggStreamSound,
  kOggFaultNotOgg,          // no Ogg page at the start
  kOggFaultOtherCodec,      // Ogg FLAC, or anything but Vorbis and Opus
  kOggFaultManyStreams,     // a second stream: multiplexed or chained
  kOggFaultBrokenPage,      // a bad CRC, lacing past the file's end, a page out of sequence
  kOggFaultBrokenHeaders,   // a header packet cut short or malformed, audio not on a fresh page
  kOggFaultTooManyPages,    // more header pages than the table holds
  kOggFaultOutOfMemory,
};

// The most header pages after the first that a stream may have: a 16 MB picture in the 4 KB
// pages some taggers write, or a quarter gigabyte in full pages. The table (40 bytes a page),
// its copy for the planned file's walk and the plan's spans stay well under 1 MiB.
const size_t kOggMaxHeaderPages = 4096;

// One page after the first, up to the first audio page. Body offsets are in the header
// stream: the bodies of these pages one after another, from 0.
struct OggHeaderPage {
  uint64_t offset;     // of the page in the file
  uint64_t bodyStart;  // in the header stream
  uint64_t granule;
  uint32_t bodyLength;
  uint32_t sequence;
  uint16_t headerLength;
  uint16_t segmentCount;
  bool endsPacket;
};

// A packet, as a stretch of the header stream.
struct OggPacketRange {
  uint64_t start;
  uint64_t end;
};

struct OggHeaders {
  OggCodec codec;
  uint32_t serial;
  uint64_t firstPageEnd;  // where the second page starts
  OggHeaderPage* pages;   // malloc'd; releaseOggHeaders frees it
  size_t pageCount;
  size_t pageCapacity;
  OggPacketRange comment;  // from its first byte ("\x03vorbis" or "OpusTags")
  OggPacketRange setup;    // Vorbis's setup header; empty for Opus
  uint64_t headersEnd;     // in the file: where the first audio page starts (or the file ends)
};

// The length of the comment packet's signature: "\x03vorbis" or "OpusTags".
size_t oggCommentPrefixLength(OggCodec codec);

// Walks the header pages of `file`, checking every page's CRC, the stream's one serial
// number, the page sequence and the lacing; then the header of the first audio page.
// `buffer` holds kOggMaxPageSize bytes. On kOggStreamSound `headers` is filled in.
OggStreamFault walkOggHeaders(const ByteSource& file, unsigned char* buffer, OggHeaders* headers);

// The audio pages a write walks, from the first: reading them costs the window thread
// about a millisecond a megabyte, so a long file would keep the player waiting.
const uint64_t kOggAudioWalkBytes = 16u * 1024u * 1024u;

// Walks the audio pages of the first kOggAudioWalkBytes after the headers, or to the end of
// the file: the same serial, no second first page, pages in sequence, lacing that continues
// packets as it should, the last page ending the file, and each page's CRC, so that a file
// broken or chained where it can be seen is not written (the audio is never rewritten;
// checkOggLastPage looks at the end of a longer file). `buffer` holds kOggMaxPageSize bytes.
OggStreamFault walkOggAudioPages(const ByteSource& file, const OggHeaders& headers, unsigned char* buffer);

// A cheap look for a second stream: the last page of the file (found within its last
// 64 KB) belongs to this stream and starts none. `buffer` holds kOggMaxPageSize bytes.
OggStreamFault checkOggLastPage(const ByteSource& file, const OggHeaders& headers, unsigned char* buffer);

void initOggHeaders(OggHeaders* headers);
void releaseOggHeaders(OggHeaders* headers);

// The file offset of header-stream offset `at` (which must lie in a page's body), and how
// many bytes of that body follow it.
uint64_t oggHeaderStreamToFile(const OggHeaders& headers, uint64_t at, uint64_t* leftInPage);
