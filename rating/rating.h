// SPDX-License-Identifier: LGPL-2.1-or-later
// The rating store: a track's star rating (0-5) kept in the file where the player's own
// decoders read it: the rating byte of the first POPM frame of an MP3's ID3v2 tag (an ADTS
// AAC file's too), the RATING field of the Vorbis comment of a FLAC, Ogg Vorbis or Opus
// file, the POPM of the ID3v2 tag in a WAV's or AIFF's ID3 chunk, the `rate` item of an MP4's
// `ilst`, the WM/SharedUserRating attribute of a WMA (ASF) file. Each kind of file is a room of
// its own (rooms.h).
//
// Paths are UTF-16, as the player hands them over; a long one works like any
// other. None of these functions throws.
#pragma once

#include <cstdint>

// The rating byte written for 0..5 stars.
extern const int RatingScale[6];

// Stars for a rating byte: 0 is 0 stars, 1-31 one, 32-95 two, 96-159 three,
// 160-223 four, 224 and up five; the value is compared as a signed 32-bit
// number (so anything from 0x80000000 up counts as negative and gives 0).
int starsFromRatingByte(unsigned value);

// The file's rating in stars, 0 when it has none or cannot be read.
int readRating(const wchar_t* path);

// What became of a rating the user chose; the tray tells the user the reason
// when it was not saved.
enum RatingSaveResult {
  kRatingSaved,         // the file holds the rating (also when it held it already)
  kRatingSaving,        // begun: a large file is written in slices (rewrite_job.h)
  kRatingFileMissing,   // the path names no file (any more)
  kRatingFileReadOnly,  // the file is marked read-only, or access to it is denied
  kRatingFileLocked,    // another program holds the file without sharing it
  kRatingDiskFull,      // the volume lacks the room the write needs
  kRatingTagRefused,    // a file or tag the plugin will not change
  kRatingUnknownFormat,  // no file of a room: MP3 (ID3v2, MPEG audio, ADTS), FLAC, Ogg, WAV, AIFF, MP4
                         // or WMA
  kRatingNotSaved,      // anything else: no path, a bad star count, a failed write
};

// Stores `stars` (0..5) as the file's room plans it (rooms.h): in an MP3's first POPM frame, or
// in a new one owned by "ID3Vimbrel", as far as the write guard (write_guard.h) allows; in a
// FLAC or Ogg file's Vorbis comment, a WAV's or AIFF's ID3 chunk, an MP4's items or a WMA's
// attributes (flac_file.h, ogg_file.h, riff_file.h, mp4_file.h, asf_file.h). When in doubt the
// file stays byte for byte as it was. A file written anew is checked and put in the file's place
// before this returns. Writes nothing for a null or empty path, a path that is not an existing,
// writable regular file, or stars outside 0..5.
RatingSaveResult writeRating(const wchar_t* path, int stars);

// Settles what the rewrite journal names for the file (journal_recovery.h), whatever
// its size: a copy the store made and noted ("<path>.vimbrel-new", or an earlier version's
// "<path>.XXXXXX") is put in the file's place or removed, by the journal's rules. A file
// beside it that no note names is never removed or used: it may be the user's. The
// plugin itself settles the journal at start and before each read or write of a file.
void recoverRewrite(const wchar_t* path);
