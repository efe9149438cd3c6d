// SPDX-License-Identifier: LGPL-2.1-or-later
// Where the time of one rating write goes: the store's file calls (its own and those of
// the C runtime under id3lib) are timed from their import tables and each stretch of the
// write, calls and the work between them alike, is charged to one part. The parts add up
// to the whole write.
#pragma once

enum WritePart {
  kPartPlan,        // before the copy is made: the tag read, walked and planned
  kPartJournal,     // the journal opened, read and noted
  kPartNoteFlush,   // the journal's notes flushed
  kPartCopy,        // the new file written into the copy
  kPartCopyFlush,   // the copy made durable
  kPartCheck,       // the copy read back (and, in a pass of its own, compared)
  kPartReplace,     // ReplaceFileW
  kPartTrackFlush,  // the track flushed by name after the replacement
  kPartRemove,      // DeleteFileW: the backup (the old track) removed
  kPartAfter,       // the rest: the rating read back
  kPartCount,
};

struct WriteParts {
  double ms[kPartCount];
  int notes;  // journal flushes: one a note
};

// Patches the program's and the C runtime's imports; once, after any other patch.
void installPartTimers();

// Times the calls made from now until endPartTiming, for a write of `track`, with the
// journal at `journal`.
void beginPartTiming(const wchar_t* track, const wchar_t* journal);
WriteParts endPartTiming();

const char* partName(int part);
