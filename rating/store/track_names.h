// SPDX-License-Identifier: LGPL-2.1-or-later
// The names the store gives the files it makes beside a track, made and recognised here alone:
// the checked copy "<track>.vimbrel-new" and the old track while it is being replaced
// "<track>.vimbrel-old" (each with "-2" to "-16" after it when taken). The journal of an
// earlier version may also name its copies "<file>.XXXXXX" and "vimbrel-XXXXXXXX.tmp": they
// are recognised so that recovery can settle such a note, and never made. Recovery acts only
// on files whose names are these.
#pragma once

#include "rating/store/rewrite_journal.h"

// The suffix of an earlier version's copies (kRouteEarlierCopy).
extern const wchar_t kLeftoverSuffix[];  // ".XXXXXX"

// What the old track is renamed to while a checked copy replaces it.
extern const wchar_t kReplacedSuffix[];  // ".vimbrel-old"

// The suffix of the checked copy's name: never an earlier version's, so that no recovery of an
// earlier note ever takes a half-made copy for a whole one.
extern const wchar_t kRewriteCopySuffix[];  // ".vimbrel-new"

// `path` with `suffix`, or when a file of that name is there already (it may be the
// user's) with "-2" to "-16" after it: the first name that nothing holds now (malloc'd),
// or null.
wchar_t* freeNameBeside(const wchar_t* path, const wchar_t* suffix);

// True when every file the note names beside the track has the name this file gives it
// for the note's route: a note that names anything else is none of the store's to act on.
bool noteNamesOnlyOwnFiles(const RewriteRecord& note);
