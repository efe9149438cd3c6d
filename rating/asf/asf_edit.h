// SPDX-License-Identifier: LGPL-2.1-or-later
// An ASF rating write as a few replacements of old bytes by new ones (an attribute, a Padding
// object, a new descriptor or object put in), each inside a chain of containing objects (the
// Header object, the Header Extension, an attribute list) whose sizes follow what their
// contents gained or lost, and whose counts follow the entries put in or taken out; the
// Header Extension's size of its objects too, and where the file's length changes, the File
// Properties' file size. Laid out, it is the new file as spans: everything else is the old
// file's bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/asf/asf_attributes.h"
#include "rating/asf/asf_objects.h"
#include "rating/bytes/write_plan.h"

enum AsfCountField {
  kAsfNoCount,
  kAsfCount16,  // a WORD at the body's start: an attribute list's
  kAsfCount32,  // a DWORD at the body's start: the Header object's
};

struct AsfContainer {
  AsfObject object;
  int parent;  // index, or -1
  AsfCountField countField;
  uint32_t count;   // as it stands
  bool extension;   // the Header Extension, whose objects' size follows its own
  int countChange;  // entries put in less those taken out
};

struct AsfReplacement {
  uint64_t at;
  uint64_t oldLength;  // 0: new bytes put in at `at`
  size_t from;         // in the edit's new bytes
  size_t length;
  int container;  // the innermost object it lies in
};

const size_t kAsfMaxContainers = 8;
const size_t kAsfMaxReplacements = 2 * kAsfMaxRatings + 8;

struct AsfEdit {
  AsfContainer containers[kAsfMaxContainers];
  size_t containerCount;
  AsfReplacement replacements[kAsfMaxReplacements];
  size_t replacementCount;
  WritePlan bytes;      // the new bytes (its spans unused)
  uint64_t fileSizeAt;  // the File Properties' field, set when the file's length changes
  bool failed;          // too many pieces, or memory short
};

void initAsfEdit(AsfEdit* edit, uint64_t fileSizeAt);
void releaseAsfEdit(AsfEdit* edit);

// Index of a new container.
int addAsfContainer(AsfEdit* edit, const AsfObject& object, int parent, AsfCountField countField,
                    uint32_t count);

// The `oldLength` bytes at `at` (inside container `container`) become `count` new bytes;
// `countChange` entries of that container are put in (or, negative, taken out).
void addAsfReplacement(AsfEdit* edit, uint64_t at, uint64_t oldLength, const unsigned char* bytes,
                       size_t count, int container, int countChange);

// What the replacements add to the file (negative: take away).
int64_t asfEditGrowth(const AsfEdit& edit);

// The new file of `fileSize` bytes as spans into `plan` (empty, as initWritePlan leaves it).
// False when a size or count would not fit its field or the pieces overlap.
bool layOutAsfEdit(const AsfEdit& edit, uint64_t fileSize, WritePlan* plan);
