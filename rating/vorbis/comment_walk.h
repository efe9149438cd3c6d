// SPDX-License-Identifier: LGPL-2.1-or-later
// A Vorbis comment walked a field at a time through one window: the vendor string, the
// field count, then each field's length, the kind of rating it is (by its name) and, when
// short, its value. A field is never read whole: a name is only scanned for its '=' when it
// starts as "RATING:", and a value is taken only when it is short enough to be a number.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/bytes/source_window.h"

enum CommentFieldKind {
  kFieldOther,       // not a rating field: kept byte for byte
  kFieldRating,      // RATING
  kFieldFmpsRating,  // FMPS_RATING: always a fraction of 0..1
  kFieldRatingFor,   // RATING:<anything> (an e-mail, as Quod Libet and Picard write)
};

// The longest value read as a number; a longer one is passed over as no number.
const size_t kMaxRatingValueBytes = 64;

struct CommentField {
  uint64_t offset;      // of its 4-byte length
  uint32_t length;      // of "NAME=value"
  CommentFieldKind kind;
  uint64_t nameLength;  // bytes before the '=' (rating kinds only)
  unsigned char value[kMaxRatingValueBytes];
  size_t valueLength;   // valid when valueRead
  bool valueRead;       // the value is short enough to be read
};

struct CommentWalk {
  SourceWindow window;
  uint64_t start;        // the vendor length's offset
  uint64_t end;          // what the comment may not pass
  uint32_t vendorLength;
  uint64_t countOffset;  // of the 4-byte field count
  uint32_t count;
  uint32_t taken;        // fields walked so far
  uint64_t next;         // where the next field's length stands
  bool malformed;        // a length or count the comment cannot hold, or a read came short
};

// Reads the vendor string's length and the field count. False (and walk->malformed) when
// they do not fit between `start` and `end`, or the count is more than the bytes left
// could hold.
bool openCommentWalk(CommentWalk* walk, const ByteSource& source, uint64_t start, uint64_t end);

// The next field into *field; false after the last one, or when the walk found the comment
// malformed (walk->malformed). walk->next is then where the fields end.
bool nextCommentField(CommentWalk* walk, CommentField* field);

// The kind of rating a field name is (compared without case).
CommentFieldKind commentFieldKind(const char* name, size_t nameLength);

// Stars (0..5) a value of a field of `kind` stands for, or -1 when it is no such value.
int starsFromRatingValue(CommentFieldKind kind, const unsigned char* value, size_t valueLength);

// Stars (0..5) a field read by the walk stands for, or -1.
int starsOfField(const CommentField& field);
