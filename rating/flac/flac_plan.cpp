// SPDX-License-Identifier: LGPL-2.1-or-later
// Planning a FLAC rating write; see flac_file.h. The new file is first laid out as spans of
// the old one and new bytes; where it keeps the file's size and moves no audio, it is then
// written in place as the few bytes that differ.
#include <cstdio>
#include <cstring>

#include "rating/bytes/plan_patches.h"
#include "rating/flac/flac_check.h"
#include "rating/flac/flac_file.h"
#include "rating/flac/flac_walk.h"
#include "rating/vorbis/vorbis_comment.h"

namespace {

// The vendor string of a comment block this room makes.
const char kVendor[] = "ID3 Vimbrel";

void planNothing(WritePlan* plan, FlacWriteReason reason) {
  releaseWritePlan(plan);
  plan->reason = reason;
  plan->alreadyStored = reason == kFlacAlreadyStored;
}

void putLittleEndian32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

void addBlockHeader(WritePlan* plan, unsigned char type, bool last, uint64_t length) {
  const unsigned char header[kFlacBlockHeaderSize] = {
      static_cast<unsigned char>((last ? 0x80 : 0x00) | type), static_cast<unsigned char>(length >> 16),
      static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
  addNewSpan(plan, header, sizeof header);
}

// `spans` (a comment's body) appended to `plan`.
void addSpansOf(WritePlan* plan, const WritePlan& spans) {
  for (size_t i = 0; i < spans.spanCount; ++i) {
    const PlanSpan& span = spans.spans[i];
    if (span.fromNew)
      addNewSpan(plan, spans.bytes + span.from, static_cast<size_t>(span.length));
    else
      addOldSpan(plan, span.from, span.length);
  }
}

// A comment of our vendor holding one RATING field: for a file without a comment block.
void addNewComment(WritePlan* body, int stars) {
  char value[20];
  const int valueLength = std::snprintf(value, sizeof value, "RATING=%d", stars * 20);
  unsigned char comment[4 + sizeof kVendor + 8 + sizeof value];
  size_t at = 0;
  putLittleEndian32(comment + at, sizeof kVendor - 1);
  std::memcpy(comment + at + 4, kVendor, sizeof kVendor - 1);
  at += 4 + sizeof kVendor - 1;
  putLittleEndian32(comment + at, 1);
  putLittleEndian32(comment + at + 4, static_cast<uint32_t>(valueLength));
  std::memcpy(comment + at + 8, value, static_cast<size_t>(valueLength));
  addNewSpan(body, comment, at + 8 + static_cast<size_t>(valueLength));
}

void addZeros(WritePlan* plan, uint64_t count) {
  static const unsigned char kZeros[kFlacFreshPadding] = {};
  while (count > 0 && !plan->failed) {
    const size_t piece = count < sizeof kZeros ? static_cast<size_t>(count) : sizeof kZeros;
    addNewSpan(plan, kZeros, piece);
    count -= piece;
  }
}

void addFreshPadding(WritePlan* plan, bool last) {
  addBlockHeader(plan, kFlacPadding, last, kFlacFreshPadding);
  addZeros(plan, kFlacFreshPadding);
}

// The comment block anew in the old one's place, and what follows it.
FlacWriteReason layOutComment(const ByteSource& file, const FlacLayout& layout, const WritePlan& body,
                              uint64_t bodyLength, WritePlan* spans) {
  const FlacBlock& comment = layout.comment;
  addOldSpan(spans, 0, comment.offset);
  if (bodyLength == comment.length) {
    addBlockHeader(spans, kFlacVorbisComment, comment.last, bodyLength);
    addSpansOf(spans, body);
    addOldSpan(spans, flacBlockEnd(comment), file.size - flacBlockEnd(comment));
    return kFlacCommentInPlace;
  }
  if (layout.hasPaddingAfter) {
    const FlacBlock& padding = layout.paddingAfter;
    const uint64_t room = uint64_t{comment.length} + padding.length;
    // A comment that shrinks by more than in-place patches may span is written anew.
    const bool shrinksLittle = bodyLength >= comment.length || comment.length - bodyLength <= kFlacMaxPatchBytes;
    if (room >= bodyLength && room - bodyLength <= kFlacMaxBlockLength && shrinksLittle) {
      addBlockHeader(spans, kFlacVorbisComment, false, bodyLength);
      addSpansOf(spans, body);
      addBlockHeader(spans, kFlacPadding, padding.last, room - bodyLength);
      // Where the comment shrank, the padding's new bytes are zeros; the old padding keeps
      // its bytes where they are.
      const uint64_t paddingBody = planNewFileSize(*spans);
      const uint64_t oldPaddingBody = padding.offset + kFlacBlockHeaderSize;
      if (paddingBody < oldPaddingBody) addZeros(spans, oldPaddingBody - paddingBody);
      const uint64_t kept = paddingBody > oldPaddingBody ? paddingBody : oldPaddingBody;
      addOldSpan(spans, kept, file.size - kept);
      return kFlacCommentFromPadding;
    }
  }
  // No padding after it, and the comment shrinks by a header or more: the rest becomes one.
  const uint64_t shrink = comment.length > bodyLength ? comment.length - bodyLength : 0;
  if (!layout.hasPaddingAfter && shrink >= kFlacBlockHeaderSize && shrink <= kFlacMaxPatchBytes) {
    addBlockHeader(spans, kFlacVorbisComment, false, bodyLength);
    addSpansOf(spans, body);
    addBlockHeader(spans, kFlacPadding, comment.last, shrink - kFlacBlockHeaderSize);
    addZeros(spans, shrink - kFlacBlockHeaderSize);
    addOldSpan(spans, flacBlockEnd(comment), file.size - flacBlockEnd(comment));
    return kFlacPaddingFromComment;
  }
  const bool paddingLast = comment.last || (layout.hasPaddingAfter && layout.paddingAfter.last);
  const uint64_t resume = layout.hasPaddingAfter ? flacBlockEnd(layout.paddingAfter) : flacBlockEnd(comment);
  addBlockHeader(spans, kFlacVorbisComment, false, bodyLength);
  addSpansOf(spans, body);
  addFreshPadding(spans, paddingLast);
  addOldSpan(spans, resume, file.size - resume);
  return kFlacRewriteWithPadding;
}

// The first padding block that holds a new comment block of `bodyLength` and a padding header.
bool findRoomyPadding(const ByteSource& file, const FlacLayout& layout, uint64_t bodyLength, FlacBlock* padding) {
  FlacBlockWalk walk;
  openFlacBlocks(&walk, file, layout.streamStart);
  while (nextFlacBlock(&walk, padding)) {
    if (padding->type == kFlacPadding && padding->length >= bodyLength + kFlacBlockHeaderSize) return true;
  }
  return false;
}

// A new comment block: at the start of a padding block it fits in; otherwise in the place of
// the first padding block, or after the last block, with fresh padding after it.
FlacWriteReason layOutNewComment(const ByteSource& file, const FlacLayout& layout, const WritePlan& body,
                                 uint64_t bodyLength, WritePlan* spans) {
  FlacBlock padding;
  if (findRoomyPadding(file, layout, bodyLength, &padding)) {
    addOldSpan(spans, 0, padding.offset);
    addBlockHeader(spans, kFlacVorbisComment, false, bodyLength);
    addSpansOf(spans, body);
    addBlockHeader(spans, kFlacPadding, padding.last, padding.length - bodyLength - kFlacBlockHeaderSize);
    const uint64_t paddingBody = planNewFileSize(*spans);
    addOldSpan(spans, paddingBody, file.size - paddingBody);
    return kFlacNewCommentInPadding;
  }
  if (layout.hasPadding) {
    const FlacBlock& first = layout.firstPadding;
    addOldSpan(spans, 0, first.offset);
    addBlockHeader(spans, kFlacVorbisComment, false, bodyLength);
    addSpansOf(spans, body);
    addFreshPadding(spans, first.last);
    addOldSpan(spans, flacBlockEnd(first), file.size - flacBlockEnd(first));
    return kFlacRewriteNewComment;
  }
  // After the last block, whose flag alone changes: one byte of its header.
  const FlacBlock& last = layout.last;
  addOldSpan(spans, 0, last.offset);
  const unsigned char notLast = last.type;
  addNewSpan(spans, &notLast, 1);
  addOldSpan(spans, last.offset + 1, layout.audioStart - last.offset - 1);
  addBlockHeader(spans, kFlacVorbisComment, false, bodyLength);
  addSpansOf(spans, body);
  addFreshPadding(spans, true);
  addOldSpan(spans, layout.audioStart, file.size - layout.audioStart);
  return kFlacRewriteNewComment;
}

bool isInPlaceRoute(FlacWriteReason reason) {
  return reason == kFlacCommentInPlace || reason == kFlacCommentFromPadding || reason == kFlacPaddingFromComment ||
         reason == kFlacNewCommentInPadding;
}

// The comment's new body into `body`. False when there is nothing to write, with the reason
// in *stop: the rating is stored already, or the comment cannot be planned.
bool planBody(const ByteSource& file, const FlacLayout& layout, int stars, WritePlan* body, uint64_t* bodyLength,
              FlacWriteReason* stop) {
  *stop = kFlacMemoryShort;
  if (!layout.hasComment) {
    if (stars == 0) {
      *stop = kFlacAlreadyStored;
      return false;
    }
    addNewComment(body, stars);
    *bodyLength = planNewFileSize(*body);
  } else {
    const uint64_t start = layout.comment.offset + kFlacBlockHeaderSize;
    const uint64_t end = flacBlockEnd(layout.comment);
    uint64_t fieldsLength = 0;
    uint64_t fieldsEnd = 0;
    bool changed = false;
    if (!planComment(file, start, end, stars, body, &fieldsLength, &fieldsEnd, &changed)) {
      if (!body->failed) *stop = kFlacMalformedComment;
      return false;
    }
    if (!changed) {
      *stop = kFlacAlreadyStored;
      return false;
    }
    addOldSpan(body, fieldsEnd, end - fieldsEnd);  // whatever follows the fields in the block
    *bodyLength = fieldsLength + (end - fieldsEnd);
  }
  if (body->failed) return false;
  if (*bodyLength > kFlacMaxBlockLength) {
    *stop = kFlacCommentTooLarge;
    return false;
  }
  return true;
}

}  // namespace

void planFlacWrite(const ByteSource& file, int stars, WritePlan* plan) {
  planNothing(plan, kFlacBadStars);
  if (stars < 0 || stars > 5) return;
  FlacLayout layout;
  if (!findFlacStream(file, nullptr)) return planNothing(plan, kFlacNotFlac);
  if (!walkFlacLayout(file, &layout)) return planNothing(plan, kFlacMalformedMetadata);
  if (!flacContentsFillBlocks(file, layout)) return planNothing(plan, kFlacContentsDisagree);

  WritePlan body;
  initWritePlan(&body);
  uint64_t bodyLength = 0;
  FlacWriteReason stop = kFlacMemoryShort;
  if (!planBody(file, layout, stars, &body, &bodyLength, &stop)) {
    releaseWritePlan(&body);
    return planNothing(plan, stop);
  }
  WritePlan spans;
  initWritePlan(&spans);
  FlacWriteReason reason = layout.hasComment ? layOutComment(file, layout, body, bodyLength, &spans)
                             : layOutNewComment(file, layout, body, bodyLength, &spans);
  releaseWritePlan(&body);
  if (spans.failed) {
    releaseWritePlan(&spans);
    return planNothing(plan, kFlacMemoryShort);
  }
  spans.kind = kPlanNewFile;
  if (isInPlaceRoute(reason) && patchesFromSpans(file, spans, kFlacMaxPatchBytes, plan)) {
    releaseWritePlan(&spans);
    plan->kind = kPlanInPlace;
    plan->newSize = file.size;
  } else {
    if (isInPlaceRoute(reason)) reason = kFlacRewriteWideChange;
    releaseWritePlan(plan);
    *plan = spans;
    plan->newSize = planNewFileSize(*plan);
  }
  plan->reason = reason;
  plan->oldSize = file.size;
  plan->ratingOffset = kNoRatingOffset;
  if (plan->failed) return planNothing(plan, kFlacMemoryShort);
  if (!flacPlanReadsBack(file, layout, *plan, stars)) return planNothing(plan, kFlacPlanNotConfirmed);
}
