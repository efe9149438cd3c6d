// SPDX-License-Identifier: LGPL-2.1-or-later
// Ogg Vorbis and Opus files: the rating in the comment packet (vorbis_comment.h), where the
// player's Vorbis decoder reads and writes it. Pure code over a ByteSource: the pages of
// the header packets are read, the audio pages only as far as a write must check them.
//
// A write keeps the comment packet's length where the slack a packet may carry allows it
// (bytes after Vorbis's framing bit; Opus padding after the comments), and then changes only
// the pages that hold it, each with a fresh CRC; otherwise the header packets are paginated
// anew and the file written anew. Opus binary data after the comments stays byte for byte.
// One logical stream of Vorbis or Opus only: Ogg FLAC, multiplexed or chained files, and
// anything else not proven sound are refused.
#pragma once

#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"

// Why planOggWrite chose what it did.
enum OggWriteReason {
  kOggWriteInPlace,          // patches: the pages that hold the comment packet, fresh CRCs
  kOggWriteNewFile,          // new file: the header pages paginated anew, the audio pages kept
  kOggWriteAlreadyStored,    // nothing: the comment holds the rating already
  kOggWriteBadStars,         // nothing: not 0..5
  kOggWriteNotOgg,           // nothing: no Ogg page at the start
  kOggWriteOtherCodec,       // nothing: Ogg FLAC, or anything but Vorbis and Opus
  kOggWriteManyStreams,      // nothing: multiplexed or chained
  kOggWriteBrokenPage,       // nothing: a bad CRC, lacing past the file's end, a page out of sequence
  kOggWriteBrokenHeaders,    // nothing: a header packet cut short, audio not on a fresh page
  kOggWriteBrokenComment,    // nothing: the comment is malformed
  kOggWriteTooManyPages,     // nothing: more header pages than the store walks
  kOggWriteNoRoom,           // nothing: every header page full; no new page is added
  kOggWriteUnverified,       // nothing: the planned file did not walk back as planned
  kOggWriteOutOfMemory,      // nothing: memory ran short or the plan grew past its limit
};

// True when the file starts as an Ogg stream ("OggS"); whether it is one the store rates
// is for the functions below to prove.
bool isOggFile(const ByteSource& file);

// The rating (0..5) as the player's Vorbis decoder reads it; 0 for none or a file not proven.
int readOggStars(const ByteSource& file);

// Plans storing `stars` (0..5) into `plan`, which is filled in from empty (any earlier
// contents must have been released). kPlanNothing with plan->alreadyStored when the file holds
// it already, or with the reason why not.
void planOggWrite(const ByteSource& file, int stars, WritePlan* plan);

// A short English name of a plan's reason, for the log and the tests.
const char* oggWriteReasonName(int reason);
