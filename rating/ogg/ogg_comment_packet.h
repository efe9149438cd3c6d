// SPDX-License-Identifier: LGPL-2.1-or-later
// The comment packet of an Ogg Vorbis or Opus stream: its signature, the Vorbis comment
// (vorbis_comment.h), then what the container puts after the fields: Vorbis's framing bit
// and any slack after it; Opus's padding (first byte's low bit 0) or binary data (low bit 1).
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"
#include "rating/ogg/ogg_headers.h"

// Padding a comment packet gets when the file is written anew anyway (where the packet may
// carry padding), so that the next rating fits in place: room for several changes of a
// rating field.
const size_t kOggRewritePadding = 128;

struct OggCommentTail {
  uint64_t fieldsEnd;     // in the packet
  uint64_t keptLength;    // from fieldsEnd: Vorbis's framing byte, or Opus's binary data
  bool resizable;         // whatever follows the kept bytes is slack or padding
};

// The rating the comment packet holds (0 for none) and its tail. False when the comment is
// malformed (or a Vorbis comment lacks its framing bit, without which the decoder reads none).
bool readOggCommentPacket(const ByteSource& file, const OggHeaders& headers, int* stars, OggCommentTail* tail);

enum OggCommentPlan {
  kOggCommentPlanned,
  kOggCommentUnchanged,  // the comment holds the rating already
  kOggCommentBroken,     // the comment is malformed
  kOggCommentFailed,     // memory ran short or the plan grew past its limit
};

// Appends to `comment` (empty) the new comment packet with `stars`, as spans: old stretches
// in offsets of the old packet, and new bytes. Its slack or padding is sized so that it keeps
// the old packet's length where it can (*keepsLength), otherwise kOggRewritePadding. `tail`
// is the old packet's, from readOggCommentPacket.
OggCommentPlan planOggCommentPacket(const ByteSource& file, const OggHeaders& headers, const OggCommentTail& tail,
                                    int stars, WritePlan* comment, bool* keepsLength);
