// SPDX-License-Identifier: LGPL-2.1-or-later
// A write plan carried out in memory for the tests: the bytes the file holds afterwards.
#pragma once

#include "rating/bytes/memory_source.h"
#include "rating/bytes/write_plan.h"
#include "support/tag_bytes.h"

inline Bytes bytesAfterPlan(const Bytes& old, const WritePlan& plan) {
  if (plan.kind == kPlanNothing) return old;
  const MemoryBytes memory = {old.data(), old.size()};
  const PlannedFile planned = {&plan, memorySource(&memory, old.size())};
  const ByteSource after = plannedSource(&planned);
  Bytes out(static_cast<size_t>(after.size));
  const size_t got = out.empty() ? 0 : after.readAt(after.file, 0, out.data(), out.size());
  out.resize(got);
  return out;
}
