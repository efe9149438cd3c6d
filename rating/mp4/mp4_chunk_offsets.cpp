// SPDX-License-Identifier: LGPL-2.1-or-later
// Chunk offset tables; see mp4_chunk_offsets.h.
#include "rating/mp4/mp4_chunk_offsets.h"

#include <new>

#include "rating/bytes/source_window.h"

namespace {

// The table's entries from the 4 bytes of version and flags and the count.
uint64_t entriesStart(const Mp4Atom& table) { return atomBody(table) + 8; }

struct EntryReader {
  SourceWindow window;
  uint64_t start;
  bool wide;
};

bool entryAt(EntryReader* reader, uint32_t index, uint64_t* entry) {
  const size_t width = reader->wide ? 8 : 4;
  const unsigned char* bytes =
      windowBytes(&reader->window, reader->start + uint64_t{index} * width, width, kSourceWindowSize - width);
  if (bytes == nullptr) return false;
  *entry = reader->wide ? bigEndian64Of(bytes) : bigEndian32Of(bytes);
  return true;
}

bool insideMdat(const Mp4Layout& layout, uint64_t entry) {
  for (size_t i = 0; i < layout.mdatCount; ++i)
    if (entry >= atomBody(layout.mdats[i]) && entry < atomEnd(layout.mdats[i])) return true;
  return false;
}

}  // namespace

bool readChunkOffset(const ByteSource& file, const Mp4Atom& table, bool wide, uint32_t index,
                     uint64_t* entry) {
  unsigned char bytes[8];
  const size_t width = wide ? 8 : 4;
  if (readSourceAt(file, entriesStart(table) + uint64_t{index} * width, bytes, width) != width) return false;
  *entry = wide ? bigEndian64Of(bytes) : bigEndian32Of(bytes);
  return true;
}

bool chunkOffsetsInMdat(const ByteSource& file, const Mp4Layout& layout, Mp4TableFacts* facts) {
  EntryReader* reader = new (std::nothrow) EntryReader;
  if (reader == nullptr) return false;
  bool sound = true;
  for (size_t t = 0; t < layout.tableCount && sound; ++t) {
    const Mp4ChunkTable& table = layout.tables[t];
    openWindow(&reader->window, file);
    reader->start = entriesStart(table.table);
    reader->wide = table.wide;
    facts[t] = {0, false};
    for (uint32_t i = 0; i < table.count && sound; ++i) {
      uint64_t entry = 0;
      sound = entryAt(reader, i, &entry) && insideMdat(layout, entry);
      if (sound && entry >= atomEnd(layout.moov)) {
        facts[t].shifts = true;
        if (entry > facts[t].largestShifted) facts[t].largestShifted = entry;
      }
    }
  }
  delete reader;
  return sound;
}

void addShiftedTable(const ByteSource& file, const Mp4ChunkTable& table, uint64_t moovEnd, uint64_t shift,
                     bool wide, Mp4Edit* edit, int stbl) {
  EntryReader* reader = new (std::nothrow) EntryReader;
  if (reader == nullptr) {
    edit->failed = true;
    return;
  }
  openWindow(&reader->window, file);
  reader->start = entriesStart(table.table);
  reader->wide = table.wide;
  // The 8-byte header form is enough for any table the plan can hold.
  unsigned char header[16];
  const uint64_t size = 16 + uint64_t{table.count} * (wide ? 8 : 4);
  putBigEndian32(header, static_cast<uint32_t>(size));
  putBigEndian32(header + 4, wide ? fourCc("co64") : fourCc("stco"));
  unsigned char versionAndFlags[4] = {};
  readSourceAt(file, atomBody(table.table), versionAndFlags, 4);
  for (int i = 0; i < 4; ++i) header[8 + i] = versionAndFlags[i];
  putBigEndian32(header + 12, table.count);
  const size_t from = addPlanBytes(&edit->bytes, header, sizeof header);
  unsigned char batch[1024];
  size_t filled = 0;
  for (uint32_t i = 0; i < table.count && !edit->failed; ++i) {
    uint64_t entry = 0;
    if (!entryAt(reader, i, &entry)) edit->failed = true;
    if (entry >= moovEnd) entry += shift;
    if (wide) {
      putBigEndian64(batch + filled, entry);
      filled += 8;
    } else {
      putBigEndian32(batch + filled, static_cast<uint32_t>(entry));
      filled += 4;
    }
    if (filled == sizeof batch || i + 1 == table.count) {
      addPlanBytes(&edit->bytes, batch, filled);
      filled = 0;
    }
  }
  delete reader;
  if (size > kMp4MaxTableBytes * 2) edit->failed = true;
  addPlacedReplacement(edit, table.table.offset, table.table.size, from, static_cast<size_t>(size), stbl);
}
