// SPDX-License-Identifier: LGPL-2.1-or-later
// id3lib on tags in memory: it parses the bytes of a tag the room read and renders a tag into a
// string; it opens no file. Its calls may throw, and nothing here catches: the store does,
// around every call into a room.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "rating/bytes/byte_source.h"

// The tag id3lib makes of the `oldSize` bytes of `oldTag` (0: a tag of its own) with a POPM
// frame of the plugin's owner holding `rating` added, rendered into *rendered. Rendered in
// memory, the tag is padded to a multiple of 2 KB (id3lib renders a copy of the tag that knows
// no file): the room pads it as id3lib pads a file's tag instead (id3libFileTagSize). False
// when id3lib does not read that tag as the guard planned: all `oldSize` bytes as one tag,
// `frameCount` frames, no POPM.
bool renderTagWithPopm(const unsigned char* oldTag, size_t oldSize, uint32_t frameCount, unsigned char rating,
                       std::string* rendered);

// The size id3lib gives the tag it writes into a file: `renderedSize` bytes of header and
// frames (the padding left out), where the old tag took `oldTagSize` bytes of a file of
// `fileSize`. The old size when
// the frames fit it with less than 4 KB to spare; no padding where the file is only the tag;
// otherwise padding that makes the whole file a multiple of 2 KB (1 to 2048 bytes of it).
uint64_t id3libFileTagSize(uint64_t renderedSize, uint64_t oldTagSize, uint64_t fileSize);

// The rating byte of the first POPM frame id3lib reads in the ID3v2 tags that start the file,
// one after another, as it reads a file it opens itself (0: none). Tags of more than
// kId3libMaxReadBytes in all read as no rating.
unsigned id3libRatingByte(const ByteSource& file);

const uint64_t kId3libMaxReadBytes = 64u * 1024u * 1024u;
