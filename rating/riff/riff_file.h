// SPDX-License-Identifier: LGPL-2.1-or-later
// WAV and AIFF files: the rating in the POPM frame of the ID3v2 tag in the file's ID3 chunk
// ("id3 " or "ID3 " in a WAV, "ID3 " in an AIFF), where Kid3, MediaMonkey, Picard, Quod Libet,
// TagLib and mutagen read it. The tag is read, and its write decided and edited, by the same
// strict reader, write guard and tag editor as an MP3's (write_guard.h, tag_editor.h), over
// the chunk's data alone; id3lib never sees it.
//
// A write is the rating byte or a frame in the tag's padding, in place; the tag made anew at
// the same size, in place; or the tag grown, in a new file: the chunk's size, its pad byte
// and the form's size follow, every other chunk keeps its bytes. A file without an ID3 chunk
// gets one at its end. Files whose chunks do not add up (riff_walk.h), with two ID3 chunks,
// or with a tag claiming more than its chunk read as no rating and are not written.
#pragma once

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"

enum ChunkedWriteReason {
  kChunkedBadStars,          // nothing: the star count is not 0..5
  kChunkedNotChunked,        // nothing: no RIFF/WAVE or FORM/AIFF header
  kChunkedSizesDisagree,     // nothing: the form's or a chunk's size does not add up
  kChunkedTooManyChunks,     // nothing: more chunks than kMaxChunks
  kChunkedTwoTagChunks,      // nothing: two ID3 chunks
  kChunkedTagChunkUnread,    // nothing: an AIFF's "id3 " chunk, which mutagen does not read
  kChunkedNotAudio,          // nothing: not one format chunk and one sound chunk
  kChunkedListBroken,        // nothing: a list chunk mutagen stops at
  kChunkedTagRefused,        // nothing: the write guard refuses the chunk's tag
  kChunkedAlreadyStored,     // nothing: the tag holds the rating (or 0 stars and no tag)
  kChunkedTooLarge,          // nothing: the tag or the file would pass what a size holds
  kChunkedPlanNotConfirmed,  // nothing: the planned file does not read back as planned
  kChunkedMemoryShort,       // nothing: memory ran short while planning
  kChunkedRatingByte,        // in place: the first POPM's rating byte
  kChunkedFrameInPadding,    // in place: a new POPM frame in the tag's padding
  kChunkedTagInPlace,        // in place: the tag made anew at its old size
  kChunkedTagAnew,           // new file: the tag made anew (larger, or changed too widely) in its chunk
  kChunkedNewTagChunk,       // new file: a new ID3 chunk at the form's end
};

// True when the file starts as a WAV or AIFF (RIFF/WAVE, FORM/AIFF, FORM/AIFC).
bool isChunkedFile(const ByteSource& file);

// The rating (0..5) of the ID3 chunk's tag; 0 for none or a file that is not walked.
int readChunkedStars(const ByteSource& file);

// Plans storing `stars` (0..5) into `plan`, as initWritePlan leaves it; kPlanNothing with
// plan->alreadyStored when the file holds it already, or with the reason why not. Every plan
// is walked as the file it makes before it is handed over.
void planChunkedWrite(const ByteSource& file, int stars, WritePlan* plan);

const char* chunkedWriteReasonName(int reason);
