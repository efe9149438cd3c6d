// SPDX-License-Identifier: LGPL-2.1-or-later
// MP4 edits laid out as spans; see mp4_edit.h.
#include "rating/mp4/mp4_edit.h"

#include <algorithm>

namespace {

struct Piece {
  uint64_t at;
  uint64_t oldLength;
  const unsigned char* bytes;
  size_t length;
};

bool pieceBefore(const Piece& a, const Piece& b) {
  return a.at != b.at ? a.at < b.at : a.oldLength < b.oldLength;
}

}  // namespace

void initMp4Edit(Mp4Edit* edit) {
  edit->containerCount = 0;
  edit->replacementCount = 0;
  initWritePlan(&edit->bytes);
  edit->failed = false;
}

void releaseMp4Edit(Mp4Edit* edit) { releaseWritePlan(&edit->bytes); }

int addContainer(Mp4Edit* edit, const Mp4Atom& atom, int parent) {
  if (edit->containerCount == kMp4MaxContainers) {
    edit->failed = true;
    return -1;
  }
  edit->containers[edit->containerCount] = {atom, parent};
  return static_cast<int>(edit->containerCount++);
}

void addReplacement(Mp4Edit* edit, uint64_t at, uint64_t oldLength, const unsigned char* bytes, size_t count,
                    int container) {
  if (edit->replacementCount == kMp4MaxReplacements) {
    edit->failed = true;
    return;
  }
  const size_t from = count == 0 ? 0 : addPlanBytes(&edit->bytes, bytes, count);
  if (edit->bytes.failed) edit->failed = true;
  edit->replacements[edit->replacementCount++] = {at, oldLength, from, count, container};
}

void addPlacedReplacement(Mp4Edit* edit, uint64_t at, uint64_t oldLength, size_t from, size_t count,
                          int container) {
  if (edit->replacementCount == kMp4MaxReplacements || edit->bytes.failed) {
    edit->failed = true;
    return;
  }
  edit->replacements[edit->replacementCount++] = {at, oldLength, from, count, container};
}

int64_t editGrowth(const Mp4Edit& edit) {
  int64_t growth = 0;
  for (size_t i = 0; i < edit.replacementCount; ++i)
    growth += static_cast<int64_t>(edit.replacements[i].length) -
              static_cast<int64_t>(edit.replacements[i].oldLength);
  return growth;
}

int64_t editShiftAt(const Mp4Edit& edit, uint64_t offset) {
  int64_t shift = 0;
  for (size_t i = 0; i < edit.replacementCount; ++i) {
    const Mp4Replacement& r = edit.replacements[i];
    if (r.at + r.oldLength <= offset)
      shift += static_cast<int64_t>(r.length) - static_cast<int64_t>(r.oldLength);
  }
  return shift;
}

bool layOutEdit(const Mp4Edit& edit, uint64_t fileSize, WritePlan* plan) {
  int64_t growth[kMp4MaxContainers] = {};
  for (size_t i = 0; i < edit.replacementCount; ++i) {
    const Mp4Replacement& r = edit.replacements[i];
    const int64_t change = static_cast<int64_t>(r.length) - static_cast<int64_t>(r.oldLength);
    for (int c = r.container; c >= 0; c = edit.containers[c].parent) growth[c] += change;
  }
  Piece pieces[kMp4MaxReplacements + kMp4MaxContainers];
  unsigned char sizes[kMp4MaxContainers][8];
  size_t count = 0;
  for (size_t i = 0; i < edit.replacementCount; ++i) {
    const Mp4Replacement& r = edit.replacements[i];
    pieces[count++] = {r.at, r.oldLength, edit.bytes.bytes + r.from, r.length};
  }
  for (size_t c = 0; c < edit.containerCount; ++c) {
    if (growth[c] == 0) continue;
    const Mp4Atom& atom = edit.containers[c].atom;
    const int64_t newSize = static_cast<int64_t>(atom.size) + growth[c];
    if (atom.toEnd || newSize < static_cast<int64_t>(atom.headerSize)) return false;
    if (atom.headerSize == 16) {
      putBigEndian64(sizes[c], static_cast<uint64_t>(newSize));
      pieces[count++] = {atom.offset + 8, 8, sizes[c], 8};
    } else {
      if (newSize > 0xFFFFFFFFll) return false;
      putBigEndian32(sizes[c], static_cast<uint32_t>(newSize));
      pieces[count++] = {atom.offset, 4, sizes[c], 4};
    }
  }
  std::stable_sort(pieces, pieces + count, pieceBefore);
  uint64_t cursor = 0;
  for (size_t i = 0; i < count; ++i) {
    const Piece& piece = pieces[i];
    if (piece.at < cursor || piece.at + piece.oldLength > fileSize) return false;
    addOldSpan(plan, cursor, piece.at - cursor);
    if (piece.length > 0) addNewSpan(plan, piece.bytes, piece.length);
    cursor = piece.at + piece.oldLength;
  }
  addOldSpan(plan, cursor, fileSize - cursor);
  plan->kind = kPlanNewFile;
  plan->newSize = planNewFileSize(*plan);
  return !plan->failed;
}
