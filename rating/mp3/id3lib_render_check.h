// SPDX-License-Identifier: LGPL-2.1-or-later
// What id3lib renders is checked before the MP3 room plans with it: the tag must hold every
// frame of the file's tag unchanged, in order, and then the plugin's POPM frame alone.
#pragma once

#include <cstddef>

#include "rating/bytes/byte_source.h"

// For a kRatingWriteWithId3lib plan made from the same file (write_guard.h): `rendered` is the
// tag id3lib renders in memory after the plugin added its POPM frame. True when it is a plain
// ID3v2.3 tag holding the frames of the file's tag unchanged (same bytes, same order) and then
// one POPM frame of the plugin's owner with `ratingByte` and a zero counter, and nothing else.
bool id3libRenderKeepsTag(const ByteSource& file, int ratingByte, const unsigned char* rendered,
                          size_t renderedSize);
