// SPDX-License-Identifier: LGPL-2.1-or-later
// The check of the tag id3lib renders; see id3lib_render_check.h.
#include "rating/mp3/id3lib_render_check.h"

#include <cstring>

#include "rating/bytes/memory_source.h"
#include "rating/bytes/source_window.h"
#include "rating/id3v2/id3v2_format.h"
#include "rating/id3v2/id3v2_reader.h"
#include "rating/mp3/write_guard.h"

namespace {

// The most play-counter bytes accepted in the frame id3lib renders.
const size_t kMaxCounterBytes = 8;

// `count` bytes of one file from aOffset against another's from bOffset, a window at a time.
bool sameBytes(SourceWindow* a, uint64_t aOffset, SourceWindow* b, uint64_t bOffset, uint64_t count) {
  for (uint64_t done = 0; done < count;) {
    const size_t piece =
        count - done < kSourceWindowSize ? static_cast<size_t>(count - done) : kSourceWindowSize;
    const unsigned char* x = windowBytes(a, aOffset + done, piece, kSourceWindowSize);
    const unsigned char* y = windowBytes(b, bOffset + done, piece, kSourceWindowSize);
    if (x == nullptr || y == nullptr || std::memcmp(x, y, piece) != 0) return false;
    done += piece;
  }
  return true;
}

// Walks the frames of a well-formed ID3v2.3 tag without unsynchronisation (the reader
// has checked every size), from `position` to `end`, through a window of its own.
struct FrameCursor {
  SourceWindow* window;
  uint64_t position;
  uint64_t end;
};

struct FrameV23 {
  unsigned char id[4];
  uint16_t flags;
  uint64_t body;  // file offset
  uint64_t bodySize;
};

bool nextFrameV23(FrameCursor* cursor, FrameV23* frame) {
  if (cursor->position > cursor->end || cursor->end - cursor->position < 10) return false;
  const unsigned char* header = windowBytes(cursor->window, cursor->position, 10, kSourceWindowSize);
  if (header == nullptr) return false;
  const uint64_t bodySize = bigEndian32(header + 4);
  if (bodySize > cursor->end - cursor->position - 10) return false;
  std::memcpy(frame->id, header, 4);
  frame->flags = static_cast<uint16_t>((header[8] << 8) | header[9]);
  frame->body = cursor->position + 10;
  frame->bodySize = bodySize;
  cursor->position += 10 + bodySize;
  return true;
}

// The frame id3lib renders for us: POPM, no flags, our owner, the rating and a play counter
// of zeros.
bool isId3libPopmFrame(SourceWindow* window, const FrameV23& frame, unsigned char rating) {
  const size_t ownerLength = sizeof kPluginPopmOwner - 1;
  if (std::memcmp(frame.id, "POPM", 4) != 0 || frame.flags != 0) return false;
  if (frame.bodySize < ownerLength + 2 || frame.bodySize - ownerLength - 2 > kMaxCounterBytes) return false;
  const size_t bodySize = static_cast<size_t>(frame.bodySize);
  const unsigned char* body = windowBytes(window, frame.body, bodySize, 0);
  if (body == nullptr || std::memcmp(body, kPluginPopmOwner, ownerLength) != 0 || body[ownerLength] != 0x00 ||
      body[ownerLength + 1] != rating) {
    return false;
  }
  for (size_t i = ownerLength + 2; i < bodySize; ++i) {
    if (body[i] != 0x00) return false;
  }
  return true;
}

// A tag as id3lib renders it: ID3v2.3, well-formed, no unsynchronisation, no extended header.
bool isPlainV23Tag(const ByteSource& file, Id3v2Layout* layout) {
  return parseMp3Tag(file, layout) && layout->majorVersion == 3 && !layout->unsynchronised &&
         !layout->hasExtendedHeader && layout->id3libHazards == 0;
}

// Frames whose body starts with a text encoding byte.
bool hasTextEncoding(const unsigned char* id) {
  const char* const ids[] = {"WXXX", "COMM", "USLT", "APIC", "GEOB", "SYLT", "USER", "OWNE", "COMR", "IPLS"};
  if (id[0] == 'T') return true;
  for (const char* known : ids) {
    if (std::memcmp(id, known, 4) == 0) return true;
  }
  return false;
}

bool isEmptyWithBom(const unsigned char* bytes, size_t size) {
  if (size < 4 || bytes[2] != 0x00 || bytes[3] != 0x00) return false;
  return (bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF);
}

// id3lib writes an empty UTF-16 string without its byte order mark: the bodies are the
// same when they differ only where `before` holds BOM + NUL NUL and `after` NUL NUL.
bool sameTextExceptEmptyBoms(SourceWindow* a, const FrameV23& before, SourceWindow* b,
                             const FrameV23& after) {
  uint64_t i = 0;
  uint64_t j = 0;
  while (i < before.bodySize && j < after.bodySize) {
    const size_t beforeLeft = before.bodySize - i < 4 ? static_cast<size_t>(before.bodySize - i) : 4;
    const size_t afterLeft = after.bodySize - j < 2 ? static_cast<size_t>(after.bodySize - j) : 2;
    const unsigned char* x = windowBytes(a, before.body + i, beforeLeft, kSourceWindowSize);
    const unsigned char* y = windowBytes(b, after.body + j, afterLeft, kSourceWindowSize);
    if (x == nullptr || y == nullptr) return false;
    if (x[0] == y[0]) {
      ++i;
      ++j;
    } else if (isEmptyWithBom(x, beforeLeft) && afterLeft == 2 && y[0] == 0x00 && y[1] == 0x00) {
      i += 4;
      j += 2;
    } else {
      return false;
    }
  }
  return i == before.bodySize && j == after.bodySize;
}

// A frame as id3lib renders it again. The same ID and format flags; the status flags may
// differ in the two preservation bits (id3lib marks TLEN, SYLT and a few others to be
// discarded when the file changes); the same body, except that an empty UTF-16 string may
// lose its byte order mark.
bool sameFrameAfterId3lib(SourceWindow* a, const FrameV23& before, SourceWindow* b, const FrameV23& after) {
  const uint16_t preservationFlags = 0xC000;
  if (std::memcmp(before.id, after.id, 4) != 0) return false;
  if ((before.flags & ~preservationFlags) != (after.flags & ~preservationFlags)) return false;
  if (before.bodySize == after.bodySize && sameBytes(a, before.body, b, after.body, before.bodySize))
    return true;
  if (!hasTextEncoding(before.id) || before.bodySize == 0) return false;
  const unsigned char* encoding = windowBytes(a, before.body, 1, kSourceWindowSize);
  return encoding != nullptr && encoding[0] == 0x01 && sameTextExceptEmptyBoms(a, before, b, after);
}

}  // namespace

bool id3libRenderKeepsTag(const ByteSource& file, int ratingByte, const unsigned char* rendered,
                          size_t renderedSize) {
  RatingWritePlan plan;
  planRatingWrite(file, ratingByte, &plan);
  if (plan.method != kRatingWriteWithId3lib || rendered == nullptr) return false;

  SourceWindow oldWindow;
  openWindow(&oldWindow, file);
  FrameCursor old = {&oldWindow, 0, 0};
  bool oldExperimental = false;
  if (plan.tagSize > 0) {
    Id3v2Layout layout;
    parseMp3Tag(file, &layout);
    old.position = layout.framesOffset;
    old.end = layout.framesEnd;
    oldExperimental = layout.experimental;
  }

  const MemoryBytes renderedBytes = {rendered, renderedSize};
  const ByteSource render = memorySource(&renderedBytes, renderedSize);
  Id3v2Layout layout;
  if (!isPlainV23Tag(render, &layout)) return false;
  if (layout.experimental != oldExperimental || layout.frameCount != plan.frameCount + 1) return false;
  SourceWindow newWindow;
  openWindow(&newWindow, render);
  FrameCursor now = {&newWindow, layout.framesOffset, layout.framesEnd};
  FrameV23 oldFrame;
  FrameV23 newFrame;
  while (nextFrameV23(&old, &oldFrame)) {
    if (!nextFrameV23(&now, &newFrame) || !sameFrameAfterId3lib(&oldWindow, oldFrame, &newWindow, newFrame)) {
      return false;
    }
  }
  // What is left is our frame, the last one.
  if (!nextFrameV23(&now, &newFrame) || now.position != now.end) return false;
  return isId3libPopmFrame(&newWindow, newFrame, static_cast<unsigned char>(ratingByte));
}
