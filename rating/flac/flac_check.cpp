// SPDX-License-Identifier: LGPL-2.1-or-later
// The planned FLAC file walked as any FLAC; see flac_check.h.
#include "rating/flac/flac_check.h"

#include <cstring>

#include "rating/bytes/plan_ranges.h"
#include "rating/vorbis/vorbis_comment.h"

namespace {

// The `length` bytes at `oldAt` in `old` and at `newAt` in `planned` are the same.
bool sameBytes(const ByteSource& old, uint64_t oldAt, const ByteSource& planned, uint64_t newAt, uint64_t length) {
  const size_t kPiece = 4096;
  unsigned char before[kPiece];
  unsigned char after[kPiece];
  while (length > 0) {
    const size_t piece = length < kPiece ? static_cast<size_t>(length) : kPiece;
    if (readSourceAt(old, oldAt, before, piece) != piece || readSourceAt(planned, newAt, after, piece) != piece ||
        std::memcmp(before, after, piece) != 0)
      return false;
    oldAt += piece;
    newAt += piece;
    length -= piece;
  }
  return true;
}

bool isKeptBlock(const FlacBlock& block) {
  return block.type != kFlacVorbisComment && block.type != kFlacPadding;
}

// The next block a write must keep; false at the end or when the walk broke off.
bool nextKeptBlock(FlacBlockWalk* walk, FlacBlock* block) {
  while (nextFlacBlock(walk, block)) {
    if (isKeptBlock(*block)) return true;
  }
  return false;
}

// Every kept block of the old file, in order, is one of the new file: same type and length,
// its body carried over from the old file.
bool keepsBlocks(const ByteSource& file, const FlacLayout& before, const ByteSource& planned,
                 const FlacLayout& after, const WritePlan& plan) {
  FlacBlockWalk oldWalk;
  FlacBlockWalk newWalk;
  openFlacBlocks(&oldWalk, file, before.streamStart);
  openFlacBlocks(&newWalk, planned, after.streamStart);
  FlacBlock kept;
  FlacBlock made;
  for (;;) {
    const bool oldHasMore = nextKeptBlock(&oldWalk, &kept);
    const bool newHasMore = nextKeptBlock(&newWalk, &made);
    if (oldWalk.malformed || newWalk.malformed || oldHasMore != newHasMore) return false;
    if (!oldHasMore) return true;
    if (kept.type != made.type || kept.length != made.length ||
        !planKeepsOldRange(plan, made.offset + kFlacBlockHeaderSize, kept.offset + kFlacBlockHeaderSize,
                           kept.length))
      return false;
  }
}

}  // namespace

bool flacPlanReadsBack(const ByteSource& file, const FlacLayout& layout, const WritePlan& plan, int stars) {
  const PlannedFile plannedFile = {&plan, file};
  const ByteSource planned = plannedSource(&plannedFile);
  FlacLayout after;
  if (!walkFlacLayout(planned, &after) || !after.hasComment) return false;
  // What stands before the blocks, and the audio.
  if (after.streamStart != layout.streamStart || !planKeepsOldRange(plan, 0, 0, layout.streamStart + 4)) return false;
  const uint64_t audioLength = file.size - layout.audioStart;
  if (planned.size - after.audioStart != audioLength ||
      !planKeepsOldRange(plan, after.audioStart, layout.audioStart, audioLength))
    return false;
  if (!keepsBlocks(file, layout, planned, after, plan)) return false;
  const uint64_t newStart = after.comment.offset + kFlacBlockHeaderSize;
  const uint64_t newEnd = flacBlockEnd(after.comment);
  if (!layout.hasComment) {
    int readBack = -1;
    return readCommentStars(planned, newStart, newEnd, &readBack, nullptr) && readBack == stars;
  }
  const uint64_t oldStart = layout.comment.offset + kFlacBlockHeaderSize;
  const uint64_t oldEnd = flacBlockEnd(layout.comment);
  if (!plannedCommentMatches(file, oldStart, oldEnd, planned, newStart, newEnd, stars)) return false;
  // Bytes after the fields, inside the block, stay after them (moved, in place, when the
  // fields grow or shrink: compared, not told from the plan).
  int ignored = 0;
  uint64_t oldFieldsEnd = 0;
  uint64_t newFieldsEnd = 0;
  return readCommentStars(file, oldStart, oldEnd, &ignored, &oldFieldsEnd) &&
         readCommentStars(planned, newStart, newEnd, &ignored, &newFieldsEnd) &&
         oldEnd - oldFieldsEnd == newEnd - newFieldsEnd &&
         sameBytes(file, oldFieldsEnd, planned, newFieldsEnd, oldEnd - oldFieldsEnd);
}
