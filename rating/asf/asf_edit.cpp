// SPDX-License-Identifier: LGPL-2.1-or-later
// ASF edits laid out as spans; see asf_edit.h.
#include "rating/asf/asf_edit.h"

#include <algorithm>

#include "rating/asf/asf_layout.h"

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

// A container's size, objects' size and count fields, and the file size: at most four each.
const size_t kMaxFields = 3 * kAsfMaxContainers + 1;

}  // namespace

void initAsfEdit(AsfEdit* edit, uint64_t fileSizeAt) {
  edit->containerCount = 0;
  edit->replacementCount = 0;
  initWritePlan(&edit->bytes);
  edit->fileSizeAt = fileSizeAt;
  edit->failed = false;
}

void releaseAsfEdit(AsfEdit* edit) { releaseWritePlan(&edit->bytes); }

int addAsfContainer(AsfEdit* edit, const AsfObject& object, int parent, AsfCountField countField,
                    uint32_t count) {
  if (edit->containerCount == kAsfMaxContainers) {
    edit->failed = true;
    return -1;
  }
  edit->containers[edit->containerCount] = {
      object, parent, countField, count, object.kind == kAsfHeaderExtension, 0};
  return static_cast<int>(edit->containerCount++);
}

void addAsfReplacement(AsfEdit* edit, uint64_t at, uint64_t oldLength, const unsigned char* bytes,
                       size_t count, int container, int countChange) {
  if (edit->replacementCount == kAsfMaxReplacements || container < 0 ||
      static_cast<size_t>(container) >= edit->containerCount) {
    edit->failed = true;
    return;
  }
  const size_t from = count == 0 ? 0 : addPlanBytes(&edit->bytes, bytes, count);
  if (edit->bytes.failed) edit->failed = true;
  edit->replacements[edit->replacementCount++] = {at, oldLength, from, count, container};
  edit->containers[container].countChange += countChange;
}

int64_t asfEditGrowth(const AsfEdit& edit) {
  int64_t growth = 0;
  for (size_t i = 0; i < edit.replacementCount; ++i)
    growth += static_cast<int64_t>(edit.replacements[i].length) -
              static_cast<int64_t>(edit.replacements[i].oldLength);
  return growth;
}

bool layOutAsfEdit(const AsfEdit& edit, uint64_t fileSize, WritePlan* plan) {
  if (edit.failed) return false;
  int64_t growth[kAsfMaxContainers] = {};
  for (size_t i = 0; i < edit.replacementCount; ++i) {
    const AsfReplacement& r = edit.replacements[i];
    const int64_t change = static_cast<int64_t>(r.length) - static_cast<int64_t>(r.oldLength);
    for (int c = r.container; c >= 0; c = edit.containers[c].parent) growth[c] += change;
  }
  Piece pieces[kAsfMaxReplacements + kMaxFields];
  unsigned char fields[kMaxFields][8];
  size_t count = 0;
  size_t fieldCount = 0;
  for (size_t i = 0; i < edit.replacementCount; ++i) {
    const AsfReplacement& r = edit.replacements[i];
    pieces[count++] = {r.at, r.oldLength, edit.bytes.bytes + r.from, r.length};
  }
  for (size_t c = 0; c < edit.containerCount; ++c) {
    const AsfContainer& container = edit.containers[c];
    const int64_t newSize = static_cast<int64_t>(container.object.size) + growth[c];
    if (newSize < static_cast<int64_t>(kAsfObjectHeader) || newSize > static_cast<int64_t>(kAsfMaxObjectSize))
      return false;
    if (growth[c] != 0) {
      putLittleEndian64(fields[fieldCount], static_cast<uint64_t>(newSize));
      pieces[count++] = {container.object.offset + 16, 8, fields[fieldCount++], 8};
    }
    if (growth[c] != 0 && container.extension) {
      if (newSize < static_cast<int64_t>(kAsfObjectHeader + kAsfExtensionPrefix)) return false;
      putLittleEndian32(
          fields[fieldCount],
          static_cast<uint32_t>(newSize - static_cast<int64_t>(kAsfObjectHeader + kAsfExtensionPrefix)));
      pieces[count++] = {asfBody(container.object) + 18, 4, fields[fieldCount++], 4};
    }
    if (container.countChange != 0) {
      const int64_t newCount = static_cast<int64_t>(container.count) + container.countChange;
      const int64_t largest = container.countField == kAsfCount16 ? 0xFFFF : 0xFFFFFFFFll;
      if (container.countField == kAsfNoCount || newCount < 0 || newCount > largest) return false;
      const size_t width = container.countField == kAsfCount16 ? 2 : 4;
      if (width == 2)
        putLittleEndian16(fields[fieldCount], static_cast<uint16_t>(newCount));
      else
        putLittleEndian32(fields[fieldCount], static_cast<uint32_t>(newCount));
      pieces[count++] = {asfBody(container.object), width, fields[fieldCount++], width};
    }
  }
  const int64_t fileGrowth = asfEditGrowth(edit);
  if (fileGrowth != 0) {
    putLittleEndian64(fields[fieldCount], fileSize + static_cast<uint64_t>(fileGrowth));
    pieces[count++] = {edit.fileSizeAt, 8, fields[fieldCount++], 8};
  }
  std::stable_sort(pieces, pieces + count, pieceBefore);
  uint64_t cursor = 0;
  for (size_t i = 0; i < count; ++i) {
    const Piece& piece = pieces[i];
    if (piece.at < cursor || piece.at > fileSize || piece.oldLength > fileSize - piece.at) return false;
    addOldSpan(plan, cursor, piece.at - cursor);
    if (piece.length > 0) addNewSpan(plan, piece.bytes, piece.length);
    cursor = piece.at + piece.oldLength;
  }
  addOldSpan(plan, cursor, fileSize - cursor);
  plan->kind = kPlanNewFile;
  plan->newSize = planNewFileSize(*plan);
  return !plan->failed;
}
