// SPDX-License-Identifier: LGPL-2.1-or-later
// libFuzzer target over the MP4 room: readMp4Stars and planMp4Write on any bytes (the last
// byte mod 6 is the star count), the plan carried out in memory and judged by the tests'
// own atom walk (tests/support/mp4_bytes.h). It fails when a plan that writes leaves a file
// that does not read the rating back, would change again when planned again, whose atoms do
// not add up to its size, that loses or changes an atom other than the rating items and
// `free` room (every `mdat` among them), or whose chunk offsets no longer point at the same
// bytes; when a plan of nothing carries anything or comes from the room's own check refusing
// a plan it made; and when any read asks for more than a window.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rating/bytes/source_window.h"
#include "rating/bytes/write_plan.h"
#include "rating/mp4/mp4_file.h"
#include "support/mp4_bytes.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "mp4 plan oracle failed: %s\n", what);
  std::abort();
}

// A source over memory whose reads may never be larger than a window.
size_t readWindowed(void* file, uint64_t offset, unsigned char* buffer, size_t count) {
  require(count <= kSourceWindowSize, "a read larger than a window");
  const Bytes& bytes = *static_cast<const Bytes*>(file);
  if (offset >= bytes.size()) return 0;
  const size_t copied = count < bytes.size() - offset ? count : static_cast<size_t>(bytes.size() - offset);
  std::memcpy(buffer, bytes.data() + offset, copied);
  return copied;
}

ByteSource sourceOf(const Bytes& bytes) { return {const_cast<Bytes*>(&bytes), bytes.size(), readWindowed}; }

Bytes carryOut(const Bytes& old, const WritePlan& plan) {
  const PlannedFile planned = {&plan, sourceOf(old)};
  const ByteSource after = plannedSource(&planned);
  Bytes out(static_cast<size_t>(after.size));
  size_t done = 0;
  while (done < out.size()) {
    const size_t piece = out.size() - done < kSourceWindowSize ? out.size() - done : kSourceWindowSize;
    const size_t got = after.readAt(after.file, done, out.data() + done, piece);
    require(got == piece, "the planned file cannot be read");
    done += piece;
  }
  return out;
}

size_t topLevelSizes(const Bytes& file) {
  size_t total = 0;
  for (const TestAtom& a : testAtoms(file, 0, file.size())) total += a.size;
  return total;
}

// The bytes a chunk offset points at: up to 16 of them, within its `mdat`.
Bytes chunkStart(const Bytes& file, uint64_t offset) {
  for (const TestAtom& a : testAtoms(file, 0, file.size())) {
    if (a.type != "mdat" || offset < a.offset + a.header || offset >= a.offset + a.size) continue;
    const size_t end = std::min<size_t>(a.offset + a.size, static_cast<size_t>(offset) + 16);
    return Bytes(file.begin() + static_cast<long>(offset), file.begin() + static_cast<long>(end));
  }
  return {};
}

void judgeWrite(const Bytes& old, const WritePlan& plan, int stars) {
  require(plan.oldSize == old.size(), "a plan for another size");
  require(plan.byteCount < kMaxPlanBytes, "too many new bytes");
  require(plan.ratingOffset == kNoRatingOffset, "a rating offset for a text rating");
  if (plan.kind == kPlanInPlace) {
    uint64_t patched = 0;
    for (size_t i = 0; i < plan.patchCount; ++i) patched += plan.patches[i].length;
    require(patched <= kMp4MaxPatchBytes, "in-place patches too wide");
  }
  const Bytes after = carryOut(old, plan);
  require(after.size() == plan.newSize, "the new size is not the planned one");
  require(plan.kind != kPlanInPlace || after.size() == old.size(), "in place, the size changed");
  require(readMp4Stars(sourceOf(after)) == stars, "the rating does not read back");

  WritePlan again;
  initWritePlan(&again);
  planMp4Write(sourceOf(after), stars, &again);
  require(again.kind == kPlanNothing && again.alreadyStored, "planned again, it would change");
  releaseWritePlan(&again);

  require(topLevelSizes(old) == old.size() && topLevelSizes(after) == after.size(),
          "the atoms do not add up to the file");
  std::vector<Bytes> keptBefore;
  std::vector<Bytes> keptAfter;
  keptLeaves(old, 0, old.size(), &keptBefore);
  keptLeaves(after, 0, after.size(), &keptAfter);
  require(keptBefore == keptAfter, "an atom other than the rating items and free room changed");
  const std::vector<uint64_t> offsetsBefore = chunkOffsets(old);
  const std::vector<uint64_t> offsetsAfter = chunkOffsets(after);
  require(offsetsBefore.size() == offsetsAfter.size(), "chunk offsets lost or added");
  for (size_t i = 0; i < offsetsBefore.size(); ++i)
    require(!chunkStart(old, offsetsBefore[i]).empty() &&
                chunkStart(old, offsetsBefore[i]) == chunkStart(after, offsetsAfter[i]),
            "a chunk offset points at other bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes file(data, data + size);
  const ByteSource source = sourceOf(file);
  const int read = readMp4Stars(source);
  require(read >= 0 && read <= 5, "a star count outside 0..5");
  const int stars = size > 0 ? data[size - 1] % 6 : 0;
  WritePlan plan;
  initWritePlan(&plan);
  planMp4Write(source, stars, &plan);
  require(!plan.failed, "a failed plan handed over");
  // The room's own last look refuses only what its planning should never make.
  require(plan.reason != kMp4PlanNotConfirmed, "the room made a plan its own check refused");
  require(plan.reason != kMp4MemoryShort, "memory short on a small file");
  if (plan.kind == kPlanNothing) {
    require(plan.spanCount == 0 && plan.patchCount == 0 && plan.byteCount == 0,
            "a plan of nothing holds bytes");
    require(!plan.alreadyStored || read == stars, "already stored, but it reads otherwise");
    require(plan.alreadyStored == (plan.reason == kMp4AlreadyStored), "already stored for another reason");
  } else {
    judgeWrite(file, plan, stars);
  }
  releaseWritePlan(&plan);
  return 0;
}
