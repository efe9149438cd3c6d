// SPDX-License-Identifier: LGPL-2.1-or-later
// The benchmark's peer: TagLib adding a POPM frame to a file's ID3v2 tag.
#pragma once

// Adds a POPM frame holding `ratingByte` (owner "ID3Vimbrel") to the file's
// ID3v2 tag with TagLib and saves it; true when TagLib reports it saved.
bool addPopmWithTagLib(const wchar_t* path, int ratingByte);
