// SPDX-License-Identifier: LGPL-2.1-or-later
// The plugin's strict ID3v2 tag reader; see id3v2_reader.h for what it vouches for.
#include "rating/id3v2/id3v2_reader.h"

#include <zlib.h>

#include <cstring>

#include "rating/id3v2/id3v2_format.h"
#include "rating/id3v2/lenient_walk.h"
#include "rating/id3v2/unsync_window.h"

namespace {

// The flags each version defines (id3v2_format.h names them); any other is unknown.
const unsigned char kKnownHeaderFlagsV22 = 0xC0;
const unsigned char kKnownHeaderFlagsV23 = 0xE0;
const unsigned char kKnownHeaderFlagsV24 = 0xF0;
const uint16_t kKnownFrameFlagsV23 = 0xE0E0;
const uint16_t kKnownFrameFlagsV24 = 0x704F;
const unsigned char kKnownExtendedFlagsV24 = 0x70;

// Frame IDs that each version defines. id3lib knows these; anything else it may mangle.
const char kStandardFrameIdsV22[][4] = {
    "BUF", "CNT", "COM", "CRA", "CRM", "ETC", "EQU", "GEO", "IPL", "LNK", "MCI", "MLL",
    "PIC", "POP", "REV", "RVA", "SLT", "STC", "TAL", "TBP", "TCM", "TCO", "TCR", "TDA",
    "TDY", "TEN", "TFT", "TIM", "TKE", "TLA", "TLE", "TMT", "TOA", "TOF", "TOL", "TOR",
    "TOT", "TP1", "TP2", "TP3", "TP4", "TPA", "TPB", "TRC", "TRD", "TRK", "TSI", "TSS",
    "TT1", "TT2", "TT3", "TXT", "TXX", "TYE", "UFI", "ULT", "WAF", "WAR", "WAS", "WCM",
    "WCP", "WPB", "WXX",
};

const char kStandardFrameIdsV23[][5] = {
    "AENC", "APIC", "COMM", "COMR", "ENCR", "EQUA", "ETCO", "GEOB", "GRID", "IPLS", "LINK",
    "MCDI", "MLLT", "OWNE", "PRIV", "PCNT", "POPM", "POSS", "RBUF", "RVAD", "RVRB", "SYLT",
    "SYTC", "TALB", "TBPM", "TCOM", "TCON", "TCOP", "TDAT", "TDLY", "TENC", "TEXT", "TFLT",
    "TIME", "TIT1", "TIT2", "TIT3", "TKEY", "TLAN", "TLEN", "TMED", "TOAL", "TOFN", "TOLY",
    "TOPE", "TORY", "TOWN", "TPE1", "TPE2", "TPE3", "TPE4", "TPOS", "TPUB", "TRCK", "TRDA",
    "TRSN", "TRSO", "TSIZ", "TSRC", "TSSE", "TYER", "TXXX", "UFID", "USER", "USLT", "WCOM",
    "WCOP", "WOAF", "WOAR", "WOAS", "WORS", "WPAY", "WPUB", "WXXX",
};

const char kStandardFrameIdsV24[][5] = {
    "AENC", "APIC", "ASPI", "COMM", "COMR", "ENCR", "EQU2", "ETCO", "GEOB", "GRID", "LINK",
    "MCDI", "MLLT", "OWNE", "PRIV", "PCNT", "POPM", "POSS", "RBUF", "RVA2", "RVRB", "SEEK",
    "SIGN", "SYLT", "SYTC", "TALB", "TBPM", "TCOM", "TCON", "TCOP", "TDEN", "TDLY", "TDOR",
    "TDRC", "TDRL", "TDTG", "TENC", "TEXT", "TFLT", "TIPL", "TIT1", "TIT2", "TIT3", "TKEY",
    "TLAN", "TLEN", "TMCL", "TMED", "TMOO", "TOAL", "TOFN", "TOLY", "TOPE", "TOWN", "TPE1",
    "TPE2", "TPE3", "TPE4", "TPOS", "TPRO", "TPUB", "TRCK", "TRSN", "TRSO", "TSOA", "TSOP",
    "TSOT", "TSRC", "TSSE", "TSST", "TXXX", "UFID", "USER", "USLT", "WCOM", "WCOP", "WOAF",
    "WOAR", "WOAS", "WORS", "WPAY", "WPUB", "WXXX",
};

// Reads tag bytes through the window. When unsynchronised, a 0x00 right after 0xFF is a
// stuffing byte the writer inserted, and is skipped, so the reader sees the bytes as they were
// before unsynchronisation while position keeps counting bytes on disk.
struct TagStream {
  SourceWindow* window;
  uint64_t position;  // next byte on disk
  uint64_t end;       // one past the last byte this stream may touch
  bool unsynchronised;
  bool readAhead;     // a read fetches what follows up to a window, not just the bytes asked
};

TagStream makeStream(SourceWindow* window, uint64_t position, uint64_t end, bool unsynchronised,
                     bool readAhead) {
  TagStream stream;
  stream.window = window;
  stream.position = position;
  stream.end = end;
  stream.unsynchronised = unsynchronised;
  stream.readAhead = readAhead;
  return stream;
}

// The next `count` bytes on disk, without taking them; null past the stream's end.
const unsigned char* peekBytes(TagStream* stream, size_t count) {
  if (stream->position > stream->end || count > stream->end - stream->position) return nullptr;
  const uint64_t after = stream->end - stream->position - count;
  const size_t ahead = !stream->readAhead ? 0
                       : after < kSourceWindowSize ? static_cast<size_t>(after)
                                                   : kSourceWindowSize;
  return windowBytes(stream->window, stream->position, count, ahead);
}

bool takeByte(TagStream* stream, unsigned char* value) {
  const unsigned char* byte = peekBytes(stream, 1);
  if (byte == nullptr) return false;
  *value = *byte;
  stream->position++;
  if (stream->unsynchronised && *value == 0xFF) {
    const unsigned char* next = peekBytes(stream, 1);
    if (next != nullptr && *next == 0x00) stream->position++;
  }
  return true;
}

bool takeBytes(TagStream* stream, unsigned char* out, size_t count) {
  if (count == 0) return true;
  if (!stream->unsynchronised) {
    const unsigned char* bytes = peekBytes(stream, count);
    if (bytes == nullptr) return false;
    std::memcpy(out, bytes, count);
    stream->position += count;
    return true;
  }
  for (size_t i = 0; i < count; ++i) {
    if (!takeByte(stream, &out[i])) return false;
  }
  return true;
}

bool skipBytes(TagStream* stream, uint64_t count) {
  if (!stream->unsynchronised) {
    if (stream->position > stream->end || count > stream->end - stream->position) return false;
    stream->position += count;
    return true;
  }
  // Each stuffing byte moves the end further; only reading finds where. The stream stops at
  // its end, so this loop is bounded by the tag, not by the hostile count.
  for (uint64_t i = 0; i < count; ++i) {
    unsigned char ignored;
    if (!takeByte(stream, &ignored)) return false;
  }
  return true;
}

bool isSyncsafe(const unsigned char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] & 0x80) return false;
  }
  return true;
}

bool isFrameIdCharacter(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isAsciiLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

enum FrameIdKind { kFrameIdValid, kFrameIdTolerated, kFrameIdInvalid };

// iTunes wrote IDs in lower case and ID3v2.2 IDs with a space added ("COM "). A first letter
// keeps padding, junk and audio bytes out.
FrameIdKind frameIdKind(const unsigned char* id, size_t length) {
  bool valid = true;
  for (size_t i = 0; i < length; ++i) valid = valid && isFrameIdCharacter(id[i]);
  if (valid) return kFrameIdValid;
  if (!isAsciiLetter(id[0])) return kFrameIdInvalid;
  for (size_t i = 1; i < length; ++i) {
    const bool lastSpace = i + 1 == length && id[i] == ' ';
    if (!isAsciiLetter(id[i]) && !(id[i] >= '0' && id[i] <= '9') && !lastSpace) return kFrameIdInvalid;
  }
  return kFrameIdTolerated;
}

template <size_t Count, size_t Width>
bool idInTable(const char (&table)[Count][Width], const unsigned char* id) {
  for (size_t i = 0; i < Count; ++i) {
    if (std::memcmp(table[i], id, Width - 1) == 0) return true;
  }
  return false;
}

bool isStandardFrameId(unsigned char majorVersion, const unsigned char* id) {
  if (majorVersion == 2) return idInTable(kStandardFrameIdsV22, id);
  if (majorVersion == 3) return idInTable(kStandardFrameIdsV23, id);
  return idInTable(kStandardFrameIdsV24, id);
}

// Keeps the first problem only: later ones are often consequences of it.
void noteProblem(Id3v2Layout* layout, Id3v2Problem problem, uint64_t offset) {
  if (layout->problem != Id3v2Problem::None) return;
  layout->problem = problem;
  layout->problemOffset = offset;
}

void noteTolerated(Id3v2Layout* layout, Id3v2Problem problem) {
  if (layout->toleratedProblem == Id3v2Problem::None) layout->toleratedProblem = problem;
}

void noteHazard(Id3v2Layout* layout, uint32_t hazard) {
  layout->id3libHazards |= hazard;
}

// ID3v2.3: a 4-byte size (6 or 10, not counting itself), 2 flag bytes, 4 bytes "size of
// padding", and 4 CRC bytes when flagged. Subject to tag-wide unsynchronisation.
bool readExtendedHeaderV23(TagStream* tag, Id3v2Layout* layout, uint32_t* declaredPadding) {
  const uint64_t start = tag->position;
  unsigned char sizeBytes[4];
  if (!takeBytes(tag, sizeBytes, sizeof sizeBytes)) {
    noteProblem(layout, Id3v2Problem::ExtendedHeaderOverrunsTag, start);
    return false;
  }
  const uint32_t size = bigEndian32(sizeBytes);
  if (size != 6 && size != 10) {
    noteProblem(layout, Id3v2Problem::ExtendedHeaderInvalid, start);
    return false;
  }
  unsigned char body[10];
  if (!takeBytes(tag, body, size)) {
    noteProblem(layout, Id3v2Problem::ExtendedHeaderOverrunsTag, start);
    return false;
  }
  const uint16_t flags = static_cast<uint16_t>((body[0] << 8) | body[1]);
  const bool hasCrc = (flags & kExtendedCrcV23) != 0;
  if ((flags & ~kExtendedCrcV23) != 0 || hasCrc != (size == 10)) {
    noteProblem(layout, Id3v2Problem::ExtendedHeaderInvalid, start);
    return false;
  }
  layout->extendedHeaderHasCrc = hasCrc;
  *declaredPadding = bigEndian32(body + 2);
  layout->extendedHeaderSize = static_cast<size_t>(tag->position - start);
  return true;
}

// ID3v2.4: a syncsafe size counting the whole extended header, one flag-count byte (always
// 1), one flag byte, then for each flag a length byte and its data, in flag order.
bool readExtendedHeaderV24(TagStream* tag, Id3v2Layout* layout) {
  const uint64_t start = tag->position;
  unsigned char head[6];
  if (!takeBytes(tag, head, sizeof head)) {
    noteProblem(layout, Id3v2Problem::ExtendedHeaderOverrunsTag, start);
    return false;
  }
  if (!isSyncsafe(head, 4)) {
    noteProblem(layout, Id3v2Problem::ExtendedHeaderInvalid, start);
    return false;
  }
  const uint32_t size = syncsafe32(head);
  const unsigned char flagByteCount = head[4];
  const unsigned char flags = head[5];
  if (size < 6 || flagByteCount != 1 || (flags & ~kKnownExtendedFlagsV24) != 0) {
    noteProblem(layout, Id3v2Problem::ExtendedHeaderInvalid, start);
    return false;
  }
  if (size > tag->end - start) {
    noteProblem(layout, Id3v2Problem::ExtendedHeaderOverrunsTag, start);
    return false;
  }

  struct FlagData {
    unsigned char flag;
    unsigned char length;
  };
  const FlagData flagData[] = {
      {kExtendedUpdateV24, 0}, {kExtendedCrcV24, 5}, {kExtendedRestrictionsV24, 1}};
  uint32_t consumed = 6;
  for (const FlagData& entry : flagData) {
    if ((flags & entry.flag) == 0) continue;
    unsigned char data[6];
    if (!takeBytes(tag, data, 1u + entry.length)) {
      noteProblem(layout, Id3v2Problem::ExtendedHeaderOverrunsTag, start);
      return false;
    }
    if (data[0] != entry.length) {
      noteProblem(layout, Id3v2Problem::ExtendedHeaderInvalid, start);
      return false;
    }
    // The CRC is a 35-bit syncsafe number: five 7-bit bytes, the top four bits zero.
    if (entry.flag == kExtendedCrcV24 && (!isSyncsafe(data + 1, 5) || data[1] > 0x0F)) {
      noteProblem(layout, Id3v2Problem::ExtendedHeaderInvalid, start);
      return false;
    }
    consumed += 1u + entry.length;
  }
  if (consumed != size) {
    noteProblem(layout, Id3v2Problem::ExtendedHeaderInvalid, start);
    return false;
  }
  layout->extendedHeaderHasCrc = (flags & kExtendedCrcV24) != 0;
  layout->extendedHeaderSize = static_cast<size_t>(tag->position - start);
  return true;
}

// Reads a POPM body (owner text, NUL, rating, optional counter) from data start to the end
// of the frame. Returns false when there is no NUL-terminated owner or no rating byte.
bool readPopmBody(TagStream body, Id3v2Layout* layout, bool addressable) {
  const uint64_t ownerOffset = body.position;
  size_t ownerLength = 0;
  unsigned char byte = 0;
  bool terminated = false;
  while (takeByte(&body, &byte)) {
    if (byte == 0x00) {
      terminated = true;
      break;
    }
    ++ownerLength;
  }
  if (!terminated) return false;
  const uint64_t ratingOffset = body.position;
  unsigned char rating = 0;
  if (!takeByte(&body, &rating)) return false;
  size_t counterSize = 0;
  if (body.unsynchronised) {
    while (takeByte(&body, &byte)) ++counterSize;
  } else {
    counterSize = static_cast<size_t>(body.end - body.position);  // counted, not read
  }

  layout->popmRatingKnown = true;
  layout->popmRating = rating;
  layout->popmCounterSize = counterSize;
  if (addressable) {
    layout->popmRatingOffset = ratingOffset;
    layout->popmOwnerOffset = ownerOffset;
    layout->popmOwnerLength = ownerLength;
  }
  return true;
}

// The most bytes a compressed POPM body may inflate to: an owner and a counter, far less.
const uint64_t kMaxInflatedPopm = 1024 * 1024;

// A compressed POPM body (zlib), from `body` (after the flag extras). The whole stream must
// inflate, as mutagen inflates it, through small buffers: a crafted frame costs no more
// than its size on disk and the bound above. Rating only: nothing of it is addressable.
void readCompressedPopm(TagStream body, Id3v2Layout* layout) {
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  if (inflateInit(&stream) != Z_OK) return;
  unsigned char in[512];
  unsigned char out[512];
  bool ownerEnded = false;
  bool ratingFound = false;
  unsigned char rating = 0;
  uint64_t inflated = 0;
  int status = Z_OK;
  while (status == Z_OK && inflated <= kMaxInflatedPopm) {
    if (stream.avail_in == 0) {
      size_t count = 0;
      while (count < sizeof in && takeByte(&body, &in[count])) ++count;
      if (count == 0) break;  // the frame ended before the stream did
      stream.next_in = in;
      stream.avail_in = static_cast<uInt>(count);
    }
    stream.next_out = out;
    stream.avail_out = sizeof out;
    status = inflate(&stream, Z_NO_FLUSH);
    const size_t got = sizeof out - stream.avail_out;
    for (size_t i = 0; i < got && !ratingFound; ++i) {
      if (ownerEnded) {
        rating = out[i];
        ratingFound = true;
      } else if (out[i] == 0x00) {
        ownerEnded = true;
      }
    }
    inflated += got;
  }
  inflateEnd(&stream);
  if (status != Z_STREAM_END || !ratingFound) return;
  layout->popmRatingKnown = true;
  layout->popmRating = rating;
}

// One frame header as read, with the body's place on disk.
struct FrameRecord {
  unsigned char id[4];
  uint64_t declaredSize;  // the size field: bytes after unsynchronisation in ID3v2.2/2.3
  uint16_t flags;
  uint64_t frameOffset;
  uint64_t bodyOffset;
  uint64_t frameEnd;
  bool tagUnsynchronised;  // ID3v2.2/2.3 tag-wide unsynchronisation covers this frame
};

// Checks one frame's flags and extras, notes id3lib hazards and reads POPM frames. Only the
// extras and a POPM body are read; any other body is left where it lies.
void examineFrame(SourceWindow* window, const FrameRecord& frame, Id3v2Layout* layout) {
  const unsigned char version = layout->majorVersion;
  const bool isPopm = version == 2 ? std::memcmp(frame.id, "POP", 3) == 0
                                   : std::memcmp(frame.id, "POPM", 4) == 0;

  if (!isStandardFrameId(version, frame.id)) noteHazard(layout, kId3libHazardUnknownFrameId);
  if (version == 2 && std::memcmp(frame.id, "CDM", 3) == 0) {
    noteHazard(layout, kId3libHazardCompressedMetaFrame);
  }

  bool compressed = false;
  bool encrypted = false;
  bool grouped = false;
  bool frameUnsynchronised = false;
  bool hasDataLength = false;
  // Flagged as unsynchronised, but read as stored: only a tag made anew may clear the flag.
  bool contradicted = version < 4 && layout->unsynchronised && !frame.tagUnsynchronised;
  if (version == 3) {
    if (frame.flags & ~kKnownFrameFlagsV23) {
      noteProblem(layout, Id3v2Problem::UnknownFrameFlags, frame.frameOffset);
    }
    compressed = (frame.flags & kFrameCompressedV23) != 0;
    encrypted = (frame.flags & kFrameEncryptedV23) != 0;
    grouped = (frame.flags & kFrameGroupedV23) != 0;
  } else if (version == 4) {
    if (frame.flags & ~kKnownFrameFlagsV24) {
      noteProblem(layout, Id3v2Problem::UnknownFrameFlags, frame.frameOffset);
    }
    grouped = (frame.flags & kFrameGroupedV24) != 0;
    compressed = (frame.flags & kFrameCompressedV24) != 0;
    encrypted = (frame.flags & kFrameEncryptedV24) != 0;
    hasDataLength = (frame.flags & kFrameDataLengthV24) != 0;
    // The tag-wide flag in ID3v2.4 says every frame is unsynchronised; writers disagree
    // about whether they also set each frame's flag, so either one counts.
    frameUnsynchronised = (frame.flags & kFrameUnsynchronisedV24) != 0 || layout->unsynchronised;
    // Whether the bytes allow the flag takes the whole body: only a POPM body, which is read
    // anyway, is checked (another body may be a picture of megabytes; the editor checks those).
    if (frameUnsynchronised && isPopm) {
      // mutagen takes the data-length indicator off before it decodes the rest.
      const uint64_t dataStart = frame.bodyOffset + ((compressed || hasDataLength) ? 4 : 0);
      UnsynchronisationCheck check = {false, false, false};
      if (dataStart <= frame.frameEnd && checkUnsynchronisationOnDisk(window, dataStart, frame.frameEnd, &check) &&
          !unsynchronisationHolds(check)) {
        frameUnsynchronised = false;
        contradicted = true;
      }
    }
    if (compressed && !hasDataLength) {
      noteProblem(layout, Id3v2Problem::CompressedFrameWithoutDataLength, frame.frameOffset);
    }
  }
  const bool bodyUnsynchronised = frame.tagUnsynchronised || frameUnsynchronised;

  // Extra bytes in front of the data, in the order each version puts them.
  const uint64_t extraSize = (version == 3 ? (compressed ? 4u : 0u) : (hasDataLength ? 4u : 0u)) +
                             (encrypted ? 1u : 0u) + (grouped ? 1u : 0u);
  if ((encrypted || grouped) && frame.declaredSize <= extraSize) {
    noteHazard(layout, kId3libHazardEmptyEncryptedOrGroupedFrame);
  }

  TagStream body = makeStream(window, frame.bodyOffset, frame.frameEnd, bodyUnsynchronised, isPopm);
  unsigned char extras[6] = {0, 0, 0, 0, 0, 0};
  const bool extrasRead = takeBytes(&body, extras, static_cast<size_t>(extraSize));
  if (!extrasRead || frame.declaredSize < extraSize) {
    noteProblem(layout, Id3v2Problem::FrameTooShortForFlags, frame.frameOffset);
  }

  // The data-length indicator is the last extra, after any group and encryption bytes.
  const unsigned char* dataLength = extras + (grouped ? 1 : 0) + (encrypted ? 1 : 0);
  if (extrasRead && hasDataLength && !isSyncsafe(dataLength, 4)) {
    noteProblem(layout, Id3v2Problem::DataLengthNotSyncsafe, frame.frameOffset);
  }
  // ID3v2.3 puts the decompressed size first among the extras; ID3v2.4 uses the indicator.
  const bool decompressedSizeKnown = extrasRead && compressed && (version == 3 || hasDataLength);
  if (decompressedSizeKnown) {
    const uint64_t decompressedSize = version == 3 ? bigEndian32(extras) : syncsafe32(dataLength);
    const uint64_t compressedSize =
        frame.declaredSize > extraSize ? frame.declaredSize - extraSize : 0;
    if (decompressedSize > kId3libMaxDecompressedSize ||
        decompressedSize > kId3libMaxExpansion * compressedSize) {
      noteHazard(layout, kId3libHazardDecompressionBomb);
    }
  }

  if (!isPopm) return;
  const bool readable = extrasRead && !compressed && !encrypted;
  bool broken = false;
  if (extrasRead && compressed && !encrypted && !layout->popmFound) readCompressedPopm(body, layout);
  if (readable) {
    const bool addressable = !bodyUnsynchronised && !contradicted;
    if (layout->popmFound) {
      // Later POPM frames are only checked, never reported.
      Id3v2Layout scratch;
      std::memset(&scratch, 0, sizeof scratch);
      broken = !readPopmBody(body, &scratch, addressable);
    } else {
      broken = !readPopmBody(body, layout, addressable);
    }
    if (broken) noteProblem(layout, Id3v2Problem::PopmBroken, frame.frameOffset);
  }
  if (layout->popmFound) return;
  layout->popmFound = true;
  layout->popmFrameOffset = frame.frameOffset;
  layout->popmFrameSize = static_cast<size_t>(frame.frameEnd - frame.frameOffset);
  layout->popmBodyOffset = frame.bodyOffset;
  layout->popmBodySize = static_cast<size_t>(frame.frameEnd - frame.bodyOffset);
  layout->popmFrameFlags = frame.flags;
  layout->popmCompressed = compressed;
  layout->popmEncrypted = encrypted;
  layout->popmUnsynchronised = bodyUnsynchronised;
  layout->popmGrouped = grouped;
  layout->popmHasDataLength = hasDataLength;
  layout->popmBroken = broken;
}

// How a walk of the frames ended.
enum WalkEnd {
  kWalkBroken,        // a frame header or size that this reading does not explain
  kWalkZeroPadding,   // at the end of the frame area, or at padding of zero bytes only
  kWalkOtherPadding,  // at a zero byte where a frame would start, with other bytes after it
};

struct FrameWalk {
  bool plainSizes;     // ID3v2.4 frame sizes read as plain integers
  // Set when the tag claims more than the file has: it ends with its zero bytes, where the
  // file's audio starts.
  AudioStartsAt audioAfterClaim;
  bool sizesDiffer;    // a size was read that the other ID3v2.4 reading reads otherwise
};

// The first byte from `from` on that is not zero, or `end`, read a window at a time. False
// when a read failed (the window notes it).
bool findZeroRunEnd(SourceWindow* window, uint64_t from, uint64_t end, uint64_t* runEnd) {
  for (uint64_t at = from; at < end;) {
    const size_t piece = end - at < kSourceWindowSize ? static_cast<size_t>(end - at) : kSourceWindowSize;
    const unsigned char* bytes = windowBytes(window, at, piece, 0);
    if (bytes == nullptr) return false;
    for (size_t i = 0; i < piece; ++i) {
      if (bytes[i] != 0x00) {
        *runEnd = at + i;
        return true;
      }
    }
    at += piece;
  }
  *runEnd = end;
  return true;
}

// The frames ended at `from`, where a zero byte stands.
WalkEnd walkPadding(SourceWindow* window, uint64_t from, uint64_t end, const FrameWalk& walk,
                    Id3v2Layout* layout) {
  layout->framesEnd = from;
  uint64_t runEnd = end;
  if (!findZeroRunEnd(window, from, end, &runEnd)) return kWalkBroken;
  // The tag claims bytes the file lacks: only audio right after the zero bytes says where
  // the tag really ends. A file that ends first was cut short.
  if (walk.audioAfterClaim && !walk.audioAfterClaim(window->source, runEnd)) return kWalkBroken;
  if (runEnd != end && !walk.audioAfterClaim) {
    noteTolerated(layout, Id3v2Problem::PaddingNotZero);
    return kWalkOtherPadding;
  }
  layout->paddingOffset = from;
  layout->paddingSize = static_cast<size_t>(runEnd - from);
  return kWalkZeroPadding;
}

// Walks the frames from tag->position to tag->end (the end of the frame area), then what
// follows the last frame.
WalkEnd walkFrames(SourceWindow* window, TagStream* tag, FrameWalk* walk, Id3v2Layout* layout) {
  const unsigned char version = layout->majorVersion;
  const size_t idLength = version == 2 ? 3 : 4;
  const size_t headerSize = version == 2 ? 6 : 10;
  while (tag->position < tag->end) {
    const uint64_t frameOffset = tag->position;
    layout->framesEnd = frameOffset;
    // A frame header is read on its own, so that the body after it (a cover picture) is not.
    // Taggers write far fewer frames than kFramesReadOneByOne; in a tag of many tiny frames
    // a read of a window saves a read per frame. An unsynchronised tag is read whole anyway.
    tag->readAhead = tag->unsynchronised || layout->frameCount >= kFramesReadOneByOne;
    const uint64_t left = tag->end - frameOffset;
    const unsigned char* first = peekBytes(tag, left < headerSize ? static_cast<size_t>(left) : headerSize);
    if (first == nullptr) return kWalkBroken;  // the window notes the failed read
    // No frame ID starts with a zero byte, so one marks the start of the padding.
    if (first[0] == 0x00) return walkPadding(window, frameOffset, tag->end, *walk, layout);

    unsigned char header[10];
    if (!takeBytes(tag, header, headerSize)) {
      noteProblem(layout, Id3v2Problem::FrameHeaderTruncated, frameOffset);
      return kWalkBroken;
    }
    const FrameIdKind idKind = frameIdKind(header, idLength);
    if (idKind == kFrameIdInvalid) {
      // Audio right after the frames of a tag that claims more than the file has.
      if (walk->audioAfterClaim && walk->audioAfterClaim(window->source, frameOffset))
        return kWalkZeroPadding;
      noteProblem(layout, Id3v2Problem::InvalidFrameId, frameOffset);
      return kWalkBroken;
    }
    if (idKind == kFrameIdTolerated) noteTolerated(layout, Id3v2Problem::InvalidFrameId);

    FrameRecord frame;
    std::memset(&frame, 0, sizeof frame);
    std::memcpy(frame.id, header, idLength);
    if (version == 2) {
      frame.declaredSize = bigEndian24(header + 3);
    } else if (version == 3) {
      frame.declaredSize = bigEndian32(header + 4);
      frame.flags = static_cast<uint16_t>((header[8] << 8) | header[9]);
    } else {
      if (walk->plainSizes) {
        frame.declaredSize = bigEndian32(header + 4);
      } else if (!isSyncsafe(header + 4, 4)) {
        noteProblem(layout, Id3v2Problem::FrameSizeNotSyncsafe, frameOffset);
        return kWalkBroken;
      } else {
        frame.declaredSize = syncsafe32(header + 4);
      }
      // Below 0x80 both readings agree.
      if (frame.declaredSize >= 0x80) walk->sizesDiffer = true;
      frame.flags = static_cast<uint16_t>((header[8] << 8) | header[9]);
    }
    // The next frame's place is still certain, unless four bytes of junk make up the frame.
    if (frame.declaredSize == 0 && idKind == kFrameIdTolerated) {
      noteProblem(layout, Id3v2Problem::InvalidFrameId, frameOffset);
      return kWalkBroken;
    }
    if (frame.declaredSize == 0) noteTolerated(layout, Id3v2Problem::EmptyFrame);
    layout->walkFingerprint =
        foldWalkFingerprint(layout->walkFingerprint, header, idLength, frame.declaredSize, frame.flags);
    frame.frameOffset = frameOffset;
    frame.bodyOffset = tag->position;
    frame.tagUnsynchronised = tag->unsynchronised;
    if (!skipBytes(tag, frame.declaredSize)) {
      noteProblem(layout, Id3v2Problem::FrameOverrunsTag, frameOffset);
      return kWalkBroken;
    }
    frame.frameEnd = tag->position;
    layout->frameCount++;
    examineFrame(window, frame, layout);
  }
  layout->framesEnd = tag->position;
  // A file that ends with the last frame of a tag claiming more was cut short.
  return walk->audioAfterClaim ? kWalkBroken : kWalkZeroPadding;
}

// Walks the frames from `start`. An ID3v2.4 tag is walked a second time with plain sizes
// unless the syncsafe reading ends in zero padding or reads every size as the plain one
// would; the layout of the reading that explains the tag is kept (see id3v2_reader.h), and
// where both end at a zero byte with other bytes after it, the plain one when mutagen
// guesses plain sizes too.
WalkEnd walkTagFrames(SourceWindow* window, const TagStream& start, AudioStartsAt audioAfterClaim,
                      Id3v2Layout* layout) {
  const Id3v2Layout before = *layout;
  TagStream tag = start;
  FrameWalk syncsafeWalk = {false, audioAfterClaim, false};
  const WalkEnd syncsafeEnd = walkFrames(window, &tag, &syncsafeWalk, layout);
  if (layout->majorVersion != 4 || syncsafeEnd == kWalkZeroPadding ||
      (syncsafeEnd == kWalkOtherPadding && !syncsafeWalk.sizesDiffer)) {
    return syncsafeEnd;
  }
  Id3v2Layout plain = before;
  noteTolerated(&plain, Id3v2Problem::FrameSizeNotSyncsafe);
  plain.frameSizesPlain = true;
  tag = start;
  FrameWalk plainWalk = {true, audioAfterClaim, false};
  const WalkEnd plainEnd = walkFrames(window, &tag, &plainWalk, &plain);
  if (plainEnd == kWalkZeroPadding || (plainEnd == kWalkOtherPadding && syncsafeEnd == kWalkBroken)) {
    *layout = plain;
    return plainEnd;
  }
  if (syncsafeEnd == kWalkOtherPadding && plainEnd == kWalkOtherPadding) {
    // Each reading ends at a zero byte with other bytes after it: the one mutagen guesses
    // counts. Which byte the syncsafe reading takes for the start of its padding may be the
    // rating byte of the plain one, so a rating of 0 must not make the tag unreadable.
    ByteSource tagOnly = window->source;  // nothing after the tag is read
    if (tagOnly.size > start.end) tagOnly.size = start.end;
    if (walkLikeMutagen(tagOnly, tagOnly.size).plainSizes) {
      *layout = plain;
      return plainEnd;
    }
    noteProblem(layout, Id3v2Problem::PaddingNotZero, layout->framesEnd);
  }
  return syncsafeEnd;
}

// Header checks; false when the rest of the tag cannot be located. `header` receives the
// first bytes of the file; *claimPastFile tells a tag that claims more than the file has, which
// only a caller who knows where the audio starts lets pass.
bool readTagHeader(SourceWindow* window, unsigned char (&header)[kTagHeaderSize], AudioStartsAt audioStartsAt,
                   Id3v2Layout* layout, bool* claimPastFile) {
  const uint64_t fileSize = window->source.size;
  const size_t available = readSourceAt(window->source, 0, header, sizeof header);
  const unsigned char* data = header;
  if (available < 3 || std::memcmp(data, "ID3", 3) != 0) {
    noteProblem(layout, Id3v2Problem::NoTag, 0);
    return false;
  }
  layout->present = true;
  if (available < kTagHeaderSize) {
    noteProblem(layout, Id3v2Problem::HeaderTruncated, 0);
    return false;
  }
  layout->majorVersion = data[3];
  layout->revision = data[4];
  layout->headerFlags = data[5];
  const unsigned char version = data[3];
  const unsigned char flags = data[5];
  if (version < 2 || version > 4) {
    noteProblem(layout, Id3v2Problem::UnsupportedVersion, 3);
    return false;
  }
  if (data[4] == 0xFF) {
    noteProblem(layout, Id3v2Problem::BadRevision, 4);
    return false;
  }
  if (!isSyncsafe(data + 6, 4)) {
    noteProblem(layout, Id3v2Problem::SizeNotSyncsafe, 6);
    return false;
  }

  layout->unsynchronised = (flags & kHeaderUnsynchronisation) != 0;
  if (version >= 3) {
    layout->hasExtendedHeader = (flags & kHeaderExtendedHeader) != 0;
    layout->experimental = (flags & kHeaderExperimental) != 0;
  }
  if (version == 4) layout->hasFooter = (flags & kHeaderFooter) != 0;
  layout->tagSize =
      kTagHeaderSize + uint64_t{syncsafe32(data + 6)} + (layout->hasFooter ? kFooterSize : 0);
  layout->declaredTagSize = layout->tagSize;

  const unsigned char knownFlags = version == 2   ? kKnownHeaderFlagsV22
                                   : version == 3 ? kKnownHeaderFlagsV23
                                                  : kKnownHeaderFlagsV24;
  if (flags & ~knownFlags) {
    noteProblem(layout, Id3v2Problem::UnknownHeaderFlags, 5);
    return false;
  }
  if (version == 2 && (flags & kHeaderCompressionV22)) {
    noteProblem(layout, Id3v2Problem::CompressedTag, 5);
    return false;
  }
  if (layout->tagSize > fileSize) {
    // The frames may still end inside the file (walkPadding). Not with a footer, whose place
    // is then unknown, nor with stuffing bytes that hide where a run of zero bytes ends.
    if (layout->hasFooter || layout->unsynchronised || audioStartsAt == nullptr) {
      noteProblem(layout, Id3v2Problem::TagLargerThanFile, 6);
      return false;
    }
    noteTolerated(layout, Id3v2Problem::TagLargerThanFile);
    *claimPastFile = true;
  }
  // The last byte of the tag (or of the file) tells whether the file can be read that far.
  const uint64_t end = *claimPastFile ? fileSize : layout->tagSize;
  if (windowBytes(window, end - 1, 1, 0) == nullptr) {
    noteProblem(layout, Id3v2Problem::TagNotFullyRead, 6);
    return false;
  }
  return true;
}

// Whether the ID3v2.2/2.3 tag-wide unsynchronisation flag holds. mutagen decodes the
// `size` bytes that follow the header and the extended header, which it reads as stored;
// when they contradict the flag it reads every frame as stored, and so does this reader.
// *stuffed tells that decoding changes the bytes.
bool tagUnsynchronisationHolds(SourceWindow* window, const unsigned char* header, Id3v2Layout* layout,
                               bool* stuffed) {
  uint64_t start = kTagHeaderSize;
  if (layout->hasExtendedHeader) {
    const unsigned char* sizeBytes = windowBytes(window, kTagHeaderSize, 4, 0);
    if (sizeBytes == nullptr) return true;  // the walk notes what cannot be read
    const uint64_t extendedSize = 4 + uint64_t{bigEndian32(sizeBytes)};
    // A stuffing byte in it (or right after it) is dropped here and kept by mutagen: the
    // frames would start elsewhere for the two.
    UnsynchronisationCheck extended = {false, false, false};
    const uint64_t checked = extendedSize < 16 ? extendedSize + 1 : 16;
    checkUnsynchronisationOnDisk(window, kTagHeaderSize, kTagHeaderSize + checked, &extended);
    if (extended.hasStuffing) layout->readingsDisagree = true;
    start += extendedSize;
  }
  const uint64_t fileSize = window->source.size;
  uint64_t end = start + syncsafe32(header + 6);
  if (end > fileSize) end = fileSize;
  UnsynchronisationCheck check = {false, false, false};
  if (start < end && !checkUnsynchronisationOnDisk(window, start, end, &check)) return true;
  *stuffed = check.hasStuffing;
  return unsynchronisationHolds(check);
}

// An unsynchronised ID3v2.2/2.3 tag read as stored, from `start`: when that reading also
// walks to zero padding without doubt and finds other frames, either may be the writer's.
void compareStoredReading(SourceWindow* window, const TagStream& start, const Id3v2Layout& before,
                          Id3v2Layout* layout) {
  Id3v2Layout stored = before;
  TagStream tag = start;
  tag.unsynchronised = false;
  const WalkEnd end = walkTagFrames(window, tag, nullptr, &stored);
  const bool sound = end == kWalkZeroPadding && stored.problem == Id3v2Problem::None &&
                     stored.toleratedProblem == Id3v2Problem::None && stored.frameCount > 0;
  if (sound && (stored.frameCount != layout->frameCount || stored.walkFingerprint != layout->walkFingerprint)) {
    layout->readingsDisagree = true;
  }
}

size_t buildPopmFrame(unsigned char* out, size_t capacity, const char* owner,
                      unsigned char rating, bool syncsafeSize) {
  const size_t ownerLength = owner ? std::strlen(owner) : 0;
  // The largest body a syncsafe size can state; the plain size of ID3v2.3 is kept to the
  // same bound, far above any owner text.
  const uint64_t maximumBodySize = 0x0FFFFFFF;
  const uint64_t bodySize = uint64_t{ownerLength} + 2;
  if (bodySize > maximumBodySize) return 0;
  const uint64_t frameSize = 10 + bodySize;
  if (out == nullptr || frameSize > capacity) return 0;

  std::memcpy(out, "POPM", 4);
  if (syncsafeSize) {
    writeSyncsafe32(out + 4, static_cast<uint32_t>(bodySize));
  } else {
    writeBigEndian32(out + 4, static_cast<uint32_t>(bodySize));
  }
  out[8] = 0;
  out[9] = 0;
  if (ownerLength > 0) std::memcpy(out + 10, owner, ownerLength);
  out[10 + ownerLength] = 0x00;
  out[11 + ownerLength] = rating;
  return static_cast<size_t>(frameSize);
}

}  // namespace

bool parseId3v2Tag(const ByteSource& file, AudioStartsAt audioStartsAt, Id3v2Layout* layout) {
  if (layout == nullptr) return false;
  std::memset(layout, 0, sizeof *layout);
  layout->problem = Id3v2Problem::None;
  layout->toleratedProblem = Id3v2Problem::None;
  SourceWindow window;
  openWindow(&window, file);
  unsigned char header[kTagHeaderSize];
  bool claimPastFile = false;
  if (!readTagHeader(&window, header, audioStartsAt, layout, &claimPastFile)) return false;

  const unsigned char version = layout->majorVersion;
  // A tag that claims more than the file has is walked up to the file's end.
  const uint64_t frameAreaEnd = claimPastFile ? file.size : kTagHeaderSize + uint64_t{syncsafe32(header + 6)};
  // In ID3v2.2 and ID3v2.3 the unsynchronisation flag covers everything after the header;
  // in ID3v2.4 it is a property of each frame instead.
  bool stuffed = false;
  const bool tagWideUnsynchronisation = layout->unsynchronised && version < 4 &&
                                        tagUnsynchronisationHolds(&window, header, layout, &stuffed);
  layout->tagUnsynchronisationDecoded = tagWideUnsynchronisation;
  layout->walkFingerprint = kWalkFingerprintStart;
  TagStream tag = makeStream(&window, kTagHeaderSize, frameAreaEnd, tagWideUnsynchronisation, false);

  uint32_t declaredPaddingV23 = 0;
  bool framesRead = true;
  if (layout->hasExtendedHeader) {
    framesRead = version == 3 ? readExtendedHeaderV23(&tag, layout, &declaredPaddingV23)
                              : readExtendedHeaderV24(&tag, layout);
  }
  if (framesRead) {
    layout->framesOffset = tag.position;
    const Id3v2Layout beforeWalk = *layout;
    const WalkEnd walkEnd = walkTagFrames(&window, tag, claimPastFile ? audioStartsAt : nullptr, layout);
    if (stuffed && walkEnd == kWalkZeroPadding) compareStoredReading(&window, tag, beforeWalk, layout);
    uint64_t areaEnd = frameAreaEnd;
    if (claimPastFile && walkEnd == kWalkBroken) {
      // Frames that do not end inside the file, or no audio after them: the claim stands,
      // and nothing found on the way counts.
      *layout = beforeWalk;
      noteProblem(layout, Id3v2Problem::TagLargerThanFile, 6);
    } else if (claimPastFile) {
      areaEnd = layout->framesEnd + layout->paddingSize;
      layout->tagSize = areaEnd;
    }

    if (version == 3 && layout->hasExtendedHeader && declaredPaddingV23 != areaEnd - layout->framesEnd) {
      noteProblem(layout, Id3v2Problem::ExtendedHeaderPaddingMismatch, kTagHeaderSize);
    }
    if (layout->hasFooter) {
      const unsigned char* footer = windowBytes(&window, frameAreaEnd, kFooterSize, 0);
      if (footer != nullptr &&
          (std::memcmp(footer, "3DI", 3) != 0 || std::memcmp(footer + 3, header + 3, 7) != 0)) {
        noteProblem(layout, Id3v2Problem::FooterMismatch, frameAreaEnd);
      }
    }
  }
  // A read that came up short inside the file (the file changed, or a disk error) leaves
  // nothing above to rely on.
  if (window.readFailed) {
    layout->problem = Id3v2Problem::None;
    noteProblem(layout, Id3v2Problem::TagNotFullyRead, 6);
  }

  layout->wellFormed = layout->problem == Id3v2Problem::None;
  layout->tolerated = layout->wellFormed && layout->toleratedProblem != Id3v2Problem::None;
  if (layout->tolerated) noteHazard(layout, kId3libHazardToleratedTag);
  layout->id3libWouldMisrender = layout->id3libHazards != 0;
  return layout->wellFormed;
}

size_t id3v2BytesNeeded(const unsigned char* header10) {
  if (header10 == nullptr || std::memcmp(header10, "ID3", 3) != 0) return 0;
  if (header10[3] == 0xFF || header10[4] == 0xFF || !isSyncsafe(header10 + 6, 4)) return 0;
  size_t total = kTagHeaderSize + syncsafe32(header10 + 6);
  if (header10[3] == 4 && (header10[5] & kHeaderFooter)) total += kFooterSize;
  return total;
}

size_t buildPopmFrameV24(unsigned char* out, size_t capacity, const char* owner,
                         unsigned char rating) {
  return buildPopmFrame(out, capacity, owner, rating, true);
}

size_t buildPopmFrameV23(unsigned char* out, size_t capacity, const char* owner,
                         unsigned char rating) {
  return buildPopmFrame(out, capacity, owner, rating, false);
}

const char* id3v2ProblemName(Id3v2Problem problem) {
  switch (problem) {
    case Id3v2Problem::None: return "None";
    case Id3v2Problem::NoTag: return "NoTag";
    case Id3v2Problem::HeaderTruncated: return "HeaderTruncated";
    case Id3v2Problem::UnsupportedVersion: return "UnsupportedVersion";
    case Id3v2Problem::BadRevision: return "BadRevision";
    case Id3v2Problem::SizeNotSyncsafe: return "SizeNotSyncsafe";
    case Id3v2Problem::UnknownHeaderFlags: return "UnknownHeaderFlags";
    case Id3v2Problem::CompressedTag: return "CompressedTag";
    case Id3v2Problem::TagLargerThanFile: return "TagLargerThanFile";
    case Id3v2Problem::TagNotFullyRead: return "TagNotFullyRead";
    case Id3v2Problem::ExtendedHeaderInvalid: return "ExtendedHeaderInvalid";
    case Id3v2Problem::ExtendedHeaderOverrunsTag: return "ExtendedHeaderOverrunsTag";
    case Id3v2Problem::ExtendedHeaderPaddingMismatch: return "ExtendedHeaderPaddingMismatch";
    case Id3v2Problem::FrameHeaderTruncated: return "FrameHeaderTruncated";
    case Id3v2Problem::InvalidFrameId: return "InvalidFrameId";
    case Id3v2Problem::FrameSizeNotSyncsafe: return "FrameSizeNotSyncsafe";
    case Id3v2Problem::EmptyFrame: return "EmptyFrame";
    case Id3v2Problem::FrameOverrunsTag: return "FrameOverrunsTag";
    case Id3v2Problem::UnknownFrameFlags: return "UnknownFrameFlags";
    case Id3v2Problem::FrameTooShortForFlags: return "FrameTooShortForFlags";
    case Id3v2Problem::CompressedFrameWithoutDataLength: return "CompressedFrameWithoutDataLength";
    case Id3v2Problem::DataLengthNotSyncsafe: return "DataLengthNotSyncsafe";
    case Id3v2Problem::PaddingNotZero: return "PaddingNotZero";
    case Id3v2Problem::FooterMismatch: return "FooterMismatch";
    case Id3v2Problem::PopmBroken: return "PopmBroken";
  }
  return "Unknown";
}
