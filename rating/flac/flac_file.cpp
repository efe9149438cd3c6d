// SPDX-License-Identifier: LGPL-2.1-or-later
// FLAC files; see flac_file.h. Until the comment block is read, a FLAC file is known and
// refused: nothing of it is written.
#include "rating/flac/flac_file.h"

#include <cstring>

bool isFlacFile(const ByteSource& file, uint64_t* streamStart) {
  unsigned char magic[4];
  if (file.size < 4 || file.readAt(file.file, 0, magic, 4) != 4 || std::memcmp(magic, "fLaC", 4) != 0) return false;
  if (streamStart) *streamStart = 0;
  return true;
}

int readFlacStars(const ByteSource&) { return 0; }

void planFlacWrite(const ByteSource&, int, WritePlan* plan) { initWritePlan(plan); }

const char* flacWriteReasonName(int) { return "NotYetRead"; }
