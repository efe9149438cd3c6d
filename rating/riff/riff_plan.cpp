// SPDX-License-Identifier: LGPL-2.1-or-later
// Planning a WAV or AIFF rating write; see riff_file.h. The write guard decides over the ID3
// chunk's data as it decides over an MP3's start; its in-place bytes are shifted to the
// chunk, and a tag the editor makes anew is laid out as the new file, which goes in place
// where it keeps every size.
#include <cstdlib>
#include <cstring>

#include "rating/bytes/memory_source.h"
#include "rating/bytes/plan_patches.h"
#include "rating/bytes/plan_ranges.h"
#include "rating/bytes/range_source.h"
#include "rating/bytes/source_window.h"
#include "rating/id3v2/tag_editor.h"
#include "rating/rating.h"
#include "rating/riff/riff_file.h"
#include "rating/riff/riff_walk.h"
#include "rating/mp3/write_guard.h"

namespace {

// The largest tag read whole to be made anew, as for an MP3's tag.
const uint64_t kMaxEditedTagBytes = 64u * 1024u * 1024u;
// In-place patches of more bytes than this are carried out as a new file instead.
const uint64_t kMaxPatchBytes = 64 * 1024;

void planNothing(WritePlan* plan, ChunkedWriteReason reason) {
  releaseWritePlan(plan);
  plan->reason = reason;
  plan->alreadyStored = reason == kChunkedAlreadyStored;
}

ChunkedWriteReason reasonOf(ChunkLayoutResult result) {
  switch (result) {
    case kChunksNotChunked:
      return kChunkedNotChunked;
    case kChunksTooMany:
      return kChunkedTooManyChunks;
    case kChunksTwoTags:
      return kChunkedTwoTagChunks;
    case kChunksTagUnread:
      return kChunkedTagChunkUnread;
    case kChunksNotAudio:
      return kChunkedNotAudio;
    case kChunksListBroken:
      return kChunkedListBroken;
    case kChunksSizesDisagree:
    case kChunksSound:
      break;
  }
  return kChunkedSizesDisagree;
}

// Where the tag goes: the old ID3 chunk's place, or the form's end for a new one.
struct TagPlace {
  uint64_t chunkOffset;
  uint64_t oldChunkEnd;   // where the old file goes on after it
  uint64_t oldTagSize;    // bytes of the old tag at the start of the chunk's data
  uint64_t oldTrailFrom;  // the chunk's bytes after the old tag are kept
  uint64_t oldTrailSize;
  const char* id;
};

// The new file: the form's header with its new size, the old file up to the chunk, the chunk
// (header, new tag, whatever followed the old tag in it, pad byte) and the rest. The plan
// takes over the tag.
ChunkedWriteReason layOutTag(const ByteSource& file, ChunkedForm form, const TagPlace& place, EditedTag* tag,
                             WritePlan* spans) {
  const uint64_t dataSize = tag->size + place.oldTrailSize;
  const uint64_t chunkSize = kChunkHeaderSize + dataSize + (dataSize & 1u);
  const uint64_t newSize = file.size - (place.oldChunkEnd - place.chunkOffset) + chunkSize;
  if (dataSize > 0xFFFFFFFFu || newSize - 8 > 0xFFFFFFFFu) {
    releaseEditedTag(tag);
    return kChunkedTooLarge;
  }
  // The new bytes: the form's size, the chunk's header, the tag and a pad byte, in the tag's
  // own buffer grown in front, so that a tag holding a picture is not held twice.
  const size_t headBytes = 4 + kChunkHeaderSize;
  const size_t tagSize = tag->size;
  unsigned char* bytes = static_cast<unsigned char*>(std::realloc(tag->bytes, headBytes + tagSize + 1));
  if (bytes == nullptr) {
    releaseEditedTag(tag);
    return kChunkedMemoryShort;
  }
  spans->ratingOffset = place.chunkOffset + kChunkHeaderSize + tag->ratingOffset;
  *tag = {nullptr, 0, 0};
  std::memmove(bytes + headBytes, bytes, tagSize);
  putChunkSize(form, bytes, static_cast<uint32_t>(newSize - 8));
  std::memcpy(bytes + 4, place.id, 4);
  putChunkSize(form, bytes + 8, static_cast<uint32_t>(dataSize));
  bytes[headBytes + tagSize] = 0x00;
  adoptPlanBytes(spans, bytes, headBytes + tagSize + 1);
  addOldSpan(spans, 0, 4);
  addAdoptedSpan(spans, 0, 4);
  addOldSpan(spans, 8, place.chunkOffset - 8);
  addAdoptedSpan(spans, 4, kChunkHeaderSize + tagSize);
  addOldSpan(spans, place.oldTrailFrom, place.oldTrailSize);
  if (dataSize & 1u) addAdoptedSpan(spans, headBytes + tagSize, 1);
  addOldSpan(spans, place.oldChunkEnd, file.size - place.oldChunkEnd);
  spans->kind = kPlanNewFile;
  spans->newSize = planNewFileSize(*spans);
  spans->oldSize = file.size;
  return spans->failed ? kChunkedMemoryShort : place.oldTagSize == 0 ? kChunkedNewTagChunk : kChunkedTagAnew;
}

// The chunk's tag made anew by the editor, as the guard planned it.
bool editChunkTag(const ByteSource& chunk, const RatingWritePlan& guard, unsigned char rating, EditedTag* edited) {
  if (guard.tagSize == 0 || guard.tagSize > kMaxEditedTagBytes || guard.tagSize > chunk.size) return false;
  const size_t size = static_cast<size_t>(guard.tagSize);
  unsigned char* old = static_cast<unsigned char*>(std::malloc(size));
  if (old == nullptr) return false;
  const bool edit = readSourceAt(chunk, 0, old, size) == size &&
                    editTagRating(old, size, guard.frameSizesPlain, guard.decodeTagUnsynchronisation, rating, edited);
  std::free(old);
  if (!edit) return false;
  const PatchedBytes after = {chunk, edited->bytes, edited->size, 0, guard.tagSize, true};
  if (editedFileReadsAsPlanned(patchedSource(&after), guard, rating)) return true;
  releaseEditedTag(edited);
  return false;
}

// The file the plan makes is walked as a WAV or AIFF again: its chunks as sound as the old
// file's, one more where a chunk was added, every chunk but the ID3 one the old file's bytes
// where they were or moved, and the rating read back.
bool planReadsBack(const ByteSource& file, const ChunkLayout& layout, const WritePlan& plan, int stars) {
  const PlannedFile planned = {&plan, file};
  const ByteSource after = plannedSource(&planned);
  ChunkLayout now;
  if (walkChunkLayout(after, &now) != kChunksSound || now.form != layout.form || !now.hasTag) return false;
  if (now.chunkCount != layout.chunkCount + (layout.hasTag ? 0 : 1)) return false;
  if (readChunkedStars(after) != stars) return false;
  ChunkWalk oldWalk;
  ChunkWalk newWalk;
  if (!openChunks(&oldWalk, file) || !openChunks(&newWalk, after)) return false;
  if (!planKeepsOldRange(plan, 8, 8, 4)) return false;  // the form's type
  Chunk oldChunk;
  Chunk newChunk;
  while (nextChunk(&newWalk, &newChunk)) {
    if (newChunk.offset == now.tag.offset) {
      if (layout.hasTag && !nextChunk(&oldWalk, &oldChunk)) return false;
      continue;
    }
    if (!nextChunk(&oldWalk, &oldChunk) || oldChunk.offset == layout.tag.offset) return false;
    if (!planKeepsOldRange(plan, newChunk.offset, oldChunk.offset, chunkEnd(oldChunk) - oldChunk.offset)) return false;
  }
  return !newWalk.broken && !nextChunk(&oldWalk, &oldChunk);
}

// The guard's decision over the chunk's tag, as the room's plan: bytes in place, or the tag
// made anew.
ChunkedWriteReason planTagChunk(const ByteSource& file, const ChunkLayout& layout, int stars, WritePlan* plan) {
  const SourceRange range = {file, layout.tag.offset + kChunkHeaderSize, layout.tag.size};
  const ByteSource chunk = rangeSource(&range);
  const unsigned char rating = static_cast<unsigned char>(RatingScale[stars]);
  RatingWritePlan guard;
  planChunkTagWrite(chunk, rating, &guard);
  if (guard.method == kRatingWriteNothing)
    return guard.reason == kWriteReasonAlreadyStored ? kChunkedAlreadyStored : kChunkedTagRefused;
  if (guard.method == kRatingWriteBytes) {
    addPatch(plan, range.start + guard.offset, guard.bytes, guard.length);
    plan->kind = kPlanInPlace;
    plan->newSize = file.size;
    plan->oldSize = file.size;
    return guard.reason == kWriteReasonRatingByte ? kChunkedRatingByte : kChunkedFrameInPadding;
  }
  if (guard.method != kRatingWriteRewrite) return kChunkedTagRefused;
  EditedTag edited = {nullptr, 0, 0};
  if (!editChunkTag(chunk, guard, rating, &edited)) return kChunkedTagRefused;
  const bool sameSize = edited.size == guard.tagSize;
  const TagPlace place = {layout.tag.offset, chunkEnd(layout.tag), guard.tagSize, range.start + guard.tagSize,
                          layout.tag.size - guard.tagSize, layout.tag.id};
  WritePlan spans;
  initWritePlan(&spans);
  const ChunkedWriteReason laid = layOutTag(file, layout.form, place, &edited, &spans);
  if (laid != kChunkedTagAnew) {
    releaseWritePlan(&spans);
    return laid;
  }
  if (sameSize && patchesFromSpans(file, spans, kMaxPatchBytes, plan)) {
    releaseWritePlan(&spans);
    plan->kind = kPlanInPlace;
    plan->newSize = file.size;
    plan->oldSize = file.size;
    return kChunkedTagInPlace;
  }
  releaseWritePlan(plan);
  *plan = spans;
  return kChunkedTagAnew;
}

}  // namespace

void planChunkedWrite(const ByteSource& file, int stars, WritePlan* plan) {
  planNothing(plan, kChunkedBadStars);
  if (stars < 0 || stars > 5) return;
  ChunkLayout layout;
  const ChunkLayoutResult walked = walkChunkLayout(file, &layout);
  if (walked != kChunksSound) return planNothing(plan, reasonOf(walked));
  ChunkedWriteReason reason = kChunkedAlreadyStored;
  if (layout.hasTag) {
    reason = planTagChunk(file, layout, stars, plan);
  } else if (stars > 0) {
    EditedTag tag = {nullptr, 0, 0};
    if (!newTagWithRating(static_cast<unsigned char>(RatingScale[stars]), &tag))
      return planNothing(plan, kChunkedMemoryShort);
    const TagPlace place = {file.size, file.size, 0, file.size, 0, newTagChunkId(layout.form)};
    reason = layOutTag(file, layout.form, place, &tag, plan);
  }
  if (plan->failed) reason = kChunkedMemoryShort;
  if (plan->kind == kPlanNothing || reason == kChunkedMemoryShort) return planNothing(plan, reason);
  plan->reason = reason;
  if (plan->kind == kPlanInPlace) plan->ratingOffset = kNoRatingOffset;
  if (!planReadsBack(file, layout, *plan, stars)) return planNothing(plan, kChunkedPlanNotConfirmed);
}
