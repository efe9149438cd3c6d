// SPDX-License-Identifier: LGPL-2.1-or-later
// Bytes changed in place, as a format's room plans them (write_plan.h, kPlanInPlace): the
// file keeps its size and nothing else of it moves. Changes within one 512-byte sector are
// written as they are: a sector is never torn. Anything larger is noted in the rewrite
// journal first, old and new bytes alike, so that after a crash recovery writes the new
// bytes again over whatever mix of old and new the disk holds; a byte that is neither tells
// that the file changed since, and then nothing is written.
#pragma once

#include "rating/bytes/write_plan.h"
#include "rating/file/track_file.h"
#include "rating/rating.h"
#include "rating/store/rewrite_journal.h"

// True when the plan's patches go in place: they lie in order within the file, and what
// the journal must hold of them fits a note.
bool patchesFitInPlace(const WritePlan& plan, uint64_t fileSize);

// Writes the plan through `file`, the track at `path` held open for writing (kTrackHold),
// from which the plan was made. kFileOk when every patch is written and durable.
FileStatus writePatchesInPlace(const wchar_t* path, TrackFile file, const WritePlan& plan, int stars);

// Finishes or drops an open kRoutePatch note: the new bytes go in when every byte the note
// names holds its old or its new value; the note closes unless the track cannot be
// reached now (locked, its volume away), when it stays for later.
void settlePatchNote(RewriteRecord* note);
