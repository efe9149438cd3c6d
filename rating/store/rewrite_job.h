// SPDX-License-Identifier: LGPL-2.1-or-later
// A rating write that writes the whole file anew (a tag or comment grows, or its own
// encoding changes), as a format's room planned it (write_plan.h): a complete copy beside
// the file, streamed from the plan's spans, each piece read back from the copy and checked
// against the bytes it was written from, then put in the file's place: by replacing it when nothing
// holds it, or, while the player holds it without delete sharing, by copying it
// back over it. The file is untouched until the copy is complete, checked and
// durable; each step is noted in the rewrite journal (rewrite_journal.h) before
// it is taken, so that a crash at any moment can be recovered from
// (journal_recovery.h).
//
// The work goes in slices of a given number of bytes, so that the player's
// window thread never stalls for long on a large file; a small file is done
// in one call. Each slice written is made durable before the next.
#pragma once

#include <cstdint>

#include "rating/rating.h"
#include "rating/bytes/write_plan.h"
#include "rating/file/track_file.h"
#include "rating/store/rewrite_journal.h"
#include "rating/store/track_names.h"

enum RewriteStage {
  kRewriteIdle,
  kRewriteCopying,      // the plan's spans into the copy, each piece read back as it goes
  kRewriteChecking,     // the copy complete, checked and durable: next, it takes the track's place
  kRewriteCopyingBack,  // the copy over the held file; once begun, it is finished
};

struct RewriteJob {
  RewriteStage stage;
  RewriteRecord note;  // the track, the copy beside it, how far it has come; in the journal
  TrackFile copy;      // open from the start to the end of the job
  WritePlan plan;      // the new file; nothing when the job finishes a copy made earlier
  int stars;
  uint64_t newSize;       // of the new file
  PathInfo trackAtStart;  // size and last write time: a track changed meanwhile is left alone
  uint64_t done;          // bytes of the current stage done
  int copyBackFailures;   // slices of the copy back that failed in a row
  bool keepOnFailure;     // a failure leaves the copy and its note for a later recovery
};

// From this size of the new file on, the work goes in slices from the player's timer.
const uint64_t kSlicedRewriteFrom = 32u * 1024u * 1024u;

// Takes over `plan` (kPlanNewFile, made for the track as it is) and begins: checks room,
// notes the rewrite, makes the copy's file. kRatingSaving when the work has begun (the job
// then owns what it was given), else why not (the job is idle and `plan` released).
RatingSaveResult beginRewrite(RewriteJob* job, const wchar_t* path, WritePlan* plan, int stars);

// Takes over a complete, durable copy that `note` names (at kStepCopyChecked or later; its
// paths move into the job) and puts it in the track's place, as the end of a rewrite does.
// kRatingSaving while a copy back remains to be done. `keepOnFailure`: the copy came from
// the journal after a crash; when it cannot be placed now, it and its note stay for later.
RatingSaveResult resumeRewrite(RewriteJob* job, RewriteRecord* note, bool keepOnFailure);

// Does up to about `budget` bytes of work. kRatingSaving while work remains; otherwise
// the outcome, and the job is idle again with nothing left beside the track (save a copy
// kept for a later recovery when the track could not take it).
RatingSaveResult continueRewrite(RewriteJob* job, uint64_t budget);

// writeRating, except that the rewrite of a large file is left running in `job`
// (kRatingSaving) for the caller to carry on with continueRewrite.
RatingSaveResult startRatingSave(const wchar_t* path, int stars, RewriteJob* job);

// True when the copy is complete and checked and the next call puts it in the track's place:
// a call of a few notes and flushes and the old track's removal, best begun on a timer tick
// of its own so that it never adds to other work in one long stall.
bool rewriteReadyToPlace(const RewriteJob* job);

// The size of the file the job writes.
uint64_t rewriteSize(const RewriteJob* job);

// Runs the job to its end.
RatingSaveResult finishRewrite(RewriteJob* job);

// How far the job has come, 0 to 99.
int rewriteProgress(const RewriteJob* job);

// A second choice while the job runs: the new file takes this rating instead. False when
// the job cannot take it (it finishes a copy whose rating byte it does not know, or the
// rating is text whose length follows it).
bool changeRewriteRating(RewriteJob* job, int stars);

// The player quits: a copy-back that has begun is finished, anything earlier given up
// (the copy removed, the track as it was).
void endRewriteForQuit(RewriteJob* job);
