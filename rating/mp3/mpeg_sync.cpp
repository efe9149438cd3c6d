// SPDX-License-Identifier: LGPL-2.1-or-later
// Finding MPEG audio frames after junk; see mpeg_sync.h.
#include "rating/mp3/mpeg_sync.h"

#include <cstddef>

#include "rating/bytes/source_window.h"

namespace {

// The longest frame: Layer II at 160 kbit/s and 8 kHz (MPEG-2.5), with its padding byte.
const size_t kMaxFrameLength = 2881;
const size_t kFramesInRun = 3;
// From a run's first header to the end of its last header, at most.
const size_t kRunSpan = (kFramesInRun - 1) * kMaxFrameLength + 4;
// Each piece read holds a whole run after every place it searches.
const size_t kPieceSize = 16 * 1024;
const size_t kPieceStep = kPieceSize - kRunSpan;

// kbit/s by bitrate index 1 to 14: MPEG-1 layers I, II, III, then MPEG-2 and 2.5 layer I,
// then MPEG-2 and 2.5 layers II and III.
const unsigned short kBitrates[5][15] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
};
// MPEG-1; MPEG-2 halves them, MPEG-2.5 quarters them.
const uint32_t kSampleRates[3] = {44100, 48000, 32000};

struct FrameHeader {
  unsigned version;  // the two version bits: 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
  unsigned layer;    // 1, 2 or 3
  unsigned rateIndex;
  size_t length;  // the whole frame, header included
};

bool readFrameHeader(const unsigned char* bytes, FrameHeader* header) {
  if (bytes[0] != 0xFF || (bytes[1] & 0xE0) != 0xE0) return false;
  const unsigned version = (bytes[1] >> 3) & 0x03;
  const unsigned layerBits = (bytes[1] >> 1) & 0x03;
  const unsigned bitrateIndex = bytes[2] >> 4;
  const unsigned rateIndex = (bytes[2] >> 2) & 0x03;
  const unsigned padding = (bytes[2] >> 1) & 0x01;
  const unsigned emphasis = bytes[3] & 0x03;
  // Reserved values; bitrate index 0 is free format, whose length no header tells.
  if (version == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3 ||
      emphasis == 2) {
    return false;
  }
  const unsigned layer = 4 - layerBits;
  const bool mpeg1 = version == 3;
  const unsigned table = mpeg1 ? layer - 1 : (layer == 1 ? 3 : 4);
  const uint32_t bitrate = kBitrates[table][bitrateIndex] * 1000u;
  const uint32_t sampleRate = kSampleRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  size_t length = 0;
  if (layer == 1) {
    length = (12 * bitrate / sampleRate + padding) * 4;
  } else if (layer == 2 || mpeg1) {
    length = 144 * bitrate / sampleRate + padding;
  } else {
    length = 72 * bitrate / sampleRate + padding;  // MPEG-2 and 2.5 layer III: half the samples
  }
  header->version = version;
  header->layer = layer;
  header->rateIndex = rateIndex;
  header->length = length;
  return true;
}

// A run of frames starting at bytes[at], all of it within the `length` bytes given.
bool runAt(const unsigned char* bytes, size_t length, size_t at) {
  FrameHeader first;
  if (length < 4 || at > length - 4 || !readFrameHeader(bytes + at, &first)) return false;
  size_t next = at + first.length;
  for (size_t frame = 1; frame < kFramesInRun; ++frame) {
    FrameHeader header;
    if (next > length - 4 || !readFrameHeader(bytes + next, &header)) return false;
    if (header.version != first.version || header.layer != first.layer ||
        header.rateIndex != first.rateIndex) {
      return false;
    }
    next += header.length;
  }
  return true;
}

}  // namespace

bool findMpegAudioStart(const ByteSource& file, uint64_t* offset) {
  if (offset == nullptr) return false;
  unsigned char piece[kPieceSize];
  for (uint64_t base = 0; base < kMpegSyncSearchLimit && base < file.size; base += kPieceStep) {
    const uint64_t left = file.size - base;
    const size_t wanted = left < kPieceSize ? static_cast<size_t>(left) : kPieceSize;
    if (readSourceAt(file, base, piece, wanted) != wanted) return false;  // nothing to decide on
    for (size_t at = 0; at < kPieceStep && at < wanted && base + at < kMpegSyncSearchLimit; ++at) {
      if (runAt(piece, wanted, at)) {
        *offset = base + at;
        return true;
      }
    }
  }
  return false;
}

bool mpegAudioStartsAt(const ByteSource& file, uint64_t offset) {
  if (offset >= file.size) return false;
  unsigned char run[kRunSpan];
  const uint64_t left = file.size - offset;
  const size_t wanted = left < kRunSpan ? static_cast<size_t>(left) : kRunSpan;
  return readSourceAt(file, offset, run, wanted) == wanted && runAt(run, wanted, 0);
}
