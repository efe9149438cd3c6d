// SPDX-License-Identifier: LGPL-2.1-or-later
// The names the store gives the files it makes beside a track, made and recognised here
// alone: the checked copy "<track>.vimbrel-new", the old track while it is being replaced
// "<track>.vimbrel-old" (each with "-2" to "-16" after it when taken), id3lib's copy
// "<file>.XXXXXX", and the plain-named copy "vimbrel-XXXXXXXX.tmp" id3lib works on when
// the track's name has no 8-bit form. Recovery acts only on files whose names are these.
#pragma once

#include "rating/store/rewrite_journal.h"

// What id3lib appends to a file's name for the copy it writes.
extern const wchar_t kLeftoverSuffix[];  // ".XXXXXX"

// What the old track is renamed to while a checked copy replaces it.
extern const wchar_t kReplacedSuffix[];  // ".vimbrel-old"

// The suffix of the checked copy's name: never id3lib's, so that no recovery of an id3lib
// leftover ever takes a half-made copy for a whole one.
extern const wchar_t kRewriteCopySuffix[];  // ".vimbrel-new"

// `path` with `suffix` appended (malloc'd, given back with std::free); null when
// memory is short.
wchar_t* pathWithSuffix(const wchar_t* path, const wchar_t* suffix);

// "<path>.XXXXXX", as pathWithSuffix.
wchar_t* leftoverNameOf(const wchar_t* path);

// `path` with `suffix`, or when a file of that name is there already (it may be the
// user's) with "-2" to "-16" after it: the first name that nothing holds now (malloc'd),
// or null.
wchar_t* freeNameBeside(const wchar_t* path, const wchar_t* suffix);

// A free plain (ASCII) name in the track's folder for id3lib's copy of the track, whose own
// leftover name is free too (malloc'd); null when none is.
wchar_t* plainCopyName(const wchar_t* path);

// True when every file the note names beside the track has the name this file gives it
// for the note's route: a note that names anything else is none of the store's to act on.
bool noteNamesOnlyOwnFiles(const RewriteRecord& note);
