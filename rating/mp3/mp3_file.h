// SPDX-License-Identifier: LGPL-2.1-or-later
// The MP3 room: MPEG audio and ADTS AAC files, with an ID3v2 tag in front or without one yet.
// The rating is the first POPM frame's rating byte, where the player's MP3 decoder reads it;
// the write guard (write_guard.h) decides how it is read and stored, over the tag as the strict
// reader walks it.
//
// A write is the rating byte or a new POPM frame in the padding, in place; or the tag made anew,
// by the tag editor (tag_editor.h) or by id3lib in memory (id3lib_tag.h), in front of every byte
// that followed the old tag: in place where it keeps the old tag's size, else a new file.
// Everything else reads as no rating and is not written.
#pragma once

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"

// True when the file is the room's (write_guard.h: holdsMpegAudio).
bool isMp3File(const ByteSource& file);

// The rating (0..5) of the file's tag; 0 for none.
int readMp3Stars(const ByteSource& file);

// Plans storing `stars` (0..5) into `plan`, as initWritePlan leaves it; kPlanNothing with
// plan->alreadyStored when the file holds it already, or with the guard's reason why not
// (RatingWriteReason, the plan's reason whatever its kind).
void planMp3Write(const ByteSource& file, int stars, WritePlan* plan);

const char* mp3WriteReasonName(int reason);
