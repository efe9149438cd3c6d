// SPDX-License-Identifier: LGPL-2.1-or-later
// What a planned write keeps; see plan_ranges.h.
#include "rating/bytes/plan_ranges.h"

namespace {

// The first patch that ends after `offset`, by halves (patches lie in order).
size_t firstPatchEndingAfter(const WritePlan& plan, uint64_t offset) {
  size_t low = 0;
  size_t high = plan.patchCount;
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    const PlanPatch& patch = plan.patches[middle];
    if (patch.at + patch.length <= offset)
      low = middle + 1;
    else
      high = middle;
  }
  return low;
}

}  // namespace

bool planKeepsOldRange(const WritePlan& plan, uint64_t newAt, uint64_t oldFrom, uint64_t length) {
  if (length == 0) return true;
  if (plan.kind == kPlanNothing) return newAt == oldFrom;
  if (plan.kind == kPlanInPlace) {
    if (newAt != oldFrom) return false;
    const size_t index = firstPatchEndingAfter(plan, newAt);
    return index == plan.patchCount || plan.patches[index].at >= newAt + length;
  }
  uint64_t at = newAt;
  uint64_t from = oldFrom;
  uint64_t left = length;
  for (size_t index = firstSpanEndingAfter(plan, at); left > 0; ++index) {
    if (index == plan.spanCount) return false;
    const PlanSpan& span = plan.spans[index];
    if (span.fromNew || span.at > at || span.from + (at - span.at) != from) return false;
    const uint64_t inSpan = span.length - (at - span.at);
    const uint64_t taken = inSpan < left ? inSpan : left;
    at += taken;
    from += taken;
    left -= taken;
  }
  return true;
}
