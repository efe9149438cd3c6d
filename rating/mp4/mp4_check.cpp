// SPDX-License-Identifier: LGPL-2.1-or-later
// The planned MP4 file walked as any MP4; see mp4_check.h.
#include "rating/mp4/mp4_check.h"

#include <cstring>

#include "rating/bytes/plan_ranges.h"
#include "rating/bytes/source_window.h"
#include "rating/mp4/mp4_chunk_offsets.h"
#include "rating/mp4/mp4_file.h"
#include "rating/mp4/mp4_items.h"

namespace {

struct Sides {
  ByteSource old, planned;
  const WritePlan* plan;
  const Mp4Layout* before;
  const Mp4Layout* after;
};

// The `length` bytes at `oldAt` in the old file and at `newAt` in the planned one are the same.
bool sameBytes(const Sides& sides, uint64_t oldAt, uint64_t newAt, uint64_t length) {
  const size_t kPiece = 4096;
  unsigned char before[kPiece];
  unsigned char after[kPiece];
  while (length > 0) {
    const size_t piece = length < kPiece ? static_cast<size_t>(length) : kPiece;
    if (readSourceAt(sides.old, oldAt, before, piece) != piece ||
        readSourceAt(sides.planned, newAt, after, piece) != piece || std::memcmp(before, after, piece) != 0)
      return false;
    oldAt += piece;
    newAt += piece;
    length -= piece;
  }
  return true;
}

// Bytes an in-place plan moves are among its patches, which stay few: those are compared.
const uint64_t kMp4MaxComparedBytes = 2 * kMp4MaxPatchBytes;

bool keptWhole(const Sides& sides, const Mp4Atom& old, const Mp4Atom& made) {
  if (old.size != made.size) return false;
  return planKeepsOldRange(*sides.plan, made.offset, old.offset, old.size) ||
         (old.size <= kMp4MaxComparedBytes && sameBytes(sides, old.offset, made.offset, old.size));
}

// Atoms a write may add, drop or resize freely: `free` room, and in the planned file the
// path atoms the old one lacked (their contents are read back).
bool skippedOld(const Mp4Atom& atom) { return atom.type == fourCc("free"); }

bool skippedMade(const Sides& sides, const Mp4Atom& atom) {
  if (atom.type == fourCc("free")) return true;
  const Mp4Layout& before = *sides.before;
  const Mp4Layout& after = *sides.after;
  return (!before.hasUdta && after.hasUdta && atom.offset == after.udta.offset) ||
         (!before.hasMeta && after.hasMeta && atom.offset == after.meta.offset) ||
         (!before.hasIlst && after.hasIlst && atom.offset == after.ilst.offset);
}

bool nextKept(Mp4AtomWalk* walk, Mp4Atom* atom, const Sides* sides) {
  while (nextAtom(walk, atom)) {
    if (sides == nullptr ? !skippedOld(*atom) : !skippedMade(*sides, *atom)) return true;
  }
  return false;
}

bool isTable(uint32_t type) { return type == fourCc("stco") || type == fourCc("co64"); }

bool sameChildren(const Sides& sides, const Mp4Atom& old, uint64_t oldPrefix, const Mp4Atom& made,
                  uint64_t madePrefix);

bool sameItems(const Sides& sides, const Mp4Atom& old, const Mp4Atom& made) {
  Mp4ItemWalk oldWalk;
  Mp4ItemWalk newWalk;
  openItemWalk(&oldWalk, sides.old, old);
  openItemWalk(&newWalk, sides.planned, made);
  Mp4Item kept;
  Mp4Item now;
  for (;;) {
    bool oldMore = false;
    while ((oldMore = nextMp4Item(&oldWalk, &kept)) && kept.kind != kItemOther) {
    }
    bool newMore = false;
    while ((newMore = nextMp4Item(&newWalk, &now)) && now.kind != kItemOther) {
    }
    if (oldWalk.malformed || newWalk.malformed || oldMore != newMore) return false;
    if (!oldMore) return true;
    if (kept.atom.type != now.atom.type || !keptWhole(sides, kept.atom, now.atom)) return false;
  }
}

// Two atoms of the same type: the same bytes, or (a container on a changed path) the same
// children.
bool sameAtom(const Sides& sides, const Mp4Atom& old, const Mp4Atom& made) {
  const bool tables = isTable(old.type) && isTable(made.type);
  if (old.type != made.type && !tables) return false;
  if (keptWhole(sides, old, made)) return true;
  if (tables) return true;  // entry by entry: sameChunkOffsets
  const uint32_t type = old.type;
  if (type == fourCc("ilst")) return sameItems(sides, old, made);
  if (type == fourCc("meta"))
    return sameBytes(sides, atomBody(old), atomBody(made), kMp4MetaPrefix) &&
           sameChildren(sides, old, kMp4MetaPrefix, made, kMp4MetaPrefix);
  if (type == fourCc("udta") || type == fourCc("moov") || type == fourCc("trak") || type == fourCc("mdia") ||
      type == fourCc("minf") || type == fourCc("stbl"))
    return sameChildren(sides, old, 0, made, 0);
  return false;
}

bool sameChildren(const Sides& sides, const Mp4Atom& old, uint64_t oldPrefix, const Mp4Atom& made,
                  uint64_t madePrefix) {
  Mp4AtomWalk oldWalk;
  Mp4AtomWalk newWalk;
  openAtomWalk(&oldWalk, sides.old, atomBody(old) + oldPrefix, atomEnd(old), false);
  openAtomWalk(&newWalk, sides.planned, atomBody(made) + madePrefix, atomEnd(made), false);
  Mp4Atom kept;
  Mp4Atom now;
  for (;;) {
    const bool oldMore = nextKept(&oldWalk, &kept, nullptr);
    const bool newMore = nextKept(&newWalk, &now, &sides);
    if (oldWalk.malformed || newWalk.malformed || oldMore != newMore) return false;
    if (!oldMore) return true;
    if (!sameAtom(sides, kept, now)) return false;
  }
}

// The top-level atoms in order, the same bytes but `moov`; every `mdat` where it went into
// newMdat.
bool sameTopLevel(const Sides& sides, uint64_t* newMdatBodies) {
  Mp4AtomWalk oldWalk;
  Mp4AtomWalk newWalk;
  openAtomWalk(&oldWalk, sides.old, 0, sides.old.size, true);
  openAtomWalk(&newWalk, sides.planned, 0, sides.planned.size, true);
  Mp4Atom kept;
  Mp4Atom now;
  size_t mdats = 0;
  for (;;) {
    const bool oldMore = nextKept(&oldWalk, &kept, nullptr);
    const bool newMore = nextKept(&newWalk, &now, &sides);
    if (oldWalk.malformed || newWalk.malformed || oldMore != newMore) return false;
    if (!oldMore) return mdats == sides.before->mdatCount;
    if (kept.type != now.type) return false;
    if (kept.type == fourCc("moov")) {
      if (!sameAtom(sides, kept, now)) return false;
      continue;
    }
    if (kept.headerSize != now.headerSize || !keptWhole(sides, kept, now)) return false;
    if (kept.type == fourCc("mdat")) {
      if (mdats == kMp4MaxMdats) return false;
      newMdatBodies[mdats++] = atomBody(now);
    }
  }
}

// Every entry of every table points at the bytes of the same `mdat` it pointed at, at the
// same place in it.
bool sameChunkOffsets(const Sides& sides, const uint64_t* newMdatBodies) {
  const Mp4Layout& before = *sides.before;
  const Mp4Layout& after = *sides.after;
  if (after.tableCount != before.tableCount) return false;
  for (size_t t = 0; t < before.tableCount; ++t) {
    const Mp4ChunkTable& old = before.tables[t];
    const Mp4ChunkTable& made = after.tables[t];
    if (old.count != made.count) return false;
    for (uint32_t i = 0; i < old.count; ++i) {
      uint64_t entry = 0;
      uint64_t moved = 0;
      if (!readChunkOffset(sides.old, old.table, old.wide, i, &entry) ||
          !readChunkOffset(sides.planned, made.table, made.wide, i, &moved))
        return false;
      size_t m = 0;
      while (m < before.mdatCount &&
             !(entry >= atomBody(before.mdats[m]) && entry < atomEnd(before.mdats[m])))
        ++m;
      if (m == before.mdatCount || moved != entry - atomBody(before.mdats[m]) + newMdatBodies[m])
        return false;
    }
  }
  return true;
}

// The rating items read `stars`: `rate` there exactly when stars are, no other one left at 0.
bool itemsRead(const ByteSource& planned, const Mp4Layout& after, int stars) {
  if (!after.hasIlst) return stars == 0;
  int read = -1;
  if (!readIlstStars(planned, after.ilst, &read) || read != stars) return false;
  Mp4ItemWalk walk;
  openItemWalk(&walk, planned, after.ilst);
  Mp4Item item;
  int rates = 0;
  while (nextMp4Item(&walk, &item)) {
    if (item.kind == kItemOther || !item.hasData) continue;
    if (stars == 0 || starsOfItem(item) != stars) return false;
    if (item.kind == kItemRate) ++rates;
  }
  return !walk.malformed && (stars == 0 || rates > 0);
}

}  // namespace

bool mp4PlanReadsBack(const ByteSource& file, const Mp4Layout& layout, const WritePlan& plan, int stars) {
  const PlannedFile plannedFile = {&plan, file};
  const ByteSource planned = plannedSource(&plannedFile);
  Mp4Layout after;
  if (walkMp4Layout(planned, &after) != kMp4LayoutSound || !itemsRead(planned, after, stars))
    return false;
  const Sides sides = {file, planned, &plan, &layout, &after};
  uint64_t newMdatBodies[kMp4MaxMdats];
  return sameTopLevel(sides, newMdatBodies) && sameChunkOffsets(sides, newMdatBodies);
}
