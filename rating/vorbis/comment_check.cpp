// SPDX-License-Identifier: LGPL-2.1-or-later
// The check of a planned comment against the old one; see vorbis_comment.h.
#include <cstring>

#include "rating/vorbis/comment_walk.h"
#include "rating/vorbis/vorbis_comment.h"

namespace {

// The `length` bytes at `oldAt` and `newAt` are the same, compared a piece at a time.
bool sameBytes(SourceWindow* oldWindow, uint64_t oldAt, SourceWindow* newWindow, uint64_t newAt, uint64_t length) {
  const size_t kPiece = kSourceWindowSize / 2;
  while (length > 0) {
    const size_t piece = length < kPiece ? static_cast<size_t>(length) : kPiece;
    const unsigned char* before = windowBytes(oldWindow, oldAt, piece, kPiece);
    if (before == nullptr) return false;
    unsigned char copy[kPiece];
    std::memcpy(copy, before, piece);
    const unsigned char* after = windowBytes(newWindow, newAt, piece, kPiece);
    if (after == nullptr || std::memcmp(copy, after, piece) != 0) return false;
    oldAt += piece;
    newAt += piece;
    length -= piece;
  }
  return true;
}

// The next field that is no rating field; false at the end.
bool nextOtherField(CommentWalk* walk, CommentField* field) {
  while (nextCommentField(walk, field)) {
    if (field->kind == kFieldOther) return true;
  }
  return false;
}

bool keepsOtherFields(const ByteSource& old, uint64_t oldStart, uint64_t oldEnd, const ByteSource& planned,
                      uint64_t newStart, uint64_t newEnd) {
  CommentWalk before;
  CommentWalk after;
  if (!openCommentWalk(&before, old, oldStart, oldEnd) || !openCommentWalk(&after, planned, newStart, newEnd))
    return false;
  if (before.vendorLength != after.vendorLength ||
      !sameBytes(&before.window, oldStart, &after.window, newStart, 4 + uint64_t{before.vendorLength}))
    return false;
  CommentField kept;
  CommentField made;
  for (;;) {
    const bool oldHasMore = nextOtherField(&before, &kept);
    const bool newHasMore = nextOtherField(&after, &made);
    if (before.malformed || after.malformed || oldHasMore != newHasMore) return false;
    if (!oldHasMore) return true;
    if (kept.length != made.length ||
        !sameBytes(&before.window, kept.offset, &after.window, made.offset, 4 + uint64_t{kept.length}))
      return false;
  }
}

}  // namespace

bool plannedCommentMatches(const ByteSource& old, uint64_t oldStart, uint64_t oldEnd, const ByteSource& planned,
                           uint64_t newStart, uint64_t newEnd, int stars) {
  int readBack = -1;
  if (!readCommentStars(planned, newStart, newEnd, &readBack, nullptr) || readBack != stars) return false;
  WritePlan again;
  initWritePlan(&again);
  uint64_t length = 0;
  bool changed = true;
  const bool replanned = planComment(planned, newStart, newEnd, stars, &again, &length, nullptr, &changed);
  releaseWritePlan(&again);
  if (!replanned || changed) return false;
  return keepsOtherFields(old, oldStart, oldEnd, planned, newStart, newEnd);
}
