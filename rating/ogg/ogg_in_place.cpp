// SPDX-License-Identifier: LGPL-2.1-or-later
// A same-size new-file plan as patches; see ogg_in_place.h.
#include "rating/ogg/ogg_in_place.h"

#include <cstring>

#include "rating/bytes/source_window.h"

namespace {

const size_t kPiece = 4096;
// Equal bytes between two differences that are written over anyway, for fewer patches.
const size_t kJoinGap = 8;

struct PendingPatch {
  uint64_t start;
  uint64_t end;  // start == end: none
};

// Patches [start, end) with the new file's bytes there, in pieces.
bool flushPatch(const ByteSource& planned, PendingPatch* pending, WritePlan* inPlace) {
  unsigned char bytes[kPiece];
  for (uint64_t at = pending->start; at < pending->end;) {
    const size_t piece = pending->end - at < kPiece ? static_cast<size_t>(pending->end - at) : kPiece;
    if (readSourceAt(planned, at, bytes, piece) != piece) return false;
    addPatch(inPlace, at, bytes, piece);
    at += piece;
  }
  pending->start = pending->end;
  return !inPlace->failed && inPlace->byteCount <= kOggMaxPatchBytes;
}

}  // namespace

bool oggPatchesForNewFile(const ByteSource& file, const WritePlan& newFile, WritePlan* inPlace) {
  if (newFile.kind != kPlanNewFile || planNewFileSize(newFile) != file.size) return false;
  const PlannedFile plannedFile = {&newFile, file};
  const ByteSource planned = plannedSource(&plannedFile);
  PendingPatch pending = {0, 0};
  unsigned char before[kPiece];
  unsigned char after[kPiece];
  for (size_t i = 0; i < newFile.spanCount; ++i) {
    const PlanSpan& span = newFile.spans[i];
    if (!span.fromNew && span.from == span.at) continue;  // the old bytes where they were
    for (uint64_t at = span.at; at < span.at + span.length;) {
      const uint64_t left = span.at + span.length - at;
      const size_t piece = left < kPiece ? static_cast<size_t>(left) : kPiece;
      if (readSourceAt(file, at, before, piece) != piece || readSourceAt(planned, at, after, piece) != piece)
        return false;
      for (size_t j = 0; j < piece; ++j) {
        if (before[j] == after[j]) continue;
        const uint64_t differs = at + j;
        if (pending.start != pending.end && differs - pending.end > kJoinGap &&
            !flushPatch(planned, &pending, inPlace))
          return false;
        if (pending.start == pending.end) pending.start = differs;
        pending.end = differs + 1;
      }
      at += piece;
    }
  }
  if (pending.start != pending.end && !flushPatch(planned, &pending, inPlace)) return false;
  inPlace->kind = kPlanInPlace;
  inPlace->newSize = file.size;
  return true;
}
