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

// A track's chunks one after another, each as long as its samples: `stsc` runs say how many
// samples each chunk holds, `stsz` how long each sample is (one size for all, or an entry
// each). Read a window at a time.
struct ChunkSizer {
  SourceWindow runs;
  SourceWindow sizes;
  uint64_t runsStart, sizesStart;
  uint32_t runCount, runIndex;
  uint32_t samplesPerChunk, nextRunFirstChunk;  // of the run in use; 0: no run follows
  uint32_t uniformSize, sampleCount, samplesUsed;
};

bool readRun(ChunkSizer* sizer, uint32_t index, uint32_t* firstChunk, uint32_t* samples) {
  const unsigned char* run = windowBytes(&sizer->runs, sizer->runsStart + uint64_t{index} * 12, 8, kSourceWindowSize - 8);
  if (run == nullptr) return false;
  *firstChunk = bigEndian32Of(run);
  *samples = bigEndian32Of(run + 4);
  return true;
}

bool enterRun(ChunkSizer* sizer, uint32_t index) {
  uint32_t first = 0;
  if (!readRun(sizer, index, &first, &sizer->samplesPerChunk)) return false;
  sizer->runIndex = index;
  sizer->nextRunFirstChunk = 0;
  if (index + 1 == sizer->runCount) return true;
  uint32_t samples = 0;
  // Runs start at later and later chunks.
  return readRun(sizer, index + 1, &sizer->nextRunFirstChunk, &samples) && sizer->nextRunFirstChunk > first;
}

// False when the tables' counts do not fit their atoms or the first run does not start at
// chunk 1.
bool openChunkSizer(ChunkSizer* sizer, const ByteSource& file, const Mp4ChunkTable& table) {
  const Mp4Atom& stsc = table.samplesPerChunk;
  const Mp4Atom& stsz = table.sampleSizes;
  if (stsc.size - stsc.headerSize < 8 || stsz.size - stsz.headerSize < 12) return false;
  if (!readBigEndian32(file, atomBody(stsc) + 4, &sizer->runCount) ||
      !readBigEndian32(file, atomBody(stsz) + 4, &sizer->uniformSize) ||
      !readBigEndian32(file, atomBody(stsz) + 8, &sizer->sampleCount))
    return false;
  if (uint64_t{sizer->runCount} * 12 > stsc.size - stsc.headerSize - 8) return false;
  if (sizer->uniformSize == 0 && uint64_t{sizer->sampleCount} * 4 > stsz.size - stsz.headerSize - 12) return false;
  openWindow(&sizer->runs, file);
  openWindow(&sizer->sizes, file);
  sizer->runsStart = atomBody(stsc) + 8;
  sizer->sizesStart = atomBody(stsz) + 12;
  sizer->samplesUsed = 0;
  if (sizer->runCount == 0) return table.count == 0;
  uint32_t first = 0;
  uint32_t samples = 0;
  return readRun(sizer, 0, &first, &samples) && first == 1 && enterRun(sizer, 0);
}

// The length of chunk `number` (from 1, in order); false when the samples run out.
bool nextChunkLength(ChunkSizer* sizer, uint32_t number, uint64_t* length) {
  while (sizer->nextRunFirstChunk != 0 && number >= sizer->nextRunFirstChunk)
    if (!enterRun(sizer, sizer->runIndex + 1)) return false;
  const uint32_t samples = sizer->samplesPerChunk;
  if (samples > sizer->sampleCount - sizer->samplesUsed) return false;
  *length = uint64_t{samples} * sizer->uniformSize;
  for (uint32_t i = 0; sizer->uniformSize == 0 && i < samples; ++i) {
    const uint64_t at = sizer->sizesStart + uint64_t{sizer->samplesUsed + i} * 4;
    const unsigned char* size = windowBytes(&sizer->sizes, at, 4, kSourceWindowSize - 4);
    if (size == nullptr) return false;
    *length += bigEndian32Of(size);
  }
  sizer->samplesUsed += samples;
  return true;
}

// In one `mdat`'s body, from start to end.
bool insideOneMdat(const Mp4Layout& layout, uint64_t entry, uint64_t length) {
  for (size_t i = 0; i < layout.mdatCount; ++i)
    if (entry >= atomBody(layout.mdats[i]) && entry < atomEnd(layout.mdats[i]) &&
        length <= atomEnd(layout.mdats[i]) - entry)
      return true;
  return false;
}

bool entryAt(EntryReader* reader, uint32_t index, uint64_t* entry) {
  const size_t width = reader->wide ? 8 : 4;
  const unsigned char* bytes =
      windowBytes(&reader->window, reader->start + uint64_t{index} * width, width, kSourceWindowSize - width);
  if (bytes == nullptr) return false;
  *entry = reader->wide ? bigEndian64Of(bytes) : bigEndian32Of(bytes);
  return true;
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
  struct Readers {
    EntryReader entries;
    ChunkSizer sizer;
  };
  Readers* readers = new (std::nothrow) Readers;
  if (readers == nullptr) return false;
  bool sound = true;
  for (size_t t = 0; t < layout.tableCount && sound; ++t) {
    const Mp4ChunkTable& table = layout.tables[t];
    EntryReader* reader = &readers->entries;
    openWindow(&reader->window, file);
    reader->start = entriesStart(table.table);
    reader->wide = table.wide;
    facts[t] = {0, false};
    sound = openChunkSizer(&readers->sizer, file, table);
    for (uint32_t i = 0; i < table.count && sound; ++i) {
      uint64_t entry = 0;
      uint64_t length = 0;
      sound = entryAt(reader, i, &entry) && nextChunkLength(&readers->sizer, i + 1, &length) &&
              insideOneMdat(layout, entry, length);
      if (sound && entry >= atomEnd(layout.moov)) {
        facts[t].shifts = true;
        if (entry > facts[t].largestShifted) facts[t].largestShifted = entry;
      }
    }
  }
  delete readers;
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
