// SPDX-License-Identifier: LGPL-2.1-or-later
// The rewrite journal: a small file of the plugin's own (beside its settings) that names
// each rewrite under way, so that after a crash the store knows which files beside a
// track it made and how far it came. Each note is flushed before the step it announces.
//
// The file is a log of notes, each the whole state of one rewrite, each starting on a
// 512-byte boundary and ending in a CRC-32, followed by a zeroed sector. The last note of a
// rewrite counts; a rewrite that ended leaves a closing note that still names its files
// (a removal may not reach the disk before the note does), and recovery at start cuts the
// file to nothing once no rewrite is open; a long one keeps only its open notes. A torn or
// foreign note ends the log: what follows it is never read, and the next note is written
// over it. A journal that is missing, short or corrupt names nothing; none of these
// functions throws.
#pragma once

#include <cstdint>

// How the track is written. Routes 2 and 3 are of earlier versions, whose library wrote its
// own copy of the track: their notes may still be in a journal, holding the only whole file
// while a copy back was cut short, so recovery settles them by the same rules; none is written.
enum RewriteRoute {
  kRouteNewFile = 1,           // a room's planned new file, into "<track>.vimbrel-new"
  kRouteEarlierCopy = 2,       // a copy "<track>.XXXXXX"
  kRouteEarlierPlainCopy = 3,  // a copy "<copy>.XXXXXX" of a plain-named copy of the track
  kRoutePatch = 4,             // bytes changed in place, more than one sector of them: no copy
};

// How far a rewrite has come.
enum RewriteStep {
  kStepCopying = 1,      // the copy is being written: the track is untouched
  kStepCopyChecked = 2,  // the copy is complete, checked and durable
  kStepReplacing = 3,    // the track is being renamed to `backup` and the copy to the track
  kStepCopyingBack = 4,  // the copy is being copied over the track, which is no longer whole
  kStepPatching = 5,     // kRoutePatch: the note's new bytes are being written over the track
};

const uint64_t kRatingOffsetUnknown = ~uint64_t{0};

// The most a note's patches may hold (old and new bytes with their headers): a change in
// place larger than that is written as a new file.
const uint32_t kMaxPatchNoteBytes = 256u * 1024u;

struct RewriteRecord {
  uint32_t id;  // 0 until it is in the journal
  int route;
  int step;
  int stars;
  uint64_t ratingOffset;  // of the rating byte in the new file, or kRatingOffsetUnknown
  uint64_t trackSize;     // the track when the rewrite began
  uint64_t trackTime;
  uint64_t newSize;  // the complete copy's size; 0 while not known
  // malloc'd, null when none.
  wchar_t* track;
  wchar_t* copy;    // the new file
  wchar_t* input;   // kRouteEarlierPlainCopy: the plain-named copy of the track
  wchar_t* backup;  // the track's name while it is being replaced
  // kRoutePatch: each change in place as a u64 offset, a u32 length, the old bytes and the
  // new bytes, little-endian (malloc'd, null when none).
  unsigned char* patch;
  uint32_t patchSize;
};

// Where the journal lives; null for none (rewrites then go on without notes). The store
// keeps its own copy of the path.
void setRewriteJournal(const wchar_t* path);

// Writes the record's state to the journal and makes it durable, giving the record an id
// first when it has none. False when no journal is set or it could not be written.
bool noteRewrite(RewriteRecord* record);

// The rewrite is over and nothing of it is left beside the track: a closing note says so
// (the id becomes 0). The record's paths stay the caller's.
void closeRewriteNote(RewriteRecord* record);

// The open records of the journal that name `track` (all of them when null), up to
// `capacity`; the paths are malloc'd for the caller (releaseRewriteRecord). Returns how many.
int openRewriteNotes(const wchar_t* track, RewriteRecord* records, int capacity);

// The records of the rewrites the journal holds as closed, as openRewriteNotes.
int closedRewriteNotes(RewriteRecord* records, int capacity);

// Cuts the journal to nothing when it names no open rewrite.
void clearRewriteJournal();

void releaseRewriteRecord(RewriteRecord* record);

// A copy of `path` (malloc'd), null for null or when memory is short.
wchar_t* copyOfPath(const wchar_t* path);

// Notes that the rewrite takes `step` next. Without a journal (or when it failed from the
// start) the rewrite goes on unnoted; once the journal holds the rewrite, a step that
// cannot be noted must not be taken, as recovery would misread it: false then.
bool noteRewriteStep(RewriteRecord* record, int step);

// Removes the files the record made beside the track (its copy, input and backup; one
// already gone counts as removed), then closes its note once all are gone.
void dropRewrite(RewriteRecord* record);
