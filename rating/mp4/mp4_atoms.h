// SPDX-License-Identifier: LGPL-2.1-or-later
// MP4 atoms walked a header at a time: each atom's type, where it stands and how long it
// is (32-bit size, a 64-bit size after size 1, or size 0 "to the end" where that is legal).
// Only the 8 or 16 header bytes are read; a body is never. A size that runs past the parent
// or is smaller than its header makes the walk malformed, so it always ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"

inline constexpr uint32_t fourCc(const char (&name)[5]) {
  return (uint32_t{static_cast<unsigned char>(name[0])} << 24) |
         (uint32_t{static_cast<unsigned char>(name[1])} << 16) |
         (uint32_t{static_cast<unsigned char>(name[2])} << 8) | uint32_t{static_cast<unsigned char>(name[3])};
}

struct Mp4Atom {
  uint64_t offset;  // of its header
  uint64_t size;    // header included
  uint32_t type;
  uint32_t headerSize;  // 8, or 16 for the 64-bit form
  bool toEnd;           // size 0: the atom runs to the end of its parent
};

inline uint64_t atomBody(const Mp4Atom& atom) { return atom.offset + atom.headerSize; }
inline uint64_t atomEnd(const Mp4Atom& atom) { return atom.offset + atom.size; }

struct Mp4AtomWalk {
  ByteSource source;
  uint64_t next;
  uint64_t end;       // of the parent
  bool toEndAllowed;  // size 0 is legal here (the file's top level)
  bool malformed;
};

void openAtomWalk(Mp4AtomWalk* walk, const ByteSource& source, uint64_t start, uint64_t end,
                  bool toEndAllowed);

// The next atom; false at the parent's end or when the walk found it malformed.
bool nextAtom(Mp4AtomWalk* walk, Mp4Atom* atom);

uint32_t bigEndian32Of(const unsigned char* bytes);
uint64_t bigEndian64Of(const unsigned char* bytes);
void putBigEndian32(unsigned char* out, uint32_t value);
void putBigEndian64(unsigned char* out, uint64_t value);

// The 4 bytes at `at` as a big-endian number; false when they cannot be read.
bool readBigEndian32(const ByteSource& source, uint64_t at, uint32_t* value);
