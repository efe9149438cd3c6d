// SPDX-License-Identifier: LGPL-2.1-or-later
// Planning an MP3's rating write; see mp3_file.h. The write guard decides; its bytes go in place.
// A tag made anew, by id3lib (where the guard hands the tag to it) or by the editor, takes the
// old tag's place in front of the rest of the file.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rating/bytes/memory_source.h"
#include "rating/bytes/plan_patches.h"
#include "rating/bytes/source_window.h"
#include "rating/id3v2/id3v2_format.h"
#include "rating/id3v2/tag_editor.h"
#include "rating/mp3/id3lib_render_check.h"
#include "rating/mp3/id3lib_tag.h"
#include "rating/mp3/mp3_file.h"
#include "rating/mp3/write_guard.h"
#include "rating/rating.h"

namespace {

// id3lib parses every frame whole, a cover too: a tag this large is the editor's.
const uint64_t kId3libLargestTag = 64u * 1024u;
// The tag of a file this large has always been the editor's (id3lib once wrote such files in
// one go): kept, so that no file's tag comes out otherwise than before.
const uint64_t kId3libLargestFile = 32u * 1024u * 1024u;
// The largest tag the editor reads whole to make anew.
const uint64_t kMaxEditedTagBytes = 64u * 1024u * 1024u;
// A tag made anew at its old size goes in place when no more bytes than this differ.
const uint64_t kMaxPatchBytes = 64 * 1024;

void planNothing(WritePlan* plan, RatingWriteReason reason) {
  releaseWritePlan(plan);
  plan->reason = reason;
  plan->alreadyStored = reason == kWriteReasonAlreadyStored;
}

// The editor's tag, read as planned in front of the rest of the file.
bool editorTag(const ByteSource& file, const RatingWritePlan& guard, unsigned char rating,
               EditedTag* edited) {
  bool made = false;
  if (guard.tagSize == 0) {
    made = newTagWithRating(rating, edited);
  } else if (guard.tagSize <= kMaxEditedTagBytes && guard.tagSize <= file.size) {
    const size_t size = static_cast<size_t>(guard.tagSize);
    unsigned char* old = static_cast<unsigned char*>(std::malloc(size));
    if (old == nullptr) return false;
    made = readSourceAt(file, 0, old, size) == size &&
           editTagRating(old, size, guard.frameSizesPlain, guard.decodeTagUnsynchronisation, rating, edited);
    std::free(old);
  }
  if (!made) return false;
  const PatchedBytes after = {file, edited->bytes, edited->size, 0, guard.tagSize, true};
  if (editedFileReadsAsPlanned(patchedSource(&after), guard, rating)) return true;
  releaseEditedTag(edited);
  return false;
}

// The header and frames of id3lib's render, padded as id3lib pads the tag it writes into the
// file (malloc'd), the header's size set to match.
bool paddedTag(const std::string& rendered, const RatingWritePlan& guard, uint64_t fileSize, EditedTag* tag) {
  const MemoryBytes render = {reinterpret_cast<const unsigned char*>(rendered.data()), rendered.size()};
  Id3v2Layout layout;
  if (!parseId3v2Tag(memorySource(&render, rendered.size()), nullptr, &layout) ||
      layout.popmRatingOffset == 0)
    return false;
  const uint64_t size = id3libFileTagSize(layout.framesEnd, guard.tagSize, fileSize);
  if (size < layout.framesEnd || size - kTagHeaderSize >= (1u << 28)) return false;
  unsigned char* bytes = static_cast<unsigned char*>(std::calloc(static_cast<size_t>(size), 1));
  if (bytes == nullptr) return false;
  std::memcpy(bytes, rendered.data(), static_cast<size_t>(layout.framesEnd));
  writeSyncsafe32(bytes + 6, static_cast<uint32_t>(size - kTagHeaderSize));
  *tag = {bytes, static_cast<size_t>(size), static_cast<size_t>(layout.popmRatingOffset)};
  return true;
}

// id3lib's tag, parsed and rendered in memory, padded as id3lib pads a tag it writes into a
// file, and read as planned in front of the rest of the file.
bool id3libTag(const ByteSource& file, const RatingWritePlan& guard, unsigned char rating, EditedTag* tag) {
  std::vector<unsigned char> old(static_cast<size_t>(guard.tagSize));
  std::string rendered;
  if ((!old.empty() && readSourceAt(file, 0, old.data(), old.size()) != old.size()) ||
      !renderTagWithPopm(old.data(), old.size(), guard.frameCount, rating, &rendered) ||
      !id3libRenderKeepsTag(file, rating, reinterpret_cast<const unsigned char*>(rendered.data()),
                            rendered.size()) ||
      !paddedTag(rendered, guard, file.size, tag)) {
    return false;
  }
  const PatchedBytes after = {file, tag->bytes, tag->size, 0, guard.tagSize, true};
  if (editedFileReadsAsPlanned(patchedSource(&after), guard, rating)) return true;
  releaseEditedTag(tag);
  return false;
}

// The new tag in front of the file's bytes after the old tag: patches where it keeps the old
// size (nothing where it is the old tag), else the new file. The plan takes over the tag.
void planTagInFront(const ByteSource& file, uint64_t oldTagSize, EditedTag* tag, WritePlan* plan) {
  const bool sameSize = tag->size == oldTagSize;
  WritePlan spans;
  initWritePlan(&spans);
  spans.kind = kPlanNewFile;
  spans.oldSize = file.size;
  spans.ratingOffset = tag->ratingOffset;
  adoptNewSpan(&spans, tag->bytes, tag->size);
  *tag = {nullptr, 0, 0};
  addOldSpan(&spans, oldTagSize, file.size - oldTagSize);
  spans.newSize = planNewFileSize(spans);
  if (sameSize && !spans.failed && patchesFromSpans(file, spans, kMaxPatchBytes, plan)) {
    releaseWritePlan(&spans);
    plan->kind = plan->patchCount == 0 ? kPlanNothing : kPlanInPlace;
    plan->alreadyStored = plan->patchCount == 0;
    plan->newSize = file.size;
    plan->oldSize = file.size;
    plan->ratingOffset = kNoRatingOffset;
    return;
  }
  const int reason = plan->reason;
  releaseWritePlan(plan);
  *plan = spans;
  plan->reason = reason;
}

}  // namespace

void planMp3Write(const ByteSource& file, int stars, WritePlan* plan) {
  planNothing(plan, kWriteReasonBadRating);
  if (stars < 0 || stars > 5) return;
  const unsigned char rating = static_cast<unsigned char>(RatingScale[stars]);
  RatingWritePlan guard;
  planRatingWrite(file, rating, &guard);
  plan->reason = guard.reason;
  if (guard.method == kRatingWriteNothing) return planNothing(plan, guard.reason);
  if (guard.method == kRatingWriteBytes) {
    addPatch(plan, guard.offset, guard.bytes, guard.length);
    plan->kind = kPlanInPlace;
    plan->newSize = file.size;
    plan->oldSize = file.size;
    plan->ratingOffset = kNoRatingOffset;
    return;
  }
  if (guard.method == kRatingWriteWithId3lib &&
      (file.size >= kId3libLargestFile || guard.tagSize >= kId3libLargestTag))
    guard.method = kRatingWriteRewrite;
  EditedTag tag = {nullptr, 0, 0};
  bool made = guard.method == kRatingWriteWithId3lib && id3libTag(file, guard, rating, &tag);
  // Where id3lib would not keep every frame and flag, the editor does it.
  if (!made) made = editorTag(file, guard, rating, &tag);
  if (!made) return planNothing(plan, guard.reason);
  planTagInFront(file, guard.tagSize, &tag, plan);
}
