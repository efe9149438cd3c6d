// SPDX-License-Identifier: LGPL-2.1-or-later
// The rooms of the rating store, one per kind of file, in one table: the store knows a room
// only by this face and never asks which kind a file is. Each room tells its files by their
// bytes (never by name), reads their rating and plans a write as write_plan.h describes it;
// the store alone touches the track. A room's read and plan may call a library that throws
// (id3lib, in the MP3 room): the store catches around them, and nowhere else.
#pragma once

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"

struct Room {
  bool (*sniff)(const ByteSource& file);                             // the file is this room's
  int (*readStars)(const ByteSource& file);                          // 0..5, 0 for none or a file not read
  void (*plan)(const ByteSource& file, int stars, WritePlan* plan);  // into a plan as initWritePlan leaves it
  const char* (*reasonName)(int reason);                             // the plan's reason in short English
};

// The room of the first sniff that takes the file; null for a file of no room.
const Room* roomOf(const ByteSource& file);
