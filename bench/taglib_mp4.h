// SPDX-License-Identifier: LGPL-2.1-or-later
// The benchmark's peer on M4A files: TagLib reading and setting the ilst item `rate`,
// where the player's MP4 decoder keeps its rating.
#pragma once

// Sets `rate` to the text `value` (stars x 20) and saves; true when TagLib reports it saved.
bool setMp4RatingWithTagLib(const wchar_t* path, int value);

// `rate` as a number (0 when there is none), -1 when TagLib cannot read the file.
int readMp4RatingWithTagLib(const wchar_t* path);
