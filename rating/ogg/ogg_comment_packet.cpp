// SPDX-License-Identifier: LGPL-2.1-or-later
// The comment packet of an Ogg Vorbis or Opus stream; see ogg_comment_packet.h.
#include "rating/ogg/ogg_comment_packet.h"

#include "rating/bytes/source_window.h"
#include "rating/ogg/ogg_packet_view.h"
#include "rating/vorbis/vorbis_comment.h"

namespace {

// What follows the fields: Vorbis's framing byte (low bit set, or the decoder refuses the
// comment) then slack; Opus's binary data kept whole, or padding.
bool readTail(const ByteSource& packet, OggCodec codec, uint64_t fieldsEnd, OggCommentTail* tail) {
  tail->fieldsEnd = fieldsEnd;
  unsigned char first = 0;
  const bool hasByte = fieldsEnd < packet.size;
  // A byte that cannot be read is no padding: Opus binary data would be lost with it.
  if (hasByte && readSourceAt(packet, fieldsEnd, &first, 1) != 1) return false;
  if (codec == kOggCodecVorbis) {
    if (!hasByte || (first & 1) == 0) return false;
    tail->keptLength = 1;
    tail->resizable = true;
    return true;
  }
  const bool binary = hasByte && (first & 1) != 0;
  tail->keptLength = binary ? packet.size - fieldsEnd : 0;
  tail->resizable = !binary;
  return true;
}

// Appends `length` bytes of slack or padding: the old one's last bytes where it is long enough
// (in place, they stay where they were), zeros for the rest. Opus padding must not start with
// an odd byte, which would make it binary data.
void addPadding(const ByteSource& packet, OggCodec codec, uint64_t oldStart, uint64_t length, WritePlan* comment) {
  static const unsigned char kZeros[256] = {};
  const uint64_t oldLength = packet.size - oldStart;
  uint64_t kept = length < oldLength ? length : oldLength;
  for (uint64_t zeros = length - kept; zeros > 0;) {
    const size_t piece = zeros < sizeof kZeros ? static_cast<size_t>(zeros) : sizeof kZeros;
    addNewSpan(comment, kZeros, piece);
    zeros -= piece;
  }
  unsigned char first = 0;
  if (codec == kOggCodecOpus && kept > 0 && kept == length &&
      (readSourceAt(packet, packet.size - kept, &first, 1) != 1 || (first & 1) != 0)) {
    addNewSpan(comment, kZeros, 1);
    --kept;
  }
  addOldSpan(comment, packet.size - kept, kept);
}

}  // namespace

bool readOggCommentPacket(const ByteSource& file, const OggHeaders& headers, int* stars, OggCommentTail* tail) {
  const OggPacketView view = {&headers, file, headers.comment};
  const ByteSource packet = oggPacketSource(&view);
  uint64_t fieldsEnd = 0;
  *stars = 0;
  if (!readCommentStars(packet, oggCommentPrefixLength(headers.codec), packet.size, stars, &fieldsEnd) ||
      !readTail(packet, headers.codec, fieldsEnd, tail)) {
    *stars = 0;
    return false;
  }
  return true;
}

OggCommentPlan planOggCommentPacket(const ByteSource& file, const OggHeaders& headers, const OggCommentTail& tail,
                                    int stars, WritePlan* comment, bool* keepsLength) {
  const OggPacketView view = {&headers, file, headers.comment};
  const ByteSource packet = oggPacketSource(&view);
  const size_t prefix = oggCommentPrefixLength(headers.codec);

  addOldSpan(comment, 0, prefix);
  uint64_t newLength = 0;
  uint64_t fieldsEnd = 0;
  bool changed = false;
  if (!planComment(packet, prefix, packet.size, stars, comment, &newLength, &fieldsEnd, &changed))
    return comment->failed ? kOggCommentFailed : kOggCommentBroken;
  if (fieldsEnd != tail.fieldsEnd) return kOggCommentBroken;  // the two readings disagree
  if (!changed) return kOggCommentUnchanged;
  addOldSpan(comment, tail.fieldsEnd, tail.keptLength);

  const uint64_t paddingStart = tail.fieldsEnd + tail.keptLength;
  const uint64_t fixed = prefix + newLength + tail.keptLength;
  *keepsLength = fixed == packet.size || (tail.resizable && fixed < packet.size);
  if (tail.resizable) addPadding(packet, headers.codec, paddingStart, *keepsLength ? packet.size - fixed : kOggRewritePadding, comment);
  return comment->failed ? kOggCommentFailed : kOggCommentPlanned;
}
