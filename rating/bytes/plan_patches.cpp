// SPDX-License-Identifier: LGPL-2.1-or-later
// Spans turned into patches in place; see plan_patches.h.
#include "rating/bytes/plan_patches.h"

#include <cstring>

#include "rating/bytes/source_window.h"

namespace {

// Equal bytes shorter than this between two differing runs are written with them: one
// patch instead of two.
const size_t kJoinGap = 16;
const size_t kPiece = 4096;
// Patches beyond this many are refused however few bytes they hold: the list stays small.
const size_t kMaxPatches = 4096;

struct Differ {
  SourceWindow current;  // the file as it is
  uint64_t patched;      // bytes patched so far
  uint64_t maxBytes;
  WritePlan* patches;
};

// Patches the runs of `wanted` (at file offset `at`) that differ from the file.
bool patchDifferences(Differ* differ, uint64_t at, const unsigned char* wanted, size_t length) {
  const unsigned char* now = windowBytes(&differ->current, at, length, kPiece);
  if (now == nullptr) return false;
  size_t i = 0;
  while (i < length) {
    while (i < length && wanted[i] == now[i]) ++i;
    if (i == length) break;
    const size_t runStart = i;
    size_t runEnd = i;
    while (i < length) {
      if (wanted[i] != now[i]) {
        runEnd = ++i;
        continue;
      }
      size_t same = i;
      while (same < length && wanted[same] == now[same] && same - i < kJoinGap) ++same;
      if (same == length || same - i >= kJoinGap) break;
      i = same;
    }
    differ->patched += runEnd - runStart;
    if (differ->patched > differ->maxBytes || differ->patches->patchCount >= kMaxPatches) return false;
    addPatch(differ->patches, at + runStart, wanted + runStart, runEnd - runStart);
    i = runEnd;
  }
  return !differ->patches->failed;
}

}  // namespace

bool patchesFromSpans(const ByteSource& file, const WritePlan& spans, uint64_t maxBytes, WritePlan* patches) {
  if (planNewFileSize(spans) != file.size) return false;
  Differ differ;
  openWindow(&differ.current, file);
  differ.patched = 0;
  differ.maxBytes = maxBytes;
  differ.patches = patches;
  SourceWindow moved;
  openWindow(&moved, file);
  unsigned char wanted[kPiece];
  for (size_t index = 0; index < spans.spanCount; ++index) {
    const PlanSpan& span = spans.spans[index];
    if (!span.fromNew && span.from == span.at) continue;
    for (uint64_t done = 0; done < span.length;) {
      const size_t piece = span.length - done < kPiece ? static_cast<size_t>(span.length - done) : kPiece;
      if (span.fromNew) {
        std::memcpy(wanted, spans.bytes + span.from + done, piece);
      } else {
        const unsigned char* old = windowBytes(&moved, span.from + done, piece, kPiece);
        if (old == nullptr) return false;
        std::memcpy(wanted, old, piece);
      }
      if (!patchDifferences(&differ, span.at + done, wanted, piece)) return false;
      done += piece;
    }
  }
  return true;
}
