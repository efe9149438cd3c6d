// SPDX-License-Identifier: LGPL-2.1-or-later
// Recovery of the rewrites the journal names (rewrite_journal.h): what a crash, a kill or a
// power cut left of them is finished or undone. The rules, by how far a rewrite had come:
// - the copy was not complete: it is removed; the track was never touched;
// - the copy was complete (checked and durable): it takes the track's place, by replacing
//   the track when nothing holds it, else by copying it back over the track (the user chose
//   that rating: finishing the write is better than dropping it); when the track is gone, the
//   copy takes its name; when the track changed since the rewrite began (size or time), the
//   copy is removed instead;
// - a replacement was under way: whichever of its two renames happened is completed, and a
//   lost track gets its copy (or its old self) back under its name;
// - a copy back was under way: it is done again from the start.
// Only files the journal names and whose names are the store's own are ever removed or
// used; a copy that another handle holds belongs to a rewrite under way and is left alone.
// Whatever cannot be done now (a locked track, a full disk, a folder that is away) stays as
// it is, with its note, and is tried again later. None of these functions throws.
#pragma once

#include <cstdint>

#include "rating/rating.h"
#include "rating/store/rewrite_job.h"

// Settles the rewrites the journal names for `track` (for every track when null; then the
// files of closed rewrites that a lost removal left are removed too, and a journal that names
// no open rewrite any more is cut to nothing). A copy
// back of a new file of `slicedFrom` bytes or more is begun in `job` when one is given and
// idle (kRatingSaving; the job carries the note's rating), and otherwise left for later;
// smaller ones are done at once. kRatingSaved otherwise, whatever was found.
RatingSaveResult recoverJournaledRewrites(const wchar_t* track, RewriteJob* job, uint64_t slicedFrom);
