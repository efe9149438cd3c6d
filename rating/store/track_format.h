// SPDX-License-Identifier: LGPL-2.1-or-later
// Which room of the store a file belongs to, told by its bytes, never by its name: a FLAC
// stream ("fLaC", also after an ID3v2 tag some taggers put before it), an Ogg stream, a WAV
// or AIFF file, an MP4 file (`ftyp` first), a WMA (ASF) file (the Header object's GUID first),
// or else an MP3 (an ID3v2 tag, MPEG audio or ADTS
// AAC, which the write guard proves or refuses).
#pragma once

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"

enum TrackFormat {
  kFormatMp3,   // the ID3v2 tag: write_guard.h
  kFormatFlac,  // flac_file.h
  kFormatOgg,   // ogg_file.h
  kFormatChunks,  // WAV and AIFF: riff_file.h
  kFormatMp4,     // mp4_file.h
  kFormatAsf,     // WMA: asf_file.h
};

TrackFormat trackFormatOf(const ByteSource& file);

// The rating of a FLAC, Ogg, WAV, AIFF, MP4 or WMA file, as its room reads it.
int readRoomStars(TrackFormat format, const ByteSource& file);

// The plan of a FLAC, Ogg, WAV, AIFF, MP4 or WMA file's room for `stars`.
void planRoomWrite(TrackFormat format, const ByteSource& file, int stars, WritePlan* plan);

// A short English name of the plan's reason.
const char* roomWriteReasonName(TrackFormat format, int reason);
