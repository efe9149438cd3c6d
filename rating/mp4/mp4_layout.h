// SPDX-License-Identifier: LGPL-2.1-or-later
// What a rating write needs to know of an MP4 file, from one walk of atom headers: the one
// `moov`, its `udta`/`meta`/`ilst` path, the `free` atoms beside that path, every `mdat`
// and every track's chunk offset table (`stco` or `co64`). No body is read but a few bytes
// of `meta` and of the tables' headers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/mp4/mp4_atoms.h"

enum Mp4LayoutStatus {
  kMp4LayoutSound,
  kMp4LayoutNotMp4,      // no `ftyp` first
  kMp4LayoutMalformed,   // an atom size past its parent, smaller than its header, a table count too large
  kMp4LayoutFragmented,  // `moof`, `sidx`, `mfra`, `styp` or `mvex`
  kMp4LayoutUnproven,    // two `moov`, two `udta`, a `meta` of another form, too many tracks, ...
};

// Where a `free` atom stands: the parent that shrinks or grows with it.
enum Mp4FreePlace {
  kFreeAfterMoov,  // at the top level, right after `moov`
  kFreeInMoov,
  kFreeInUdta,
  kFreeInMeta,
};

struct Mp4Free {
  Mp4Atom atom;
  Mp4FreePlace place;
};

struct Mp4ChunkTable {
  Mp4Atom trak, mdia, minf, stbl, table;
  Mp4Atom sampleSizes, samplesPerChunk;  // `stsz` and `stsc`, which size each chunk
  bool wide;       // `co64`
  uint32_t count;  // entries
};

const size_t kMp4MaxTables = 32;
const size_t kMp4MaxMdats = 8;
const size_t kMp4MaxFrees = 16;

struct Mp4Layout {
  Mp4Atom moov;
  Mp4Atom udta, meta, ilst;  // valid when has*
  bool hasUdta, hasMeta, hasIlst;
  bool topLevelMeta;  // a `meta` beside `moov` (its item locations would not follow a move)
  Mp4Atom mdats[kMp4MaxMdats];
  size_t mdatCount;
  Mp4ChunkTable tables[kMp4MaxTables];
  size_t tableCount;
  Mp4Free frees[kMp4MaxFrees];
  size_t freeCount;
};

// The bytes of `meta` (a full box) before its children.
const uint64_t kMp4MetaPrefix = 4;

// Walks the file: its top level, the path to `ilst`, and each track's way to its chunk offset
// table, whose count must fill it (a read too: a file broken there holds no rating). A file
// without `mdat` or without a track that has chunks is unproven.
Mp4LayoutStatus walkMp4Layout(const ByteSource& file, Mp4Layout* layout);

// True when the file starts with an `ftyp` atom.
bool startsWithFtyp(const ByteSource& file);
