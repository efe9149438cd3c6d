// SPDX-License-Identifier: LGPL-2.1-or-later
// libFuzzer target over the Ogg room: the input is an Ogg file's bytes (or describes one, see
// describedFile), the star count comes from its last byte, which also says whether every
// page's CRC is set right first. readOggStars and planOggWrite run on it, and the plan is carried out in
// memory. Nothing planned: nothing changes, and a rating said to be stored already reads as
// such. Otherwise the file it makes is walked by the tests' own page walker
// (tests/support/ogg_bytes.h, which shares no code with the room): every page parses, as many
// as before, in the same sequence and stream; every page that changed has a valid CRC; every
// packet but the comment is the same; the audio pages are byte for byte the same (granules
// with them); the rating reads back; an in-place plan keeps the size; and a second plan with
// the same stars finds the rating stored already.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "rating/bytes/memory_source.h"
#include "rating/bytes/write_plan.h"
#include "rating/ogg/ogg_file.h"
#include "tests/support/ogg_bytes.h"

namespace {

void require(bool condition, const char* what, const WritePlan& plan) {
  if (condition) return;
  std::fprintf(stderr, "ogg plan oracle failed: %s (plan: %s, kind %d)\n", what, oggWriteReasonName(plan.reason),
               static_cast<int>(plan.kind));
  std::abort();
}

int readStars(const Bytes& file) {
  const MemoryBytes memory = {file.data(), file.size()};
  return readOggStars(memorySource(&memory, file.size()));
}

// The index of the first page after the header packets (`headerPackets` of them), or the page count.
size_t firstAudioPage(const Bytes& file, const std::vector<WalkedPage>& pages, size_t headerPackets) {
  size_t packets = 0;
  for (size_t i = 0; i < pages.size(); ++i) {
    const size_t segments = file[pages[i].offset + 26];
    for (size_t j = 0; j < segments; ++j) packets += file[pages[i].offset + 27 + j] < 255;
    if (packets >= headerPackets) return i + 1;
  }
  return pages.size();
}

// Sets the CRC of every page that parses, so that mutations reach past the CRC checks into
// the lacing, the packets and the comment.
void setPageCrcs(Bytes* file) {
  for (size_t at = 0; file->size() - at >= 27 && std::equal(file->begin() + at, file->begin() + at + 4, "OggS");) {
    const size_t segments = (*file)[at + 26];
    if (file->size() - at < 27 + segments) return;
    size_t length = 27 + segments;
    for (size_t i = 0; i < segments; ++i) length += (*file)[at + 27 + i];
    if (file->size() - at < length) return;
    Bytes page(file->begin() + at, file->begin() + at + length);
    std::fill(page.begin() + 22, page.begin() + 26, 0);
    const Bytes crc = oggLittleEndian(oggCrc(page), 4);
    std::copy(crc.begin(), crc.end(), file->begin() + at + 22);
    at += length;
  }
}

// An input that does not start as an Ogg file describes one, so that the fuzzer reaches the
// comment and the pagination without having to find page structure and CRCs: byte 0 picks
// Vorbis or Opus, byte 1 the most lacing values a header page holds, byte 2 the bytes after
// the fields (slack, padding, or binary data when odd), the rest is the comment as stored.
Bytes describedFile(const uint8_t* data, size_t size) {
  const Bytes comment(data + 3, data + size);
  const size_t headerSegments = data[1] % 255 + 1;
  const Bytes tail(data[2] % 64, data[2]);
  if (data[0] % 2 == 0) {
    const Bytes packet = join({text("\x03vorbis"), comment, {0x01}, tail});
    return vorbisFile(packet, headerSegments);
  }
  return opusFile(opusTags(comment, tail), headerSegments);
}

bool samePage(const Bytes& a, const WalkedPage& pa, const Bytes& b, const WalkedPage& pb) {
  return pa.length == pb.length &&
         std::equal(a.begin() + pa.offset, a.begin() + pa.offset + pa.length, b.begin() + pb.offset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const bool described = size >= 3 && data[0] != 'O';
  Bytes before = described ? describedFile(data, size) : Bytes(data, data + size);
  const int stars = size > 0 ? data[size - 1] % 6 : 0;
  // Half the other inputs (by their last byte) with every CRC set right.
  if (!described && size > 0 && data[size - 1] / 6 % 2 == 1) setPageCrcs(&before);
  size = before.size();
  const MemoryBytes memory = {before.data(), size};
  const ByteSource source = memorySource(&memory, size);
  const int starsBefore = readOggStars(source);
  WritePlan plan;
  planOggWrite(source, stars, &plan);
  require(plan.oldSize == size && plan.ratingOffset == kNoRatingOffset, "plan's sizes", plan);
  require(!plan.failed && plan.byteCount <= kMaxPlanBytes, "plan failed or too large", plan);
  if (plan.kind == kPlanNothing) {
    require(plan.patchCount == 0 && plan.spanCount == 0, "nothing planned, yet patches or spans", plan);
    require(!plan.alreadyStored || starsBefore == stars, "already stored, yet reads otherwise", plan);
    releaseWritePlan(&plan);
    return 0;
  }
  const Bytes after = bytesAfterPlan(before, plan);
  require(after.size() == plan.newSize, "new size", plan);
  require(plan.kind != kPlanInPlace || after.size() == size, "in place, yet another size", plan);

  std::vector<WalkedPage> oldPages, newPages;
  std::vector<Bytes> oldPackets, newPackets;
  require(walkOggBytes(before, &oldPages, &oldPackets), "a planned file whose pages do not walk", plan);
  require(walkOggBytes(after, &newPages, &newPackets), "the new file's pages do not walk", plan);
  require(newPages.size() == oldPages.size(), "page count", plan);
  require(newPackets.size() == oldPackets.size(), "packet count", plan);
  for (size_t i = 0; i < newPages.size(); ++i) {
    require(newPages[i].sequence == oldPages[i].sequence && newPages[i].serial == oldPages[i].serial,
            "sequence or serial", plan);
    require(newPages[i].crcValid || samePage(before, oldPages[i], after, newPages[i]), "a changed page's CRC", plan);
  }
  for (size_t i = 0; i < newPackets.size(); ++i)
    require(i == 1 || newPackets[i] == oldPackets[i], "a packet other than the comment changed", plan);
  const size_t headerPackets = oldPackets.size() > 0 && oldPackets[0].size() > 0 && oldPackets[0][0] == 0x01 ? 3 : 2;
  const size_t audio = firstAudioPage(before, oldPages, headerPackets);
  require(audio == firstAudioPage(after, newPages, headerPackets), "the audio starts on another page", plan);
  for (size_t i = audio; i < newPages.size(); ++i) {
    require(samePage(before, oldPages[i], after, newPages[i]), "an audio page changed", plan);
    require(newPages[i].granule == oldPages[i].granule, "an audio page's granule changed", plan);
  }
  require(readStars(after) == stars, "the rating does not read back", plan);

  WritePlan again;
  const MemoryBytes afterMemory = {after.data(), after.size()};
  planOggWrite(memorySource(&afterMemory, after.size()), stars, &again);
  require(again.kind == kPlanNothing && again.alreadyStored, "a second plan is not already stored", again);
  releaseWritePlan(&again);
  releaseWritePlan(&plan);
  return 0;
}
