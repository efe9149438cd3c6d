// SPDX-License-Identifier: LGPL-2.1-or-later
// Bytes changed in place; see patch_route.h.
#include "rating/store/patch_route.h"

#include <cstdlib>
#include <cstring>

#include "rating/store/tag_file.h"

namespace {

const uint64_t kSectorBytes = 512;
const size_t kPatchHeaderBytes = 12;  // u64 offset, u32 length

uint64_t get64(const unsigned char* at) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | at[i];
  return value;
}

uint32_t get32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

void put64(unsigned char* at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

void put32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

bool withinOneSector(const WritePlan& plan) {
  if (plan.patchCount == 0) return true;
  const uint64_t first = plan.patches[0].at;
  const PlanPatch& last = plan.patches[plan.patchCount - 1];
  return first / kSectorBytes == (last.at + last.length - 1) / kSectorBytes;
}

uint64_t noteBytesOf(const WritePlan& plan) {
  uint64_t bytes = 0;
  for (size_t i = 0; i < plan.patchCount; ++i) bytes += kPatchHeaderBytes + 2 * uint64_t{plan.patches[i].length};
  return bytes;
}

// The journal's form of the patches, the old bytes read through `file` (malloc'd).
unsigned char* encodePatches(TrackFile file, const WritePlan& plan, uint32_t* size) {
  const uint64_t total = noteBytesOf(plan);
  unsigned char* encoded = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(total)));
  if (!encoded) return nullptr;
  unsigned char* at = encoded;
  for (size_t i = 0; i < plan.patchCount; ++i) {
    const PlanPatch& patch = plan.patches[i];
    put64(at, patch.at);
    put32(at + 8, static_cast<uint32_t>(patch.length));
    at += kPatchHeaderBytes;
    if (readTrackAt(file, patch.at, at, patch.length) != patch.length) {
      std::free(encoded);
      return nullptr;
    }
    std::memcpy(at + patch.length, plan.bytes + patch.from, patch.length);
    at += 2 * patch.length;
  }
  *size = static_cast<uint32_t>(total);
  return encoded;
}

// Patches within one sector go as one write, so that a power cut leaves all of them or none:
// the sector as it is, the patches put in. A write that fails puts back what was there.
FileStatus writeSector(TrackFile file, const WritePlan& plan) {
  const uint64_t first = plan.patches[0].at;
  const PlanPatch& last = plan.patches[plan.patchCount - 1];
  const size_t length = static_cast<size_t>(last.at + last.length - first);
  unsigned char old[kSectorBytes];
  unsigned char now[kSectorBytes];
  if (readTrackAt(file, first, old, length) != length) return kFileFailed;
  std::memcpy(now, old, length);
  for (size_t i = 0; i < plan.patchCount; ++i)
    std::memcpy(now + (plan.patches[i].at - first), plan.bytes + plan.patches[i].from, plan.patches[i].length);
  FileStatus status = kFileFailed;
  const size_t written = writeTrackAt(file, first, now, length, &status);
  if (written != length) {
    if (written > 0) writeTrackAt(file, first, old, written, nullptr);
    return status == kFileOk ? kFileFailed : status;
  }
  // Written as one sector, as a rating byte is: the file holds the rating
  // now; a flush that fails leaves it to the platform to put on the disk.
  flushTrackFile(file);
  return kFileOk;
}

FileStatus writePatches(TrackFile file, const WritePlan& plan) {
  for (size_t i = 0; i < plan.patchCount; ++i) {
    const PlanPatch& patch = plan.patches[i];
    FileStatus status = kFileFailed;
    if (writeTrackAt(file, patch.at, plan.bytes + patch.from, patch.length, &status) != patch.length)
      return status == kFileOk ? kFileFailed : status;
  }
  return flushTrackFile(file) ? kFileOk : kFileFailed;
}

// The patches of a note, walked: each calls `visit` with its offset, length, old and new
// bytes. False when the encoding does not add up or a visit says stop.
bool walkNotePatches(const RewriteRecord& note, bool (*visit)(void* context, uint64_t at, uint32_t length,
                                                                 const unsigned char* old, const unsigned char* now),
                     void* context) {
  uint64_t offset = 0;
  while (offset < note.patchSize) {
    if (note.patchSize - offset < kPatchHeaderBytes) return false;
    const unsigned char* header = note.patch + offset;
    const uint64_t at = get64(header);
    const uint32_t length = get32(header + 8);
    offset += kPatchHeaderBytes;
    if ((note.patchSize - offset) / 2 < length) return false;
    if (!visit(context, at, length, note.patch + offset, note.patch + offset + length)) return false;
    offset += 2 * uint64_t{length};
  }
  return true;
}

struct PatchCheck {
  TrackFile file;
  uint64_t size;
};

// Every byte holds its old or its new value.
bool holdsOldOrNew(void* context, uint64_t at, uint32_t length, const unsigned char* old, const unsigned char* now) {
  const PatchCheck& check = *static_cast<PatchCheck*>(context);
  if (at > check.size || check.size - at < length) return false;
  unsigned char piece[4096];
  for (uint32_t done = 0; done < length;) {
    const size_t count = length - done < sizeof piece ? length - done : sizeof piece;
    if (readTrackAt(check.file, at + done, piece, count) != count) return false;
    for (size_t i = 0; i < count; ++i)
      if (piece[i] != old[done + i] && piece[i] != now[done + i]) return false;
    done += static_cast<uint32_t>(count);
  }
  return true;
}

bool writeNewBytes(void* context, uint64_t at, uint32_t length, const unsigned char*, const unsigned char* now) {
  const PatchCheck& check = *static_cast<PatchCheck*>(context);
  return writeTrackAt(check.file, at, now, length, nullptr) == length;
}

}  // namespace

bool patchesFitInPlace(const WritePlan& plan, uint64_t fileSize) {
  if (plan.kind != kPlanInPlace || plan.failed || plan.oldSize != fileSize) return false;
  uint64_t end = 0;
  for (size_t i = 0; i < plan.patchCount; ++i) {
    const PlanPatch& patch = plan.patches[i];
    if (patch.at < end || patch.at > fileSize || fileSize - patch.at < patch.length) return false;
    end = patch.at + patch.length;
  }
  return withinOneSector(plan) || noteBytesOf(plan) <= kMaxPatchNoteBytes;
}

FileStatus writePatchesInPlace(const wchar_t* path, TrackFile file, const WritePlan& plan, int stars) {
  uint64_t size = 0;
  if (!trackFileSize(file, &size) || !patchesFitInPlace(plan, size)) return kFileFailed;
  if (plan.patchCount == 0) return kFileOk;
  if (withinOneSector(plan)) return writeSector(file, plan);
  const PathInfo info = pathInfo(path, nullptr);
  RewriteRecord note = RewriteRecord();
  note.route = kRoutePatch;
  note.stars = stars;
  note.ratingOffset = kRatingOffsetUnknown;
  note.trackSize = size;
  note.trackTime = info.lastWriteTime;
  note.newSize = size;
  note.track = copyOfPath(path);
  note.patch = encodePatches(file, plan, &note.patchSize);
  FileStatus status = kFileFailed;
  // Without a journal the change goes unnoted, as a rewrite does; with one, a change that
  // cannot be noted is not made.
  if (note.track && note.patch && noteRewriteStep(&note, kStepPatching)) {
    status = writePatches(file, plan);
    if (status == kFileOk) closeRewriteNote(&note);
  }
  releaseRewriteRecord(&note);
  return status;
}

void settlePatchNote(RewriteRecord* note) {
  FileStatus status = kFileFailed;
  TrackFile file = openTrackFile(note->track, kTrackHold, &status);
  if (!file.handle) {
    if (status == kFileMissing && fileIsMissing(note->track)) closeRewriteNote(note);
    return;  // locked, or away: later
  }
  PatchCheck check = {file, 0};
  const bool sameSize = trackFileSize(file, &check.size) && check.size == note->trackSize;
  bool settled = true;
  if (sameSize && walkNotePatches(*note, holdsOldOrNew, &check))
    settled = walkNotePatches(*note, writeNewBytes, &check) && flushTrackFile(file);
  closeTrackFile(&file);
  if (settled) closeRewriteNote(note);
}
