// SPDX-License-Identifier: LGPL-2.1-or-later
// mutagen's walk of a tag's frames; see lenient_walk.h. Read through one window, a frame
// header at a time; an unsynchronised ID3v2.2/2.3 tag is decoded on the way.
#include "rating/id3v2/lenient_walk.h"

#include <cstring>

#include "rating/id3v2/id3v2_format.h"
#include "rating/id3v2/unsync_window.h"

namespace {

// The frame IDs mutagen knows for ID3v2.3 and ID3v2.4 (its Frames table): only these count
// when it guesses how ID3v2.4 sizes are written, and they stop it from reading an extended
// header that is not there.
const char kKnownFrameIds[][5] = {
    "AENC", "APIC", "ASPI", "CHAP", "COMM", "COMR", "CTOC", "ENCR", "EQU2", "ETCO", "GEOB", "GRID", "GRP1",
    "IPLS", "LINK", "MCDI", "MLLT", "MVIN", "MVNM", "OWNE", "PCNT", "PCST", "POPM", "POSS", "PRIV", "RBUF",
    "RVA2", "RVAD", "RVRB", "SEEK", "SIGN", "SYLT", "SYTC", "TALB", "TBPM", "TCAT", "TCMP", "TCOM", "TCON",
    "TCOP", "TDAT", "TDEN", "TDES", "TDLY", "TDOR", "TDRC", "TDRL", "TDTG", "TENC", "TEXT", "TFLT", "TGID",
    "TIME", "TIPL", "TIT1", "TIT2", "TIT3", "TKEY", "TKWD", "TLAN", "TLEN", "TMCL", "TMED", "TMOO", "TOAL",
    "TOFN", "TOLY", "TOPE", "TORY", "TOWN", "TPE1", "TPE2", "TPE3", "TPE4", "TPOS", "TPRO", "TPUB", "TRCK",
    "TRDA", "TRSN", "TRSO", "TSIZ", "TSO2", "TSOA", "TSOC", "TSOP", "TSOT", "TSRC", "TSSE", "TSST", "TXXX",
    "TYER", "UFID", "USER", "USLT", "WCOM", "WCOP", "WFED", "WOAF", "WOAR", "WOAS", "WORS", "WPAY", "WPUB",
    "WXXX",
};

bool isKnownFrameId(const unsigned char* id) {
  for (const char* known : kKnownFrameIds) {
    if (std::memcmp(known, id, 4) == 0) return true;
  }
  return false;
}

bool isUpperOrDigit(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// A frame it keeps (known or unknown): an ID of capitals and digits, or, in a later tag, an
// ID3v2.2 ID ending in a zero byte; and a body.
bool isLoadedFrame(const unsigned char* id, size_t idLength, uint64_t size) {
  if (size == 0) return false;
  bool valid = true;
  for (size_t i = 0; i < idLength; ++i) valid = valid && isUpperOrDigit(id[i]);
  if (valid) return true;
  if (idLength != 4 || id[3] != 0x00) return false;
  return isUpperOrDigit(id[0]) && isUpperOrDigit(id[1]) && isUpperOrDigit(id[2]);
}

// The tag's frame data as mutagen holds it: `size` bytes from `start` on disk, decoded when
// the tag-wide flag holds.
struct DataStream {
  SourceWindow* window;
  uint64_t position;  // on disk
  uint64_t end;       // on disk
  bool decode;
};

// Up to `count` bytes of data into `out`; returns how many there were.
size_t takeData(DataStream* data, unsigned char* out, size_t count) {
  size_t taken = 0;
  while (taken < count && data->position < data->end) {
    const unsigned char* byte = windowBytes(data->window, data->position, 1, kSourceWindowSize);
    if (byte == nullptr) break;
    out[taken++] = *byte;
    data->position++;
    if (data->decode && *byte == 0xFF && data->position < data->end) {
      const unsigned char* next = windowBytes(data->window, data->position, 1, kSourceWindowSize);
      if (next != nullptr && *next == 0x00) data->position++;
    }
  }
  return taken;
}

void skipData(DataStream* data, uint64_t count) {
  if (!data->decode) {
    data->position = count < data->end - data->position ? data->position + count : data->end;
    return;
  }
  unsigned char ignored;
  for (uint64_t i = 0; i < count && takeData(data, &ignored, 1) == 1; ++i) {
  }
}

// mutagen's guess for ID3v2.4: walk the raw data with syncsafe sizes and with plain ones,
// count the known frames each finds and how far past the end each walk lands.
bool guessPlainSizes(SourceWindow* window, uint64_t start, uint64_t length) {
  int64_t known[2] = {0, 0};
  int64_t past[2] = {0, 0};
  const int64_t total = static_cast<int64_t>(length);
  for (int plain = 0; plain < 2; ++plain) {
    int64_t at = 0;
    bool stopped = false;
    while (at < total - 10) {
      const unsigned char* part = windowBytes(window, start + static_cast<uint64_t>(at), 10, kSourceWindowSize);
      if (part == nullptr) break;
      static const unsigned char kEmpty[10] = {};
      if (std::memcmp(part, kEmpty, 10) == 0) {
        past[plain] = -((total - at) % 10);
        stopped = true;
        break;
      }
      const uint64_t size = plain ? bigEndian32(part + 4) : syncsafe32(part + 4);
      bool ascii = true;
      for (int i = 0; i < 4; ++i) ascii = ascii && part[i] < 0x80;
      if (ascii && isKnownFrameId(part)) known[plain]++;
      at += 10 + static_cast<int64_t>(size);
    }
    if (!stopped) past[plain] = at - total;
  }
  return known[1] > known[0] || (known[1] == known[0] && past[0] >= 1 && past[1] <= 1);
}

}  // namespace

LenientWalk walkLikeMutagen(const ByteSource& file, uint64_t stopAt) {
  LenientWalk walk = {false, 0, kWalkFingerprintStart, 0, false};
  SourceWindow window;
  openWindow(&window, file);
  unsigned char header[kTagHeaderSize];
  const size_t got = readSourceAt(file, 0, header, sizeof header);
  if (got < 3 || std::memcmp(header, "ID3", 3) != 0 || got < kTagHeaderSize || header[3] < 2 || header[3] > 4) {
    // No tag it reads: it loads the file without one.
    walk.loadable = true;
    return walk;
  }
  const unsigned char version = header[3];
  const unsigned char flags = header[5];
  for (int i = 6; i < 10; ++i) {
    if (header[i] & 0x80) return walk;
  }
  if ((version == 4 && (flags & 0x0F)) || (version == 3 && (flags & 0x1F))) return walk;
  uint64_t start = kTagHeaderSize;
  if (flags & kHeaderExtendedHeader) {
    unsigned char sizeBytes[4];
    if (readSourceAt(file, kTagHeaderSize, sizeBytes, 4) != 4) return walk;
    bool ascii = true;
    for (unsigned char c : sizeBytes) ascii = ascii && c < 0x80;
    if (!(ascii && isKnownFrameId(sizeBytes))) {
      uint64_t extendedSize = 0;
      if (version == 4) {
        for (unsigned char c : sizeBytes) {
          if (c & 0x80) return walk;
        }
        const uint64_t whole = syncsafe32(sizeBytes);
        if (whole < 4) return walk;
        extendedSize = whole - 4;
      } else {
        extendedSize = bigEndian32(sizeBytes);
      }
      start += 4 + extendedSize;
    }
  }
  const uint64_t size = syncsafe32(header + 6);
  if (start > file.size || size > file.size - start) return walk;
  walk.loadable = true;

  bool decode = false;
  if (version < 4 && (flags & kHeaderUnsynchronisation)) {
    UnsynchronisationCheck check = {false, false, false};
    if (!checkUnsynchronisationOnDisk(&window, start, start + size, &check)) return walk;
    decode = unsynchronisationHolds(check);
  }
  const bool plainSizes = version == 3 || (version == 4 && guessPlainSizes(&window, start, size));
  walk.plainSizes = version == 4 && plainSizes;
  const size_t headerSize = version == 2 ? 6 : 10;
  const size_t idLength = version == 2 ? 3 : 4;
  DataStream data = {&window, start, start + size, decode};
  for (;;) {
    const uint64_t frameStart = data.position;
    unsigned char frame[10];
    if (takeData(&data, frame, headerSize) != headerSize) break;
    bool allZero = true;
    for (size_t i = 0; i < idLength; ++i) allZero = allZero && frame[i] == 0x00;
    if (allZero) break;
    uint64_t frameSize = 0;
    uint16_t frameFlags = 0;
    if (version == 2) {
      frameSize = bigEndian24(frame + 3);
    } else {
      frameSize = plainSizes ? bigEndian32(frame + 4) : syncsafe32(frame + 4);
      frameFlags = bigEndian16(frame + 8);
    }
    if (frameStart < stopAt) {
      walk.entries++;
      walk.fingerprint = foldWalkFingerprint(walk.fingerprint, frame, idLength, frameSize, frameFlags);
    } else if (isLoadedFrame(frame, idLength, frameSize)) {
      walk.framesAfter++;
    }
    skipData(&data, frameSize);
  }
  return walk;
}
