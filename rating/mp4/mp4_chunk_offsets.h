// SPDX-License-Identifier: LGPL-2.1-or-later
// The chunk offset tables (`stco`, `co64`) of every track: each entry must point into an
// `mdat`; when `moov` grows in front of the media, each entry after it shifts by the growth,
// a table turning `co64` where a shifted entry passes 4 GiB. Entries are read a window at a
// time; a shifted table is made anew among the plan's new bytes, so its size is bounded.
#pragma once

#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/mp4/mp4_edit.h"
#include "rating/mp4/mp4_layout.h"

struct Mp4TableFacts {
  uint64_t largestShifted;  // the largest entry at or after `moov`'s end
  bool shifts;              // some entry lies after `moov`
};

// The new bytes all shifted tables together may take: a larger table is refused (more than
// some 32000 chunks: hours of audio).
const uint64_t kMp4MaxTableBytes = 256 * 1024;

// True when every chunk of every table lies inside one `mdat`'s body, from its entry on for as
// long as its samples (`stsc`, `stsz`) make it; facts[i] of table i.
bool chunkOffsetsInMdat(const ByteSource& file, const Mp4Layout& layout, Mp4TableFacts* facts);

// The table anew as a replacement inside container `stbl`: entries at or after `moovEnd`
// shifted by `shift`, in the `co64` form when `wide`.
void addShiftedTable(const ByteSource& file, const Mp4ChunkTable& table, uint64_t moovEnd, uint64_t shift,
                     bool wide, Mp4Edit* edit, int stbl);

// Entry `index` of a table at `table` (wide: `co64`) into *entry.
bool readChunkOffset(const ByteSource& file, const Mp4Atom& table, bool wide, uint32_t index,
                     uint64_t* entry);
