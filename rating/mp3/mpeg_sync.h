// SPDX-License-Identifier: LGPL-2.1-or-later
// Where MPEG audio starts in a file that does not start with it: the first run of
// consecutive valid frame headers, as decoders find it after junk at the start of a file.
//
// A run is three frame headers in a row, each where the previous frame's computed length
// ends (MPEG-1, 2 and 2.5, layers I, II and III, with the padding bit), all three of the
// same version, layer and sample rate. Free-format bitrates and reserved values are no
// frame. The file is read in pieces of fixed size.
#pragma once

#include <cstdint>

#include "rating/bytes/byte_source.h"

// How far into the file a run may start.
const uint64_t kMpegSyncSearchLimit = 64 * 1024;

// The offset of the first run that starts within the first kMpegSyncSearchLimit bytes.
bool findMpegAudioStart(const ByteSource& file, uint64_t* offset);

// Whether a run starts exactly at `offset`.
bool mpegAudioStartsAt(const ByteSource& file, uint64_t offset);
