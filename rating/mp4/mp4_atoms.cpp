// SPDX-License-Identifier: LGPL-2.1-or-later
// MP4 atom headers; see mp4_atoms.h.
#include "rating/mp4/mp4_atoms.h"

#include "rating/bytes/source_window.h"

uint32_t bigEndian32Of(const unsigned char* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

uint64_t bigEndian64Of(const unsigned char* bytes) {
  return (uint64_t{bigEndian32Of(bytes)} << 32) | bigEndian32Of(bytes + 4);
}

void putBigEndian32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

void putBigEndian64(unsigned char* out, uint64_t value) {
  putBigEndian32(out, static_cast<uint32_t>(value >> 32));
  putBigEndian32(out + 4, static_cast<uint32_t>(value));
}

bool readBigEndian32(const ByteSource& source, uint64_t at, uint32_t* value) {
  unsigned char bytes[4];
  if (readSourceAt(source, at, bytes, 4) != 4) return false;
  *value = bigEndian32Of(bytes);
  return true;
}

void openAtomWalk(Mp4AtomWalk* walk, const ByteSource& source, uint64_t start, uint64_t end,
                  bool toEndAllowed) {
  walk->source = source;
  walk->next = start;
  walk->end = end;
  walk->toEndAllowed = toEndAllowed;
  walk->malformed = start > end || end > source.size;
}

bool nextAtom(Mp4AtomWalk* walk, Mp4Atom* atom) {
  if (walk->malformed || walk->next == walk->end) return false;
  const uint64_t left = walk->end - walk->next;
  unsigned char header[16];
  if (left < 8 || readSourceAt(walk->source, walk->next, header, 8) != 8) {
    walk->malformed = true;
    return false;
  }
  atom->offset = walk->next;
  atom->type = bigEndian32Of(header + 4);
  atom->headerSize = 8;
  atom->toEnd = false;
  uint64_t size = bigEndian32Of(header);
  if (size == 1) {
    if (left < 16 || readSourceAt(walk->source, walk->next + 8, header + 8, 8) != 8) {
      walk->malformed = true;
      return false;
    }
    size = bigEndian64Of(header + 8);
    atom->headerSize = 16;
  } else if (size == 0) {
    if (!walk->toEndAllowed) {
      walk->malformed = true;
      return false;
    }
    size = left;
    atom->toEnd = true;
  }
  if (size < atom->headerSize || size > left) {
    walk->malformed = true;
    return false;
  }
  atom->size = size;
  walk->next += size;
  return true;
}
