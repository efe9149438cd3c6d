// SPDX-License-Identifier: LGPL-2.1-or-later
// A rating write that writes the whole file anew (the tag grows, or its own
// encoding changes): a complete copy beside the file, read back and checked
// against the file, then put in the file's place in one step, or, while the
// player holds the file without delete sharing, copied back over it. The
// file is untouched until the copy is complete and checked.
//
// The work goes in slices of a given number of bytes, so that the player's
// window thread never stalls for long on a large file; a small file is done
// in one call.
#pragma once

#include <cstdint>

#include "rating/rating.h"
#include "rating/id3v2/tag_editor.h"
#include "rating/file/track_file.h"

enum RewriteStage {
  kRewriteIdle,
  kRewriteCopying,      // the new tag, then the file after its old tag, into the copy
  kRewriteChecking,     // the copy read back against the new tag and the file
  kRewriteCopyingBack,  // the copy over the held file; once begun, it is finished
};

struct RewriteJob {
  RewriteStage stage;
  wchar_t* path;      // the track (malloc'd)
  wchar_t* copyPath;  // the copy beside it (malloc'd)
  TrackFile copy;     // open from the start to the end of the job
  EditedTag tag;      // the new tag
  int stars;
  uint64_t oldTagSize;      // the bytes at the start of the track the new tag replaces
  PathInfo trackAtStart;    // size and last write time: a track changed meanwhile is left alone
  uint64_t done;            // bytes of the current stage done
  int copyBackFailures;     // slices of the copy back that failed in a row
};

// From this size of the new file on, the work goes in slices from the player's timer.
const uint64_t kSlicedRewriteFrom = 32u * 1024u * 1024u;

// The suffix of the copy's name: never id3lib's, so that no recovery of an id3lib
// leftover ever takes a half-made copy for a whole one.
extern const wchar_t kRewriteCopySuffix[];  // ".vimbrel-new"

// Takes over `tag` and begins: checks room, makes the copy's file. kRatingSaving when
// the work has begun (the job then owns what it was given), else why not (the job is
// idle and `tag` released).
RatingSaveResult beginRewrite(RewriteJob* job, const wchar_t* path, EditedTag* tag, uint64_t oldTagSize,
                              int stars);

// Does up to about `budget` bytes of work. kRatingSaving while work remains; otherwise
// the outcome, and the job is idle again with nothing left beside the track.
RatingSaveResult continueRewrite(RewriteJob* job, uint64_t budget);

// writeRating, except that the rewrite of a large file is left running in `job`
// (kRatingSaving) for the caller to carry on with continueRewrite.
RatingSaveResult startRatingSave(const wchar_t* path, int stars, RewriteJob* job);

// The size of the file the job writes.
uint64_t rewriteSize(const RewriteJob* job);

// Runs the job to its end.
RatingSaveResult finishRewrite(RewriteJob* job);

// How far the job has come, 0 to 99.
int rewriteProgress(const RewriteJob* job);

// A second choice while the job runs: the new tag takes this rating instead.
void changeRewriteRating(RewriteJob* job, int stars);

// The player quits: a copy-back that has begun is finished, anything earlier given up
// (the copy removed, the track as it was).
void endRewriteForQuit(RewriteJob* job);
