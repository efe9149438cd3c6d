// SPDX-License-Identifier: LGPL-2.1-or-later
// A planned rating write, as every format's room hands it to the store, which carries it
// out knowing no format: either bytes changed in place (the file keeps its size), or the
// new file described as stretches of the old one and new bytes, which the store streams
// into a copy beside the track. Bytes the plan makes anew live in one malloc'd buffer that
// stays small; whatever is large (pictures, the audio) is named as a stretch of the old
// file and never read into memory. None of these functions throws.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"

enum WritePlanKind {
  kPlanNothing,  // nothing to write: see the room's reason
  kPlanInPlace,  // the patches, over the file as it is
  kPlanNewFile,  // the spans, one after another, make the new file
};

// Part of the new file: `length` bytes of the old file from `from`, or of the plan's new
// bytes from `from`.
struct PlanSpan {
  uint64_t at;  // where it starts in the new file
  uint64_t from;
  uint64_t length;
  bool fromNew;
};

// `length` of the plan's new bytes from `from` go to file offset `at`.
struct PlanPatch {
  uint64_t at;
  size_t from;
  size_t length;
};

const uint64_t kNoRatingOffset = ~uint64_t{0};

struct WritePlan {
  WritePlanKind kind;
  int reason;  // the room's own reason (for the log and the tests)
  unsigned char* bytes;
  size_t byteCount;
  size_t byteCapacity;
  PlanPatch* patches;
  size_t patchCount;
  size_t patchCapacity;
  PlanSpan* spans;
  size_t spanCount;
  size_t spanCapacity;
  uint64_t newSize;  // of the new file (kPlanNewFile), of the file (kPlanInPlace)
  // Where the one byte stands that alone tells the rating in the new file (an ID3v2 POPM's
  // rating byte), so that a second choice can change it while the copy is being written;
  // kNoRatingOffset where the rating is text whose length depends on it.
  uint64_t ratingOffset;
  uint64_t oldSize;  // the file the plan was made for: carried out on no other
  // kPlanNothing: the file holds the rating already (no failure).
  bool alreadyStored;
  bool failed;  // memory ran short while the plan was made: it must not be carried out
};

// The largest new bytes one plan may hold: a room that would need more refuses.
const size_t kMaxPlanBytes = 1024u * 1024u;

// An empty plan (kPlanNothing).
void initWritePlan(WritePlan* plan);
void releaseWritePlan(WritePlan* plan);

// Appends to the plan's new bytes; returns where they start in them. On failure the plan
// is marked failed.
size_t addPlanBytes(WritePlan* plan, const unsigned char* bytes, size_t count);

// The new file goes on with `length` bytes of the old file from `from` (joined to the span
// before it when they follow on), or with `count` new bytes.
void addOldSpan(WritePlan* plan, uint64_t from, uint64_t length);
void addNewSpan(WritePlan* plan, const unsigned char* bytes, size_t count);

// The plan takes over `bytes` (malloc'd, `count` long) as its new bytes, which it must not
// have yet, and the new file goes on with all of them: for a tag made anew whole, which
// its own format bounds. On failure `bytes` is freed and the plan marked failed.
void adoptNewSpan(WritePlan* plan, unsigned char* bytes, size_t count);

// The same, adding no span: addAdoptedSpan then names stretches of them, for a tag made anew
// whole that does not start the new file (a WAV's ID3 chunk, its header in the same buffer).
void adoptPlanBytes(WritePlan* plan, unsigned char* bytes, size_t count);
// The new file goes on with `count` of the plan's new bytes from `from`, which it must hold.
void addAdoptedSpan(WritePlan* plan, size_t from, size_t count);

// `count` new bytes go to file offset `at`, in place.
void addPatch(WritePlan* plan, uint64_t at, const unsigned char* bytes, size_t count);

// The first span that ends after new-file offset `offset` (spans lie in order), by halves;
// spanCount when none does.
size_t firstSpanEndingAfter(const WritePlan& plan, uint64_t offset);

// The new file's size: the spans added up.
uint64_t planNewFileSize(const WritePlan& plan);

// An in-place plan as the new file it makes (spans over the old file of `fileSize` bytes
// with the patches put in), for when it cannot be written in place. The patches must lie
// in order, without overlap, within the file. False when memory is short.
bool inPlaceAsNewFile(WritePlan* plan, uint64_t fileSize);

// The new file a kPlanNewFile plan makes, or the file an in-place plan leaves, read before
// anything is written: so that a room can walk what it planned as it walks a file.
struct PlannedFile {
  const WritePlan* plan;
  ByteSource old;
};

// Reads through `planned`, which must outlive the source.
ByteSource plannedSource(const PlannedFile* planned);
