// SPDX-License-Identifier: LGPL-2.1-or-later
// Whether a file starts with ADTS frames (AAC as a plain stream, ".aac"), which the player's
// MP3 decoder plays and whose ID3v2 tag at the start it reads.
//
// An ADTS header: the sync bits 0xFFF, layer 00, a sample rate index of a real rate, and a
// frame length that holds the header (and its CRC when one is flagged). One header proves
// little; the file counts as ADTS when three frames follow one another, each where the one
// before ends and of the same version, profile, sample rate and channels, or when two or more
// such frames end exactly at the file's end.
#pragma once

#include "rating/bytes/byte_source.h"

bool startsWithAdtsFrames(const ByteSource& file);
