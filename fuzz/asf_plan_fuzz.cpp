// SPDX-License-Identifier: LGPL-2.1-or-later
// libFuzzer target over the WMA (ASF) room: readAsfStars and planAsfWrite on any bytes (the last
// byte mod 6 is the star count), the plan carried out in memory and judged by the tests' own
// walk (tests/support/asf_bytes.h). It fails when a plan that writes was made for a file whose
// sizes and counts do not add up, or leaves one that does not read the rating back (by the room
// and by the tests' thresholds, every rating attribute the DWORD written, none for 0 stars),
// would change again when planned again, whose sizes and counts do not add up, that loses or
// changes any other object or attribute, the File Properties but for the file's size (which
// follows the file's length when that changes) or a byte of the Data object and what follows
// it; when a plan of nothing carries anything or comes from the room's own check refusing a
// plan it made; when the room reads a rating the tests' walk does not; and when any read asks
// for more than a window.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rating/asf/asf_file.h"
#include "rating/bytes/source_window.h"
#include "rating/bytes/write_plan.h"
#include "support/asf_bytes.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "asf plan oracle failed: %s\n", what);
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
    require(after.readAt(after.file, done, out.data() + done, piece) == piece,
            "the planned file cannot be read");
    done += piece;
  }
  return out;
}

void judgeWrite(const Bytes& old, const WritePlan& plan, int stars, int read) {
  require(plan.oldSize == old.size(), "a plan for another size");
  require(plan.byteCount < kMaxPlanBytes, "too many new bytes");
  require(plan.ratingOffset == kNoRatingOffset, "a rating offset for a rating of several bytes");
  if (plan.kind == kPlanInPlace) {
    uint64_t patched = 0;
    for (size_t i = 0; i < plan.patchCount; ++i) patched += plan.patches[i].length;
    require(patched <= kAsfMaxPatchBytes, "in-place patches too wide");
  }
  const TestWma before = testWma(old);
  require(before.sound, "a write to a file whose sizes or counts do not add up");
  require(testWmaStars(before) == read, "the room reads another rating than the tests");

  const Bytes after = carryOut(old, plan);
  require(after.size() == plan.newSize, "the new size is not the planned one");
  require(plan.kind != kPlanInPlace || after.size() == old.size(), "in place, the size changed");
  require(readAsfStars(sourceOf(after)) == stars, "the rating does not read back");

  WritePlan again;
  initWritePlan(&again);
  planAsfWrite(sourceOf(after), stars, &again);
  require(again.kind == kPlanNothing && again.alreadyStored, "planned again, it would change");
  releaseWritePlan(&again);

  const TestWma now = testWma(after);
  require(now.sound, "the sizes or counts do not add up");
  require(testWmaStars(now) == stars, "the rating does not read back by the tests' thresholds");
  require(stars > 0 || now.ratings.empty(), "a rating attribute left at 0 stars");
  for (const TestAttribute& rating : now.ratings)
    require(rating.type == 3 && rating.value == le(kAsfRatingValues[stars], 4),
            "a rating attribute that is not the DWORD written");
  require(now.kept == before.kept, "an object or attribute other than the rating changed");
  require(now.dataAndAfter == before.dataAndAfter, "the data packets or the indexes changed");
  require(now.fileSizeField == (after.size() != old.size() ? after.size() : before.fileSizeField),
          "the File Properties' file size does not follow");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes file(data, data + size);
  const ByteSource source = sourceOf(file);
  const int read = readAsfStars(source);
  require(read >= 0 && read <= 5, "a star count outside 0..5");
  const int stars = size > 0 ? data[size - 1] % 6 : 0;
  WritePlan plan;
  initWritePlan(&plan);
  planAsfWrite(source, stars, &plan);
  require(!plan.failed, "a failed plan handed over");
  // The room's own last look refuses only what its planning should never make.
  require(plan.reason != kAsfPlanNotConfirmed, "the room made a plan its own check refused");
  require(plan.reason != kAsfMemoryShort, "memory short on a small file");
  if (plan.kind == kPlanNothing) {
    require(plan.spanCount == 0 && plan.patchCount == 0 && plan.byteCount == 0,
            "a plan of nothing holds bytes");
    require(!plan.alreadyStored || read == stars, "already stored, but it reads otherwise");
    require(plan.alreadyStored == (plan.reason == kAsfAlreadyStored), "already stored for another reason");
    if (plan.alreadyStored)
      require(testWmaStars(testWma(file)) == read, "the room reads another rating than the tests");
  } else {
    judgeWrite(file, plan, stars, read);
  }
  releaseWritePlan(&plan);
  return 0;
}
