// SPDX-License-Identifier: LGPL-2.1-or-later
// A planned rating write; see write_plan.h.
#include "rating/bytes/write_plan.h"

#include <cstdlib>
#include <cstring>

namespace {

// Grows `*items` (of `size` bytes each) to hold `wanted`; false when memory is short.
bool makeRoom(void** items, size_t* capacity, size_t wanted, size_t size) {
  if (wanted <= *capacity) return true;
  size_t grown = *capacity < 16 ? 16 : *capacity * 2;
  while (grown < wanted) grown *= 2;
  if (grown > SIZE_MAX / size) return false;
  void* moved = std::realloc(*items, grown * size);
  if (moved == nullptr) return false;
  *items = moved;
  *capacity = grown;
  return true;
}

uint64_t endOfSpans(const WritePlan& plan) {
  if (plan.spanCount == 0) return 0;
  const PlanSpan& last = plan.spans[plan.spanCount - 1];
  return last.at + last.length;
}

void addSpan(WritePlan* plan, uint64_t from, uint64_t length, bool fromNew) {
  if (plan->failed || length == 0) return;
  if (plan->spanCount > 0) {
    PlanSpan* last = &plan->spans[plan->spanCount - 1];
    if (last->fromNew == fromNew && last->from + last->length == from) {
      last->length += length;
      return;
    }
  }
  void* spans = plan->spans;
  if (!makeRoom(&spans, &plan->spanCapacity, plan->spanCount + 1, sizeof(PlanSpan))) {
    plan->failed = true;
    return;
  }
  plan->spans = static_cast<PlanSpan*>(spans);
  plan->spans[plan->spanCount] = {endOfSpans(*plan), from, length, fromNew};
  ++plan->spanCount;
}

// The span that holds new-file offset `offset`; spanCount when none.
size_t spanAt(const WritePlan& plan, uint64_t offset) {
  const size_t index = firstSpanEndingAfter(plan, offset);
  return index < plan.spanCount && plan.spans[index].at <= offset ? index : plan.spanCount;
}

size_t readNewFile(const PlannedFile& planned, uint64_t offset, unsigned char* buffer, size_t count) {
  const WritePlan& plan = *planned.plan;
  size_t done = 0;
  size_t index = spanAt(plan, offset);
  while (done < count && index < plan.spanCount) {
    const PlanSpan& span = plan.spans[index];
    const uint64_t into = offset + done - span.at;
    const uint64_t left = span.length - into;
    const size_t piece = count - done < left ? count - done : static_cast<size_t>(left);
    if (span.fromNew) {
      std::memcpy(buffer + done, plan.bytes + span.from + into, piece);
    } else {
      const uint64_t from = span.from + into;
      if (from >= planned.old.size || planned.old.size - from < piece) return done;
      if (planned.old.readAt(planned.old.file, from, buffer + done, piece) != piece) return done;
    }
    done += piece;
    ++index;
  }
  return done;
}

size_t readPatchedFile(const PlannedFile& planned, uint64_t offset, unsigned char* buffer, size_t count) {
  const WritePlan& plan = *planned.plan;
  const size_t got = planned.old.readAt(planned.old.file, offset, buffer, count);
  if (got > count) return 0;
  for (size_t i = 0; i < plan.patchCount; ++i) {
    const PlanPatch& patch = plan.patches[i];
    const uint64_t start = patch.at > offset ? patch.at : offset;
    const uint64_t end = patch.at + patch.length < offset + got ? patch.at + patch.length : offset + got;
    if (start < end)
      std::memcpy(buffer + (start - offset), plan.bytes + patch.from + (start - patch.at),
                  static_cast<size_t>(end - start));
  }
  return got;
}

size_t readPlanned(void* file, uint64_t offset, unsigned char* buffer, size_t count) {
  const PlannedFile& planned = *static_cast<const PlannedFile*>(file);
  if (planned.plan->kind == kPlanNewFile) return readNewFile(planned, offset, buffer, count);
  return readPatchedFile(planned, offset, buffer, count);
}

}  // namespace

size_t firstSpanEndingAfter(const WritePlan& plan, uint64_t offset) {
  size_t low = 0;
  size_t high = plan.spanCount;
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    const PlanSpan& span = plan.spans[middle];
    if (span.at + span.length <= offset)
      low = middle + 1;
    else
      high = middle;
  }
  return low;
}

void initWritePlan(WritePlan* plan) {
  std::memset(plan, 0, sizeof *plan);
  plan->kind = kPlanNothing;
  plan->ratingOffset = kNoRatingOffset;
}

void releaseWritePlan(WritePlan* plan) {
  std::free(plan->bytes);
  std::free(plan->patches);
  std::free(plan->spans);
  initWritePlan(plan);
}

size_t addPlanBytes(WritePlan* plan, const unsigned char* bytes, size_t count) {
  const size_t at = plan->byteCount;
  if (plan->failed || count == 0) return at;
  void* buffer = plan->bytes;
  if (count > kMaxPlanBytes - plan->byteCount ||
      !makeRoom(&buffer, &plan->byteCapacity, plan->byteCount + count, 1)) {
    plan->failed = true;
    return at;
  }
  plan->bytes = static_cast<unsigned char*>(buffer);
  std::memcpy(plan->bytes + at, bytes, count);
  plan->byteCount += count;
  return at;
}

void addOldSpan(WritePlan* plan, uint64_t from, uint64_t length) { addSpan(plan, from, length, false); }

void addNewSpan(WritePlan* plan, const unsigned char* bytes, size_t count) {
  const size_t at = addPlanBytes(plan, bytes, count);
  addSpan(plan, at, count, true);
}

void adoptPlanBytes(WritePlan* plan, unsigned char* bytes, size_t count) {
  if (plan->failed || plan->bytes != nullptr) {
    std::free(bytes);
    plan->failed = true;
    return;
  }
  plan->bytes = bytes;
  plan->byteCount = count;
  plan->byteCapacity = count;
}

void adoptNewSpan(WritePlan* plan, unsigned char* bytes, size_t count) {
  adoptPlanBytes(plan, bytes, count);
  addSpan(plan, 0, count, true);
}

void addAdoptedSpan(WritePlan* plan, size_t from, size_t count) {
  if (from > plan->byteCount || count > plan->byteCount - from) {
    plan->failed = true;
    return;
  }
  addSpan(plan, from, count, true);
}

void addPatch(WritePlan* plan, uint64_t at, const unsigned char* bytes, size_t count) {
  if (plan->failed || count == 0) return;
  const size_t from = addPlanBytes(plan, bytes, count);
  void* patches = plan->patches;
  if (plan->failed || !makeRoom(&patches, &plan->patchCapacity, plan->patchCount + 1, sizeof(PlanPatch))) {
    plan->failed = true;
    return;
  }
  plan->patches = static_cast<PlanPatch*>(patches);
  plan->patches[plan->patchCount++] = {at, from, count};
}

uint64_t planNewFileSize(const WritePlan& plan) { return endOfSpans(plan); }

bool inPlaceAsNewFile(WritePlan* plan, uint64_t fileSize) {
  uint64_t at = 0;
  for (size_t i = 0; i < plan->patchCount; ++i) {
    const PlanPatch patch = plan->patches[i];
    if (patch.at < at || patch.at > fileSize || fileSize - patch.at < patch.length) return false;
    addOldSpan(plan, at, patch.at - at);
    addSpan(plan, patch.from, patch.length, true);
    at = patch.at + patch.length;
  }
  addOldSpan(plan, at, fileSize - at);
  if (plan->failed) return false;
  plan->patchCount = 0;
  plan->kind = kPlanNewFile;
  plan->newSize = planNewFileSize(*plan);
  return true;
}

ByteSource plannedSource(const PlannedFile* planned) {
  const uint64_t size = planned->plan->kind == kPlanNewFile ? planNewFileSize(*planned->plan) : planned->old.size;
  return {const_cast<PlannedFile*>(planned), size, readPlanned};
}
