// SPDX-License-Identifier: LGPL-2.1-or-later
// Byte builders for Ogg Vorbis and Opus files in the tests: header packets, pages with
// their CRC (computed here, apart from libogg), packets laid into pages; and a walk of the
// pages of a file, for the checks after a planned write. The comments inside are
// flac_bytes.h's commentBody.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/flac_bytes.h"  // commentBody: the Vorbis comment the packets carry
#include "support/plan_bytes.h"  // bytesAfterPlan
#include "support/tag_bytes.h"

inline Bytes oggLittleEndian(uint64_t value, int width) {
  Bytes out;
  for (int i = 0; i < width; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
  return out;
}

inline Bytes vorbisIdentification() { return join({text("\x01vorbis"), Bytes(22, 0x11), {0x01}}); }
inline Bytes vorbisCommentPacket(const Bytes& comment, size_t slack = 0) {
  return join({text("\x03vorbis"), comment, {0x01}, Bytes(slack, 0x00)});
}
inline Bytes vorbisSetup(size_t length = 40) { return join({text("\x05vorbis"), Bytes(length, 0x5E)}); }
inline Bytes opusHead() { return join({text("OpusHead"), {1, 2, 0x38, 0x01, 0x80, 0xBB, 0, 0, 0, 0, 0}}); }
inline Bytes opusTags(const Bytes& comment, const Bytes& tail = {}) { return join({text("OpusTags"), comment, tail}); }

// The CRC Ogg puts in a page: polynomial 0x04C11DB7, no reflection, starting from 0.
inline uint32_t oggCrc(const Bytes& page) {
  uint32_t crc = 0;
  for (unsigned char byte : page) {
    crc ^= uint32_t{byte} << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

inline Bytes oggPage(unsigned char flags, uint64_t granule, uint32_t serial, uint32_t sequence, const Bytes& lacing,
                     const Bytes& body) {
  Bytes page = join({text("OggS"), {0x00, flags}, oggLittleEndian(granule, 8), oggLittleEndian(serial, 4),
                     oggLittleEndian(sequence, 4), Bytes(4, 0x00), {static_cast<unsigned char>(lacing.size())}, lacing,
                     body});
  const Bytes crc = oggLittleEndian(oggCrc(page), 4);
  std::copy(crc.begin(), crc.end(), page.begin() + 22);
  return page;
}

// Packets that start on a fresh page and end their last page, sharing pages among them, at
// most `maxSegments` lacing values a page; a page where a packet ends gets `granule`.
struct OggRun {
  std::vector<Bytes> packets;
  uint64_t granule;
  size_t maxSegments;
};

// The runs as the pages of one stream from sequence 0: the first page begins the stream,
// the last ends it.
inline Bytes oggStream(uint32_t serial, const std::vector<OggRun>& runs, uint32_t firstSequence = 0) {
  struct Page {
    Bytes lacing, body;
    bool continued, endsPacket;
    uint64_t granule;
  };
  std::vector<Page> pages;
  for (const OggRun& run : runs) {
    Page page{{}, {}, false, false, run.granule};
    for (const Bytes& packet : run.packets) {
      size_t at = 0;
      for (;;) {
        if (page.lacing.size() == run.maxSegments) {
          const bool continued = page.lacing.back() == 255;
          pages.push_back(std::move(page));
          page = {{}, {}, continued, false, run.granule};
        }
        const size_t piece = packet.size() - at < 255 ? packet.size() - at : 255;
        page.lacing.push_back(static_cast<unsigned char>(piece));
        page.body.insert(page.body.end(), packet.begin() + at, packet.begin() + at + piece);
        at += piece;
        if (piece < 255) break;
      }
      page.endsPacket = true;
    }
    pages.push_back(page);
  }
  Bytes out;
  for (size_t i = 0; i < pages.size(); ++i) {
    const Page& page = pages[i];
    unsigned char flags = page.continued ? 0x01 : 0x00;
    if (i == 0) flags |= 0x02;
    if (i + 1 == pages.size()) flags |= 0x04;
    bool ends = false;
    for (unsigned char value : page.lacing) ends = ends || value < 255;
    const Bytes bytes = oggPage(flags, ends ? page.granule : ~uint64_t{0}, serial,
                                firstSequence + static_cast<uint32_t>(i), page.lacing, page.body);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

// A Vorbis file: identification page, the comment and setup packets (sharing pages, at most
// `headerSegments` lacing values a page), three audio pages.
inline Bytes vorbisFile(const Bytes& commentPacket, size_t headerSegments = 255, uint32_t serial = 0x1234) {
  return oggStream(serial, {{{vorbisIdentification()}, 0, 255},
                            {{commentPacket, vorbisSetup()}, 0, headerSegments},
                            {{Bytes(300, 0xA1), Bytes(200, 0xA2)}, 4096, 255},
                            {{Bytes(100, 0xA3)}, 8192, 255},
                            {{Bytes(50, 0xA4)}, 9000, 255}});
}

inline Bytes opusFile(const Bytes& tagsPacket, size_t headerSegments = 255, uint32_t serial = 0x4321) {
  return oggStream(serial, {{{opusHead()}, 0, 255},
                            {{tagsPacket}, 0, headerSegments},
                            {{Bytes(120, 0xB1), Bytes(90, 0xB2)}, 1272, 255},
                            {{Bytes(80, 0xB3)}, 2232, 255}});
}

// One page of a file as the walk below finds it.
struct WalkedPage {
  size_t offset, length;
  unsigned char flags;
  uint64_t granule;
  uint32_t serial, sequence;
  bool crcValid;
};

// The pages of a file and its packets (whole); false when a page does not parse or the file
// does not end with a page.
inline bool walkOggBytes(const Bytes& file, std::vector<WalkedPage>* pages, std::vector<Bytes>* packets) {
  Bytes packet;
  for (size_t at = 0; at < file.size();) {
    if (file.size() - at < 27 || std::string(file.begin() + at, file.begin() + at + 4) != "OggS") return false;
    const size_t segments = file[at + 26];
    if (file.size() - at < 27 + segments) return false;
    size_t body = 0;
    for (size_t i = 0; i < segments; ++i) body += file[at + 27 + i];
    const size_t length = 27 + segments + body;
    if (file.size() - at < length) return false;
    Bytes page(file.begin() + at, file.begin() + at + length);
    uint64_t granule = 0;
    for (int i = 7; i >= 0; --i) granule = granule << 8 | page[6 + i];
    const uint32_t stored = page[22] | page[23] << 8 | page[24] << 16 | static_cast<uint32_t>(page[25]) << 24;
    std::fill(page.begin() + 22, page.begin() + 26, 0);
    pages->push_back({at, length, page[5], granule, static_cast<uint32_t>(page[14] | page[15] << 8 | page[16] << 16 | page[17] << 24),
                      static_cast<uint32_t>(page[18] | page[19] << 8 | page[20] << 16 | page[21] << 24),
                      oggCrc(page) == stored});
    size_t bodyAt = 27 + segments;
    for (size_t i = 0; i < segments; ++i) {
      const size_t value = file[at + 27 + i];
      packet.insert(packet.end(), page.begin() + bodyAt, page.begin() + bodyAt + value);
      bodyAt += value;
      if (value < 255) {
        packets->push_back(packet);
        packet.clear();
      }
    }
    at += length;
  }
  return true;
}
