// SPDX-License-Identifier: LGPL-2.1-or-later
// Recovery of the rewrites the journal names; see journal_recovery.h.
#include "rating/store/journal_recovery.h"

#include <cstdlib>
#include <cwchar>

#include "rating/file/track_file.h"
#include "rating/store/patch_route.h"
#include "rating/store/rewrite_journal.h"
#include "rating/store/tag_file.h"

namespace {

// Rewrites looked at in one go; a journal holds one, or a few after failed recoveries.
const int kNotesAtOnce = 8;
// Closed rewrites whose files are looked for again at start.
const int kClosedNotesAtOnce = 32;

bool heldByAnother(const wchar_t* path) { return path && probeReplace(path) == kFileLocked; }

// The folder of `path` is there (a track on a volume that is away is left for later).
bool folderIsThere(const wchar_t* path) {
  wchar_t* folder = folderPartOf(path);
  if (!folder) return false;
  bool there = folder[0] == 0;
  if (!there) {
    const PathInfo info = pathInfo(folder, nullptr);
    there = info.exists && info.isFolder;
  }
  std::free(folder);
  return there;
}

// The copy takes the name of the track that is gone; the rest of the rewrite goes.
void copyTakesTrackName(RewriteRecord* note) {
  if (!renameFile(note->copy, note->track, false)) return;
  std::free(note->copy);
  note->copy = nullptr;
  dropRewrite(note);
}

// A complete copy is there. kRatingSaving when its copy back goes on in `job`.
RatingSaveResult settleCompleteCopy(RewriteRecord* note, const PathInfo& track, RewriteJob* job,
                                    uint64_t slicedFrom) {
  if (!track.exists) {
    copyTakesTrackName(note);
    return kRatingSaved;
  }
  const bool trackWhole = note->step < kStepCopyingBack;
  if (trackWhole && (track.size != note->trackSize || track.lastWriteTime != note->trackTime)) {
    dropRewrite(note);  // the track changed since: the copy is of a file that is no more
    return kRatingSaved;
  }
  if (note->newSize >= slicedFrom) {
    if (!job || job->stage != kRewriteIdle) return kRatingSaved;  // a large copy back waits
    return resumeRewrite(job, note, true);
  }
  RewriteJob now;
  if (resumeRewrite(&now, note, true) == kRatingSaving) finishRewrite(&now);
  return kRatingSaved;
}

RatingSaveResult settleRewrite(RewriteRecord* note, RewriteJob* job, uint64_t slicedFrom) {
  if (note->route == kRoutePatch) {
    if (folderIsThere(note->track)) settlePatchNote(note);
    return kRatingSaved;
  }
  // Only an earlier version's plain-named copy is named before the copy written from it.
  const bool copyNamed = note->copy || (note->step == kStepCopying && note->route == kRouteEarlierPlainCopy);
  if (!copyNamed || !noteNamesOnlyOwnFiles(*note)) {
    closeRewriteNote(note);  // nothing of it is provably the store's
    return kRatingSaved;
  }
  // A rewrite under way holds its copy; a volume that is away may come back.
  if (heldByAnother(note->copy) || heldByAnother(note->input)) return kRatingSaved;
  if (!folderIsThere(note->track)) return kRatingSaved;
  if (note->step == kStepCopying) {
    dropRewrite(note);
    return kRatingSaved;
  }
  FileStatus copyStatus = kFileFailed;
  const PathInfo copy = pathInfo(note->copy, &copyStatus);
  FileStatus trackStatus = kFileFailed;
  const PathInfo track = pathInfo(note->track, &trackStatus);
  if ((!copy.exists && copyStatus != kFileMissing) || (!track.exists && trackStatus != kFileMissing) ||
      copy.isFolder || track.isFolder)
    return kRatingSaved;  // cannot be seen now
  if (copy.exists && copy.size == note->newSize) return settleCompleteCopy(note, track, job, slicedFrom);
  if (copy.exists) {
    // Not the copy that was made durable: removed while the track is there to keep.
    if (track.exists && note->step < kStepCopyingBack) dropRewrite(note);
    return kRatingSaved;
  }
  // The copy is gone: a replacement completed, or lost its second step.
  if (track.exists) {
    dropRewrite(note);
  } else if (note->backup && renameFile(note->backup, note->track, false)) {
    std::free(note->backup);
    note->backup = nullptr;  // the old track is the track again
    dropRewrite(note);
  }
  return kRatingSaved;
}

bool namedBy(const wchar_t* path, const RewriteRecord* notes, int count) {
  for (int i = 0; i < count; ++i) {
    const wchar_t* names[] = {notes[i].copy, notes[i].input, notes[i].backup};
    for (const wchar_t* name : names)
      if (name && std::wcscmp(name, path) == 0) return true;
  }
  return false;
}

// A rewrite that ended removed its files before its closing note was written, but a removal
// may reach the disk later than the note: what the closed notes name is removed once more
// (unless a rewrite still open names it). Then the journal, naming no open rewrite, is cut.
void sweepClosedRewrites() {
  RewriteRecord open[kNotesAtOnce];
  const int openCount = openRewriteNotes(nullptr, open, kNotesAtOnce);
  RewriteRecord closed[kClosedNotesAtOnce];
  const int closedCount = closedRewriteNotes(closed, kClosedNotesAtOnce);
  for (int i = 0; i < closedCount; ++i) {
    if (noteNamesOnlyOwnFiles(closed[i])) {
      const wchar_t* names[] = {closed[i].copy, closed[i].input, closed[i].backup};
      for (const wchar_t* name : names)
        if (name && !namedBy(name, open, openCount) && !fileIsMissing(name)) deleteFileAt(name);
    }
    releaseRewriteRecord(&closed[i]);
  }
  for (int i = 0; i < openCount; ++i) releaseRewriteRecord(&open[i]);
  if (openCount == 0) clearRewriteJournal();
}

}  // namespace

RatingSaveResult recoverJournaledRewrites(const wchar_t* track, RewriteJob* job, uint64_t slicedFrom) {
  RewriteRecord notes[kNotesAtOnce];
  const int count = openRewriteNotes(track, notes, kNotesAtOnce);
  RatingSaveResult result = kRatingSaved;
  for (int i = 0; i < count; ++i) {
    if (settleRewrite(&notes[i], job, slicedFrom) == kRatingSaving) result = kRatingSaving;
    releaseRewriteRecord(&notes[i]);
  }
  if (!track) sweepClosedRewrites();
  return result;
}
