// SPDX-License-Identifier: LGPL-2.1-or-later
// Ogg files; see ogg_file.h. Until the comment packet is read, an Ogg file is known and
// refused: nothing of it is written.
#include "rating/ogg/ogg_file.h"

#include <cstring>

bool isOggFile(const ByteSource& file) {
  unsigned char magic[4];
  return file.size >= 4 && file.readAt(file.file, 0, magic, 4) == 4 && std::memcmp(magic, "OggS", 4) == 0;
}

int readOggStars(const ByteSource&) { return 0; }

void planOggWrite(const ByteSource&, int, WritePlan* plan) { initWritePlan(plan); }

const char* oggWriteReasonName(int) { return "NotYetRead"; }
