// SPDX-License-Identifier: LGPL-2.1-or-later
// The byte-preserving tag editor: a file's ID3v2 tag made anew with the rating
// in its first POPM frame (or in one new POPM frame of the plugin's owner), and
// every other frame kept byte for byte, header flags included.
//
// Where the tag's own encoding must change to make room for the rating, it
// changes as other taggers change it: unsynchronisation is removed where it holds (every
// frame keeps its content and flags, the header says the tag is no longer
// unsynchronised), and an extended header's CRC is computed anew. The version
// stays as it was. Pure code over bytes already read: no file access.
#pragma once

#include <cstddef>
#include <cstdint>

// Padding given to a tag that grows, so that the next rating is a one-byte change.
const size_t kGrownTagPadding = 2048;

struct EditedTag {
  unsigned char* bytes;  // malloc'd; given back with releaseEditedTag
  size_t size;
  size_t ratingOffset;  // where the rating byte stands in `bytes`
};

// The tag of `tag` (tagSize bytes, the whole tag as on disk, which the strict
// reader vouches for) with `rating` in its first POPM frame. The result keeps
// the old tag's size when the frames fit in it (the rest is padding), and
// grows by the padding above otherwise. False when the tag cannot be edited
// without doubt (a compressed or encrypted POPM frame, memory short); `out`
// then holds nothing to release.
// `plainFrameSizes`: the ID3v2.4 frame sizes are plain integers (as iTunes wrote
// them), which the new tag keeps. `decodeTagUnsynchronisation`: the ID3v2.2/2.3
// tag-wide flag holds (the strict reader tells); where it does not, the bytes stay
// as stored and only the flag is cleared, as for an ID3v2.4 frame whose bytes
// contradict its flag. Non-zero bytes after the last frame stay as they are,
// after the frames and before the new padding.
bool editTagRating(const unsigned char* tag, size_t tagSize, bool plainFrameSizes, bool decodeTagUnsynchronisation,
                   unsigned char rating, EditedTag* out);

// A new ID3v2.3 tag for a file without one: one POPM frame and the padding above.
bool newTagWithRating(unsigned char rating, EditedTag* out);

void releaseEditedTag(EditedTag* tag);
