// SPDX-License-Identifier: LGPL-2.1-or-later
// The items of an `ilst` walked a header at a time, telling the rating items apart: `rate`,
// `----:com.apple.iTunes:RATING` and `----:com.apple.iTunes:FMPS_Rating`. Of a rating item
// only its first `data` atom's type and short value are read; any other item (a `covr` of
// megabytes) is passed over by its header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/mp4/mp4_atoms.h"

enum Mp4ItemKind {
  kItemOther,
  kItemRate,    // the player's own
  kItemRating,  // ----:com.apple.iTunes:RATING
  kItemFmps,    // ----:com.apple.iTunes:FMPS_Rating, a fraction of 0..1
};

// A `data` atom's header and its type and locale words.
const uint64_t kMp4DataPrefix = 8;
const uint32_t kMp4DataUtf8 = 1;
const uint32_t kMp4DataInteger = 21;  // big-endian, signed

const size_t kMaxItemValueBytes = 64;

struct Mp4Item {
  Mp4Atom atom;
  Mp4ItemKind kind;
  bool hasData;
  Mp4Atom data;       // the first `data` atom, when hasData
  uint32_t dataType;  // its type word, version byte included
  unsigned char value[kMaxItemValueBytes];
  size_t valueLength;
  bool valueRead;  // short enough to be a number
};

struct Mp4ItemWalk {
  Mp4AtomWalk atoms;
  bool malformed;  // an item or its `data` breaks its parent
};

void openItemWalk(Mp4ItemWalk* walk, const ByteSource& source, const Mp4Atom& ilst);
bool nextMp4Item(Mp4ItemWalk* walk, Mp4Item* item);

// Stars (0..5) an item stands for, or -1: `rate` as the player reads it (all digits: a
// decimal, else a 1-, 2- or 4-byte big-endian integer), the others as Vorbis comments (a
// RATING of the integer type as that integer). A RATING of another type than text or
// integer, or an FMPS_Rating of another type than text, is no rating item (kItemOther).
int starsOfItem(const Mp4Item& item);

// The rating of an `ilst` as the player reads it: `rate`, then RATING, then FMPS_Rating.
// False when the items are malformed.
bool readIlstStars(const ByteSource& source, const Mp4Atom& ilst, int* stars);
