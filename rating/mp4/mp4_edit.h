// SPDX-License-Identifier: LGPL-2.1-or-later
// An MP4 rating write as a few replacements of old bytes by new ones (an item, a `free`
// atom, a chunk offset table, new atoms put in), each inside a chain of containing atoms
// whose sizes follow what their contents gained or lost, in their own 32- or 64-bit form.
// Laid out, it is the new file as spans: everything else is the old file's bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/write_plan.h"
#include "rating/mp4/mp4_atoms.h"

const size_t kMp4MaxContainers = 4 + 4 * 32;
const size_t kMp4MaxReplacements = 64;

struct Mp4Container {
  Mp4Atom atom;
  int parent;  // index, or -1 at the top level
};

struct Mp4Replacement {
  uint64_t at;
  uint64_t oldLength;  // 0: new bytes put in at `at`
  size_t from;         // in the edit's new bytes
  size_t length;
  int container;  // the innermost atom it lies in, or -1
};

struct Mp4Edit {
  Mp4Container containers[kMp4MaxContainers];
  size_t containerCount;
  Mp4Replacement replacements[kMp4MaxReplacements];
  size_t replacementCount;
  WritePlan bytes;  // the new bytes (its spans unused)
  bool failed;      // too many pieces, or memory short
};

void initMp4Edit(Mp4Edit* edit);
void releaseMp4Edit(Mp4Edit* edit);

// Index of a new container.
int addContainer(Mp4Edit* edit, const Mp4Atom& atom, int parent);

// The `oldLength` bytes at `at` (inside container `container`) become `count` new bytes.
void addReplacement(Mp4Edit* edit, uint64_t at, uint64_t oldLength, const unsigned char* bytes, size_t count,
                    int container);

// As addReplacement, for `count` bytes the caller has put in edit->bytes from `from`.
void addPlacedReplacement(Mp4Edit* edit, uint64_t at, uint64_t oldLength, size_t from, size_t count,
                          int container);

// What the replacements add to the file (negative: take away).
int64_t editGrowth(const Mp4Edit& edit);

// What the replacements that end at or before `offset` add: how far an old byte at
// `offset`, outside every replacement, moves.
int64_t editShiftAt(const Mp4Edit& edit, uint64_t offset);

// The new file of `fileSize` bytes as spans into `plan` (empty, as initWritePlan leaves it),
// the containers' sizes changed. False when a size would not fit its form or the pieces
// overlap.
bool layOutEdit(const Mp4Edit& edit, uint64_t fileSize, WritePlan* plan);
