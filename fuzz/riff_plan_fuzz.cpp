// SPDX-License-Identifier: LGPL-2.1-or-later
// libFuzzer target over the WAV and AIFF room: readChunkedStars and planChunkedWrite on any
// bytes (the last byte mod 6 is the star count), the plan carried out in memory and judged by
// the tests' own chunk walk (tests/support/riff_bytes.h). It fails when a plan that writes
// leaves a file whose form size is not its size less 8 (in place, one less may stay, where
// the old form's size left out its odd last chunk's pad byte), whose chunks do not fill the
// form, that holds other than one ID3 chunk, that changes, loses, adds or reorders any other
// chunk, that does not read the rating back (at the planned rating offset too) or would change
// again when planned again; when a plan writes a file whose old ID3 chunk's tag claims more
// than the chunk, or whose old form size disagrees with its size; when a plan of nothing
// carries anything or comes from the room's own check refusing a plan it made; and when any
// read asks for more than a window.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rating/bytes/source_window.h"
#include "rating/bytes/write_plan.h"
#include "rating/rating.h"
#include "rating/riff/riff_file.h"
#include "tests/support/riff_bytes.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "riff plan oracle failed: %s\n", what);
  std::abort();
}

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
    require(after.readAt(after.file, done, out.data() + done, piece) == piece, "the planned file cannot be read");
    done += piece;
  }
  return out;
}

// The ID3 chunk's tag claims no more than the chunk holds.
bool tagFits(const WalkedChunk& chunk) {
  const unsigned char* h = chunk.whole.data() + 8;
  if (chunk.dataSize < 10) return false;
  const size_t claimed = 10 + (size_t{h[6]} << 21 | size_t{h[7]} << 14 | size_t{h[8]} << 7 | h[9]) +
                         (h[3] == 4 && (h[5] & 0x10) ? 10 : 0);
  return claimed <= chunk.dataSize;
}

void judgeWrite(const Bytes& old, const WritePlan& plan, int stars) {
  require(plan.oldSize == old.size(), "a plan for another size");
  const WalkedChunks before = walkChunks(old);
  require((before.formSizeRight || before.padLeftOut) && before.filled,
          "a write to a file whose sizes do not add up");
  size_t oldTags = 0;
  for (const WalkedChunk& chunk : before.chunks) {
    if (!isId3Chunk(chunk)) continue;
    ++oldTags;
    require(tagFits(chunk), "a write to a tag that claims more than its chunk");
  }
  require(oldTags <= 1, "a write to a file of two ID3 chunks");

  const Bytes after = carryOut(old, plan);
  require(after.size() == plan.newSize, "the new size is not the planned one");
  require(plan.kind != kPlanInPlace || after.size() == old.size(), "in place, the size changed");
  require(readChunkedStars(sourceOf(after)) == stars, "the rating does not read back");
  if (plan.kind == kPlanNewFile) {
    require(plan.ratingOffset < after.size() && after[plan.ratingOffset] == RatingScale[stars],
            "the rating offset does not hold the rating byte");
  }
  require(std::memcmp(after.data(), old.data(), 4) == 0 && std::memcmp(after.data() + 8, old.data() + 8, 4) == 0,
          "the form's ID or type changed");

  WritePlan again;
  initWritePlan(&again);
  planChunkedWrite(sourceOf(after), stars, &again);
  require(again.kind == kPlanNothing && again.alreadyStored, "planned again, it would change");
  releaseWritePlan(&again);

  const WalkedChunks now = walkChunks(after);
  // In place, a form size that left out the last pad byte stays as it was; a new file counts it.
  require(now.formSizeRight || (plan.kind == kPlanInPlace && before.padLeftOut && now.padLeftOut),
          "the form's size is not the file's less 8");
  require(now.filled, "the chunks do not fill the new file");
  std::vector<const WalkedChunk*> keptBefore;
  std::vector<const WalkedChunk*> keptAfter;
  for (const WalkedChunk& chunk : before.chunks)
    if (!isId3Chunk(chunk)) keptBefore.push_back(&chunk);
  size_t tags = 0;
  for (const WalkedChunk& chunk : now.chunks) {
    if (isId3Chunk(chunk)) {
      ++tags;
      require(tagFits(chunk), "the new tag claims more than its chunk");
      // In place, the pad byte is the old one, whatever it holds.
      require(plan.kind == kPlanInPlace || chunk.dataSize % 2 == 0 || chunk.whole.back() == 0x00,
              "the new pad byte is not zero");
    } else {
      keptAfter.push_back(&chunk);
    }
  }
  require(tags == 1, "not one ID3 chunk");
  require(keptBefore.size() == keptAfter.size(), "chunks were lost or added");
  for (size_t i = 0; i < keptBefore.size(); ++i)
    require(keptBefore[i]->whole == keptAfter[i]->whole, "a chunk other than the ID3 one changed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes file(data, data + size);
  const ByteSource source = sourceOf(file);
  const int read = readChunkedStars(source);
  require(read >= 0 && read <= 5, "a star count outside 0..5");
  const int stars = size > 0 ? data[size - 1] % 6 : 0;
  WritePlan plan;
  initWritePlan(&plan);
  planChunkedWrite(source, stars, &plan);
  require(!plan.failed, "a failed plan handed over");
  require(plan.reason != kChunkedPlanNotConfirmed, "the room made a plan its own check refused");
  require(plan.reason != kChunkedMemoryShort, "memory short on a small file");
  if (plan.kind == kPlanNothing) {
    require(plan.spanCount == 0 && plan.patchCount == 0 && plan.byteCount == 0, "a plan of nothing holds bytes");
    require(!plan.alreadyStored || read == stars, "already stored, but it reads otherwise");
    require(plan.alreadyStored == (plan.reason == kChunkedAlreadyStored), "already stored for another reason");
  } else {
    judgeWrite(file, plan, stars);
  }
  releaseWritePlan(&plan);
  return 0;
}
