// SPDX-License-Identifier: LGPL-2.1-or-later
// One walk of an MP4 file's atom headers; see mp4_layout.h.
#include "rating/mp4/mp4_layout.h"

#include "rating/bytes/source_window.h"

namespace {

void addFree(Mp4Layout* layout, const Mp4Atom& atom, Mp4FreePlace place) {
  if (layout->freeCount == kMp4MaxFrees) return;  // the others are simply not used
  layout->frees[layout->freeCount++] = {atom, place};
}

// The one child of `parent` of type `type` into *child. False when there is none; *status
// is set when the walk breaks off or there are two.
bool onlyChild(const ByteSource& file, const Mp4Atom& parent, uint32_t type, Mp4Atom* child,
               Mp4LayoutStatus* status) {
  Mp4AtomWalk walk;
  openAtomWalk(&walk, file, atomBody(parent), atomEnd(parent), false);
  Mp4Atom atom;
  bool found = false;
  while (nextAtom(&walk, &atom)) {
    if (atom.type != type) continue;
    if (found) *status = kMp4LayoutUnproven;
    *child = atom;
    found = true;
  }
  if (walk.malformed) *status = kMp4LayoutMalformed;
  return found && *status == kMp4LayoutSound;
}

// The chunk offset table of one `trak`; a track without one holds no samples.
Mp4LayoutStatus walkTrack(const ByteSource& file, const Mp4Atom& trak, Mp4Layout* layout) {
  Mp4LayoutStatus status = kMp4LayoutSound;
  Mp4ChunkTable table;
  table.trak = trak;
  if (!onlyChild(file, trak, fourCc("mdia"), &table.mdia, &status) ||
      !onlyChild(file, table.mdia, fourCc("minf"), &table.minf, &status) ||
      !onlyChild(file, table.minf, fourCc("stbl"), &table.stbl, &status))
    return status;
  Mp4AtomWalk walk;
  openAtomWalk(&walk, file, atomBody(table.stbl), atomEnd(table.stbl), false);
  Mp4Atom atom;
  bool found = false;
  bool sized = false;
  bool runs = false;
  while (nextAtom(&walk, &atom)) {
    const bool narrow = atom.type == fourCc("stco");
    if (atom.type == fourCc("stsz") || atom.type == fourCc("stsc")) {
      bool& seen = atom.type == fourCc("stsz") ? sized : runs;
      if (seen) return kMp4LayoutUnproven;
      seen = true;
      (atom.type == fourCc("stsz") ? table.sampleSizes : table.samplesPerChunk) = atom;
    }
    // Offsets of sample side data would not follow a move.
    if (atom.type == fourCc("saio")) return kMp4LayoutUnproven;
    if (!narrow && atom.type != fourCc("co64")) continue;
    if (found) return kMp4LayoutUnproven;
    found = true;
    table.table = atom;
    table.wide = !narrow;
  }
  if (walk.malformed) return kMp4LayoutMalformed;
  if (!found) return kMp4LayoutSound;
  // Without them no chunk's length is known, so neither is whether it lies in the media.
  if (!sized || !runs) return kMp4LayoutUnproven;
  if (layout->tableCount == kMp4MaxTables) return kMp4LayoutUnproven;
  uint32_t count = 0;
  const uint64_t body = atomBody(table.table);
  if (table.table.size - table.table.headerSize < 8 || !readBigEndian32(file, body + 4, &count))
    return kMp4LayoutMalformed;
  const uint64_t entries = uint64_t{count} * (table.wide ? 8 : 4);
  const uint64_t room = table.table.size - table.table.headerSize - 8;
  if (entries > room) return kMp4LayoutMalformed;
  if (entries < room) return kMp4LayoutUnproven;  // bytes after the entries: whose are they?
  table.count = count;
  layout->tables[layout->tableCount++] = table;
  return kMp4LayoutSound;
}

Mp4LayoutStatus walkMeta(const ByteSource& file, Mp4Layout* layout) {
  uint32_t versionAndFlags = 1;
  // The QuickTime form without version and flags is not the one the player reads.
  if (layout->meta.size - layout->meta.headerSize < kMp4MetaPrefix ||
      !readBigEndian32(file, atomBody(layout->meta), &versionAndFlags) || versionAndFlags != 0)
    return kMp4LayoutUnproven;
  Mp4AtomWalk walk;
  openAtomWalk(&walk, file, atomBody(layout->meta) + kMp4MetaPrefix, atomEnd(layout->meta), false);
  Mp4Atom atom;
  while (nextAtom(&walk, &atom)) {
    if (atom.type == fourCc("free")) addFree(layout, atom, kFreeInMeta);
    if (atom.type != fourCc("ilst")) continue;
    if (layout->hasIlst) return kMp4LayoutUnproven;
    layout->hasIlst = true;
    layout->ilst = atom;
  }
  return walk.malformed ? kMp4LayoutMalformed : kMp4LayoutSound;
}

Mp4LayoutStatus walkUdta(const ByteSource& file, Mp4Layout* layout) {
  Mp4AtomWalk walk;
  openAtomWalk(&walk, file, atomBody(layout->udta), atomEnd(layout->udta), false);
  Mp4Atom atom;
  while (nextAtom(&walk, &atom)) {
    if (atom.type == fourCc("free")) addFree(layout, atom, kFreeInUdta);
    if (atom.type != fourCc("meta")) continue;
    if (layout->hasMeta) return kMp4LayoutUnproven;
    layout->hasMeta = true;
    layout->meta = atom;
  }
  if (walk.malformed) return kMp4LayoutMalformed;
  return layout->hasMeta ? walkMeta(file, layout) : kMp4LayoutSound;
}

Mp4LayoutStatus walkMoov(const ByteSource& file, Mp4Layout* layout) {
  Mp4AtomWalk walk;
  openAtomWalk(&walk, file, atomBody(layout->moov), atomEnd(layout->moov), false);
  Mp4Atom atom;
  while (nextAtom(&walk, &atom)) {
    if (atom.type == fourCc("mvex")) return kMp4LayoutFragmented;
    if (atom.type == fourCc("free")) addFree(layout, atom, kFreeInMoov);
    if (atom.type == fourCc("trak")) {
      const Mp4LayoutStatus status = walkTrack(file, atom, layout);
      if (status != kMp4LayoutSound) return status;
    }
    if (atom.type != fourCc("udta")) continue;
    if (layout->hasUdta) return kMp4LayoutUnproven;
    layout->hasUdta = true;
    layout->udta = atom;
  }
  if (walk.malformed) return kMp4LayoutMalformed;
  return layout->hasUdta ? walkUdta(file, layout) : kMp4LayoutSound;
}

bool isFragmentAtom(uint32_t type) {
  return type == fourCc("moof") || type == fourCc("sidx") || type == fourCc("mfra") || type == fourCc("styp");
}

}  // namespace

bool startsWithFtyp(const ByteSource& file) {
  Mp4AtomWalk walk;
  openAtomWalk(&walk, file, 0, file.size, false);
  Mp4Atom atom;
  return nextAtom(&walk, &atom) && atom.type == fourCc("ftyp");
}

Mp4LayoutStatus walkMp4Layout(const ByteSource& file, Mp4Layout* layout) {
  *layout = Mp4Layout();
  if (!startsWithFtyp(file)) return kMp4LayoutNotMp4;
  Mp4AtomWalk walk;
  openAtomWalk(&walk, file, 0, file.size, true);
  Mp4Atom atom;
  bool hasMoov = false;
  bool afterMoov = false;
  while (nextAtom(&walk, &atom)) {
    if (isFragmentAtom(atom.type)) return kMp4LayoutFragmented;
    if (afterMoov && atom.type == fourCc("free")) addFree(layout, atom, kFreeAfterMoov);
    afterMoov = false;
    if (atom.type == fourCc("meta")) layout->topLevelMeta = true;
    if (atom.type == fourCc("mdat")) {
      if (layout->mdatCount == kMp4MaxMdats) return kMp4LayoutUnproven;
      layout->mdats[layout->mdatCount++] = atom;
    }
    if (atom.type != fourCc("moov")) continue;
    // A `moov` that runs to the end could not say how it grew.
    if (hasMoov || atom.toEnd) return kMp4LayoutUnproven;
    hasMoov = true;
    afterMoov = true;
    layout->moov = atom;
  }
  if (walk.malformed) return kMp4LayoutMalformed;
  if (!hasMoov) return kMp4LayoutUnproven;
  const Mp4LayoutStatus status = walkMoov(file, layout);
  // Music has media data and a track whose chunks lie in it.
  if (status == kMp4LayoutSound && (layout->mdatCount == 0 || layout->tableCount == 0)) return kMp4LayoutUnproven;
  return status;
}
