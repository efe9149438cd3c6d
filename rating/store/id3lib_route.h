// SPDX-License-Identifier: LGPL-2.1-or-later
// id3lib's route for a rating the write guard hands to id3lib (kRatingWriteWithId3lib):
// id3lib adds the plugin's POPM frame, after the store has checked that it sees the tag
// the guard planned for and would render every frame of it unchanged. None of these throws.
#pragma once

#include <cstddef>

#include "rating/bytes/byte_source.h"
#include "rating/file/track_file.h"
#include "rating/rating.h"
#include "rating/store/rewrite_journal.h"
#include "rating/store/write_guard.h"

// Room for the 8-bit name id3lib opens a file by: the C runtime takes no more.
const size_t kId3libNameSize = 260;

// id3lib updates the file it opens by `id3libName` (the track itself, or a copy of it)
// while the store holds `track`. A rewrite ends as a copy "<id3libName>.XXXXXX" beside it,
// named in the journal (`note`, empty on entry) before id3lib writes it. A whole, checked,
// durable copy leaves the note at kStepCopyChecked (in memory: the journal learns it with the
// step that puts the copy in the track's place once the track is no longer held,
// resumeRewrite); anything else the note names is the caller's to
// discard (discardId3libRewrite). kRatingTagRefused, with nothing named, when a file of the
// copy's name is there already.
RatingSaveResult updateThroughId3lib(const char* id3libName, const wchar_t* path, TrackFile track,
                                     const ByteSource& file, const RatingWritePlan& plan, int ratingByte,
                                     RewriteRecord* note);

// The same when the track's name has no 8-bit form id3lib could open: id3lib works on a
// plain-named copy beside the track (named in the note too), held like it, and only its
// checked result counts.
RatingSaveResult updateCopyThroughId3lib(const wchar_t* path, TrackFile track, const ByteSource& file,
                                         const RatingWritePlan& plan, int ratingByte, RewriteRecord* note);

// Removes what an id3lib rewrite that will not be put in place left beside the track, closes
// its note when nothing is left, and releases the note's paths.
void discardId3libRewrite(RewriteRecord* note);
