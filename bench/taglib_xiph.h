// SPDX-License-Identifier: LGPL-2.1-or-later
// The benchmark's peer on FLAC, Ogg Vorbis and Opus files: TagLib reading and setting
// the Vorbis comment's RATING field.
#pragma once

enum XiphKind { kXiphFlac, kXiphVorbis, kXiphOpus };

// Sets RATING to `value` (replacing any) and saves; true when TagLib reports it saved.
bool setXiphRatingWithTagLib(const wchar_t* path, XiphKind kind, int value);

// The first RATING field as a number (0 when none), -1 when TagLib cannot read the file.
int readXiphRatingWithTagLib(const wchar_t* path, XiphKind kind);
