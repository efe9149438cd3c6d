// SPDX-License-Identifier: LGPL-2.1-or-later
// The header packets of an Ogg Vorbis or Opus stream; see ogg_headers.h.
#include "rating/ogg/ogg_headers.h"

#include <cstdlib>
#include <cstring>

#include "rating/bytes/source_window.h"
#include "rating/ogg/ogg_packet_view.h"
#include "rating/ogg/ogg_page.h"

namespace {

const size_t kVorbisIdentificationLength = 30;
const size_t kOpusHeadMinimumLength = 19;

bool addHeaderPage(OggHeaders* headers, const OggPageHeader& page, uint64_t bodyStart) {
  if (headers->pageCount == headers->pageCapacity) {
    const size_t grown = headers->pageCapacity < 16 ? 16 : headers->pageCapacity * 2;
    void* moved = std::realloc(headers->pages, grown * sizeof(OggHeaderPage));
    if (moved == nullptr) return false;
    headers->pages = static_cast<OggHeaderPage*>(moved);
    headers->pageCapacity = grown;
  }
  OggHeaderPage& kept = headers->pages[headers->pageCount++];
  kept.offset = page.offset;
  kept.bodyStart = bodyStart;
  kept.granule = page.granule;
  kept.bodyLength = static_cast<uint32_t>(page.bodyLength);
  kept.sequence = page.sequence;
  kept.headerLength = static_cast<uint16_t>(page.headerLength);
  kept.segmentCount = static_cast<uint16_t>(page.segmentCount);
  kept.endsPacket = oggPageEndsPacket(page);
  return true;
}

// The codec of the identification packet that fills the first page.
OggCodec codecOfFirstPage(const ByteSource& file, const OggPageHeader& page) {
  unsigned char start[9] = {};
  const size_t got = readSourceAt(file, page.offset + page.headerLength, start, sizeof start);
  // The identification header is 30 bytes exactly, as decoders read it.
  if (got >= 7 && std::memcmp(start, "\x01vorbis", 7) == 0 && page.bodyLength == kVorbisIdentificationLength)
    return kOggCodecVorbis;
  // Versions 0-15 of Opus keep this header's layout; a higher major version is another format.
  if (got >= 9 && std::memcmp(start, "OpusHead", 8) == 0 && start[8] < 16 &&
      page.bodyLength >= kOpusHeadMinimumLength)
    return kOggCodecOpus;
  return kOggCodecNone;
}

// The first page: the beginning of the stream, with the identification packet alone on it.
OggStreamFault checkFirstPage(const ByteSource& file, SourceWindow* window, unsigned char* buffer,
                              OggPageHeader* page, OggCodec* codec) {
  if (!readOggPageHeader(window, 0, page)) {
    const unsigned char* start = windowBytes(window, 0, 4, 0);
    return start != nullptr && std::memcmp(start, "OggS", 4) == 0 ? kOggFaultBrokenPage : kOggFaultNotOgg;
  }
  if (!oggPageCrcValid(file, *page, buffer)) return kOggFaultBrokenPage;
  if (page->flags != kOggFirstPage || page->segmentCount == 0) return kOggFaultBrokenHeaders;
  for (unsigned i = 0; i + 1 < page->segmentCount; ++i)
    if (page->lacing[i] < 255) return kOggFaultBrokenHeaders;  // a second packet on the first page
  if (page->lacing[page->segmentCount - 1] == 255) return kOggFaultBrokenHeaders;  // it goes on
  *codec = codecOfFirstPage(file, *page);
  return *codec == kOggCodecNone ? kOggFaultOtherCodec : kOggStreamSound;
}

// Whether the packet starts with `signature`.
bool packetStartsWith(const OggHeaders& headers, const ByteSource& file, const OggPacketRange& packet,
                      const char* signature, size_t length) {
  unsigned char start[8];
  return packet.end - packet.start >= length &&
         readOggHeaderStream(headers, file, packet.start, start, length) == length &&
         std::memcmp(start, signature, length) == 0;
}

// The page after the headers: the same stream, in sequence, starting a fresh packet.
OggStreamFault checkFirstAudioPage(SourceWindow* window, const OggHeaders& headers, uint32_t lastSequence) {
  if (headers.headersEnd == window->source.size) return kOggStreamSound;
  OggPageHeader page;
  if (!readOggPageHeader(window, headers.headersEnd, &page)) return kOggFaultBrokenPage;
  if (page.serial != headers.serial || (page.flags & kOggFirstPage) != 0) return kOggFaultManyStreams;
  if (page.sequence != lastSequence + 1) return kOggFaultBrokenPage;
  if ((page.flags & kOggContinued) != 0) return kOggFaultBrokenHeaders;
  return kOggStreamSound;
}

}  // namespace

size_t oggCommentPrefixLength(OggCodec codec) { return codec == kOggCodecOpus ? 8 : 7; }

void initOggHeaders(OggHeaders* headers) { std::memset(headers, 0, sizeof *headers); }

void releaseOggHeaders(OggHeaders* headers) {
  std::free(headers->pages);
  initOggHeaders(headers);
}

OggStreamFault walkOggHeaders(const ByteSource& file, unsigned char* buffer, OggHeaders* headers) {
  releaseOggHeaders(headers);
  SourceWindow window;
  openWindow(&window, file);
  OggPageHeader page;
  OggCodec codec = kOggCodecNone;
  const OggStreamFault first = checkFirstPage(file, &window, buffer, &page, &codec);
  if (first != kOggStreamSound) return first;
  headers->codec = codec;
  headers->serial = page.serial;
  headers->firstPageEnd = oggPageEnd(page);

  // The comment, then (Vorbis) the setup header, each ending where a lacing value is below 255.
  const int packetsWanted = codec == kOggCodecVorbis ? 2 : 1;
  int packetsDone = 0;
  uint64_t streamAt = 0;
  uint64_t packetStart = 0;
  bool continues = false;
  uint32_t sequence = page.sequence;
  uint64_t offset = headers->firstPageEnd;
  while (packetsDone < packetsWanted) {
    if (offset >= file.size) return kOggFaultBrokenHeaders;  // a packet that never ends
    if (!readOggPageHeader(&window, offset, &page)) return kOggFaultBrokenPage;
    if (page.serial != headers->serial || (page.flags & kOggFirstPage) != 0) return kOggFaultManyStreams;
    if (page.sequence != sequence + 1) return kOggFaultBrokenPage;
    if (((page.flags & kOggContinued) != 0) != continues) return kOggFaultBrokenPage;
    if ((page.flags & kOggLastPage) != 0 || page.segmentCount == 0) return kOggFaultBrokenHeaders;
    if (!oggPageCrcValid(file, page, buffer)) return kOggFaultBrokenPage;
    if (headers->pageCount == kOggMaxHeaderPages) return kOggFaultTooManyPages;
    if (!addHeaderPage(headers, page, streamAt)) return kOggFaultOutOfMemory;
    for (unsigned i = 0; i < page.segmentCount; ++i) {
      if (packetsDone == packetsWanted) return kOggFaultBrokenHeaders;  // audio not on a fresh page
      streamAt += page.lacing[i];
      if (page.lacing[i] == 255) continue;
      OggPacketRange& packet = packetsDone == 0 ? headers->comment : headers->setup;
      packet = {packetStart, streamAt};
      packetStart = streamAt;
      ++packetsDone;
    }
    continues = page.lacing[page.segmentCount - 1] == 255;
    sequence = page.sequence;
    offset = oggPageEnd(page);
  }
  headers->headersEnd = offset;

  if (codec == kOggCodecVorbis) {
    if (!packetStartsWith(*headers, file, headers->comment, "\x03vorbis", 7) ||
        !packetStartsWith(*headers, file, headers->setup, "\x05vorbis", 7))
      return kOggFaultBrokenHeaders;
  } else if (!packetStartsWith(*headers, file, headers->comment, "OpusTags", 8)) {
    return kOggFaultBrokenHeaders;
  }
  return checkFirstAudioPage(&window, *headers, sequence);
}

OggStreamFault walkOggAudioPages(const ByteSource& file, const OggHeaders& headers, unsigned char* buffer) {
  if (headers.pageCount == 0) return kOggFaultBrokenHeaders;
  SourceWindow window;
  openWindow(&window, file);
  OggPageHeader page;
  uint32_t sequence = headers.pages[headers.pageCount - 1].sequence;
  bool continues = false;
  const uint64_t walkEnd = headers.headersEnd + kOggAudioWalkBytes;
  for (uint64_t offset = headers.headersEnd; offset < file.size && offset < walkEnd; offset = oggPageEnd(page)) {
    if (!readOggPageHeader(&window, offset, &page)) return kOggFaultBrokenPage;
    if (page.serial != headers.serial || (page.flags & kOggFirstPage) != 0) return kOggFaultManyStreams;
    if (page.sequence != sequence + 1) return kOggFaultBrokenPage;
    if (((page.flags & kOggContinued) != 0) != continues) return kOggFaultBrokenPage;
    if (!oggPageCrcValid(file, page, buffer)) return kOggFaultBrokenPage;
    // Bytes after the last page: another stream chained on, or something else.
    if ((page.flags & kOggLastPage) != 0 && oggPageEnd(page) != file.size) return kOggFaultManyStreams;
    if (page.segmentCount > 0) continues = page.lacing[page.segmentCount - 1] == 255;
    sequence = page.sequence;
  }
  return kOggStreamSound;
}

OggStreamFault checkOggLastPage(const ByteSource& file, const OggHeaders& headers, unsigned char* buffer) {
  if (headers.headersEnd >= file.size) return kOggStreamSound;
  const uint64_t tail = file.size - headers.headersEnd;
  const size_t length = tail < kOggMaxPageSize ? static_cast<size_t>(tail) : kOggMaxPageSize;
  const uint64_t from = file.size - length;
  if (readSourceAt(file, from, buffer, length) != length) return kOggFaultBrokenPage;
  // The last "OggS" whose page ends exactly at the end of the file.
  for (size_t at = length >= kOggPageHeaderSize ? length - kOggPageHeaderSize + 1 : 0; at-- > 0;) {
    const unsigned char* header = buffer + at;
    if (std::memcmp(header, "OggS", 4) != 0 || header[4] != 0) continue;
    const size_t headerLength = kOggPageHeaderSize + header[26];
    if (headerLength > length - at) continue;
    size_t pageLength = headerLength;
    for (size_t i = kOggPageHeaderSize; i < headerLength; ++i) pageLength += header[i];
    if (pageLength != length - at) continue;
    const uint32_t serial = uint32_t{header[14]} | uint32_t{header[15]} << 8 | uint32_t{header[16]} << 16 |
                            uint32_t{header[17]} << 24;
    return serial == headers.serial && (header[5] & kOggFirstPage) == 0 ? kOggStreamSound : kOggFaultManyStreams;
  }
  return kOggFaultBrokenPage;  // cut short, or something after the last page
}

uint64_t oggHeaderStreamToFile(const OggHeaders& headers, uint64_t at, uint64_t* leftInPage) {
  *leftInPage = 0;
  size_t low = 0;
  size_t high = headers.pageCount;
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    const OggHeaderPage& page = headers.pages[middle];
    if (at < page.bodyStart) {
      high = middle;
    } else if (at - page.bodyStart >= page.bodyLength) {
      low = middle + 1;
    } else {
      *leftInPage = page.bodyLength - (at - page.bodyStart);
      return page.offset + page.headerLength + (at - page.bodyStart);
    }
  }
  return 0;
}
