// SPDX-License-Identifier: LGPL-2.1-or-later
// libFuzzer target over the FLAC room: readFlacStars and planFlacWrite on any bytes (the last
// byte mod 6 is the star count), the plan carried out in memory and judged by a walk of this
// target's own. It fails when a plan that writes leaves a file that does not read the rating
// back, would change again when planned again, has other bytes before "fLaC", loses or
// changes a block other than the comment and padding, changes the audio, holds other than
// one comment block, or changes the comment's vendor or any field that is no rating field;
// when a plan of nothing carries anything or comes from the room's own check refusing a plan
// it made; and when any read asks for more than a window.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rating/bytes/memory_source.h"
#include "rating/bytes/source_window.h"
#include "rating/bytes/write_plan.h"
#include "rating/flac/flac_file.h"

namespace {

using Bytes = std::vector<unsigned char>;

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "flac plan oracle failed: %s\n", what);
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

ByteSource sourceOf(const Bytes& bytes) {
  return {const_cast<Bytes*>(&bytes), bytes.size(), readWindowed};
}

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

struct Block {
  unsigned char type;
  bool last;
  Bytes body;
};

struct Walked {
  bool sound;
  Bytes before;  // what stands before the blocks: ID3v2 tags and "fLaC"
  std::vector<Block> blocks;
  Bytes audio;
};

uint32_t bigEndian24(const unsigned char* bytes) { return uint32_t{bytes[0]} << 16 | bytes[1] << 8 | bytes[2]; }

// This target's own walk: ID3v2 tags, "fLaC", blocks up to the flagged one inside the file.
Walked walk(const Bytes& file) {
  Walked walked = {false, {}, {}, {}};
  size_t at = 0;
  while (file.size() - at >= 10 && std::memcmp(file.data() + at, "ID3", 3) == 0) {
    const unsigned char* h = file.data() + at;
    at += 10 + (size_t{h[6]} << 21 | size_t{h[7]} << 14 | size_t{h[8]} << 7 | h[9]) +
          (h[3] == 4 && (h[5] & 0x10) ? 10 : 0);
    if (at > file.size()) return walked;
  }
  if (file.size() - at < 4 || std::memcmp(file.data() + at, "fLaC", 4) != 0) return walked;
  at += 4;
  walked.before.assign(file.begin(), file.begin() + static_cast<long>(at));
  for (bool last = false; !last;) {
    if (file.size() - at < 4) return walked;
    last = (file[at] & 0x80) != 0;
    const size_t length = bigEndian24(file.data() + at + 1);
    if (file.size() - at - 4 < length) return walked;
    walked.blocks.push_back({static_cast<unsigned char>(file[at] & 0x7F), last,
                             Bytes(file.begin() + static_cast<long>(at + 4),
                                   file.begin() + static_cast<long>(at + 4 + length))});
    at += 4 + length;
  }
  walked.audio.assign(file.begin() + static_cast<long>(at), file.end());
  walked.sound = true;
  return walked;
}

bool isRatingName(const std::string& name) {
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return lower == "rating" || lower == "fmps_rating" || lower.compare(0, 7, "rating:") == 0;
}

struct Comment {
  bool sound;
  std::string vendor;
  std::vector<std::string> others;  // the fields that are no rating field, in order
};

uint32_t littleEndian32(const unsigned char* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

Comment parseComment(const Bytes& body) {
  Comment comment = {false, {}, {}};
  size_t at = 0;
  auto take = [&](size_t count, std::string* out) {
    if (body.size() - at < count) return false;
    if (out != nullptr) out->assign(body.begin() + static_cast<long>(at), body.begin() + static_cast<long>(at + count));
    at += count;
    return true;
  };
  if (body.size() < 4) return comment;
  const uint32_t vendorLength = littleEndian32(body.data());
  at = 4;
  if (!take(vendorLength, &comment.vendor) || body.size() - at < 4) return comment;
  const uint32_t count = littleEndian32(body.data() + at);
  at += 4;
  for (uint32_t i = 0; i < count; ++i) {
    if (body.size() - at < 4) return comment;
    const uint32_t length = littleEndian32(body.data() + at);
    at += 4;
    std::string field;
    if (!take(length, &field)) return comment;
    const size_t equals = field.find('=');
    if (equals == std::string::npos || !isRatingName(field.substr(0, equals))) comment.others.push_back(field);
  }
  comment.sound = true;
  return comment;
}

const Block* commentOf(const Walked& walked, size_t* count) {
  const Block* found = nullptr;
  *count = 0;
  for (const Block& block : walked.blocks) {
    if (block.type != 4) continue;
    ++*count;
    if (found == nullptr) found = &block;
  }
  return found;
}

void judgeWrite(const Bytes& old, const WritePlan& plan, int stars) {
  require(plan.oldSize == old.size(), "a plan for another size");
  require(plan.byteCount < kMaxPlanBytes, "too many new bytes");
  require(plan.ratingOffset == kNoRatingOffset, "a rating offset for a text rating");
  if (plan.kind == kPlanInPlace) {
    uint64_t patched = 0;
    for (size_t i = 0; i < plan.patchCount; ++i) patched += plan.patches[i].length;
    require(patched <= kFlacMaxPatchBytes, "in-place patches too wide");
  }
  const Bytes after = carryOut(old, plan);
  require(after.size() == plan.newSize, "the new size is not the planned one");
  require(plan.kind != kPlanInPlace || after.size() == old.size(), "in place, the size changed");
  require(readFlacStars(sourceOf(after)) == stars, "the rating does not read back");

  WritePlan again;
  initWritePlan(&again);
  planFlacWrite(sourceOf(after), stars, &again);
  require(again.kind == kPlanNothing && again.alreadyStored, "planned again, it would change");
  releaseWritePlan(&again);

  const Walked before = walk(old);
  const Walked now = walk(after);
  require(before.sound && now.sound, "a walk of the old or the new file broke off");
  require(now.before == before.before, "bytes before the blocks changed");
  require(now.audio == before.audio, "the audio changed");
  std::vector<const Block*> keptBefore;
  std::vector<const Block*> keptAfter;
  for (const Block& block : before.blocks)
    if (block.type != 1 && block.type != 4) keptBefore.push_back(&block);
  for (const Block& block : now.blocks)
    if (block.type != 1 && block.type != 4) keptAfter.push_back(&block);
  require(keptBefore.size() == keptAfter.size(), "blocks were lost or added");
  for (size_t i = 0; i < keptBefore.size(); ++i)
    require(keptBefore[i]->type == keptAfter[i]->type && keptBefore[i]->body == keptAfter[i]->body,
            "a block other than the comment and padding changed");

  size_t oldComments = 0;
  size_t newComments = 0;
  const Block* oldComment = commentOf(before, &oldComments);
  const Block* newComment = commentOf(now, &newComments);
  require(newComments == 1, "not one comment block");
  const Comment made = parseComment(newComment->body);
  require(made.sound, "the new comment does not parse");
  if (oldComment != nullptr) {
    const Comment kept = parseComment(oldComment->body);
    require(kept.sound, "a write planned on a comment that does not parse");
    require(kept.vendor == made.vendor, "the vendor string changed");
    require(kept.others == made.others, "a field other than the rating changed");
  } else {
    require(made.others.empty(), "a new comment holds other fields");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes file(data, data + size);
  const ByteSource source = sourceOf(file);
  const int read = readFlacStars(source);
  require(read >= 0 && read <= 5, "a star count outside 0..5");
  const int stars = size > 0 ? data[size - 1] % 6 : 0;
  WritePlan plan;
  initWritePlan(&plan);
  planFlacWrite(source, stars, &plan);
  require(!plan.failed, "a failed plan handed over");
  // The room's own last look refuses only what its planning should never make.
  require(plan.reason != kFlacPlanNotConfirmed, "the room made a plan its own check refused");
  require(plan.reason != kFlacMemoryShort, "memory short on a small file");
  if (plan.kind == kPlanNothing) {
    require(plan.spanCount == 0 && plan.patchCount == 0 && plan.byteCount == 0, "a plan of nothing holds bytes");
    require(!plan.alreadyStored || read == stars, "already stored, but it reads otherwise");
    require(plan.alreadyStored == (plan.reason == kFlacAlreadyStored), "already stored for another reason");
  } else {
    judgeWrite(file, plan, stars);
  }
  releaseWritePlan(&plan);
  return 0;
}
