// SPDX-License-Identifier: LGPL-2.1-or-later
// MP4/M4A files: the rating in the `ilst` item `rate` ("20".."100"), where the player's MP4
// decoder keeps it, with `----:com.apple.iTunes:RATING` and `FMPS_Rating` set to match
// where a file has them. Pure code over a ByteSource: atom headers and the rating items are
// read, a cover or the media never.
//
// A write changes the rating items and the sizes of the atoms that hold them (`ilst`,
// `meta`, `udta`, `moov`); every other atom keeps its bytes. In place where a `free` atom
// beside the path takes up the difference; otherwise the file anew, `moov` grown where it
// stands, with fresh `free` room after `ilst`, and when the media follows `moov`, every
// chunk offset shifted by the growth.
#pragma once

#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"

// Why planMp4Write planned what it did.
enum Mp4WriteReason {
  kMp4BadStars,             // nothing: the star count is not 0..5
  kMp4NotMp4,               // nothing: no `ftyp` atom first
  kMp4MalformedAtoms,       // nothing: an atom past its parent or the file, smaller than its header, ...
  kMp4Fragmented,           // nothing: `moof`, `sidx`, `mfra`, `styp` or `mvex`
  kMp4Unproven,             // nothing: two `moov` or `udta`, no `moov`, a `meta` of another form, ...
  kMp4MalformedItems,       // nothing: an item or `data` atom that breaks its parent
  kMp4OffsetsOutsideMdat,   // nothing: a chunk offset that points into no `mdat`
  kMp4TablesTooLarge,       // nothing: the shifted chunk offset tables would pass the plan's bytes
  kMp4AlreadyStored,        // nothing: the items hold the rating already
  kMp4PlanNotConfirmed,     // nothing: the planned file does not read back as planned
  kMp4MemoryShort,          // nothing: memory ran short while planning
  kMp4ItemsInPlace,         // in place: `ilst` keeps its size
  kMp4ItemsFromFree,        // in place: a `free` atom beside the path takes up the difference
  kMp4FreeFromItems,        // in place: what the items gave up is a new `free` atom after `ilst`
  kMp4RewriteMoovGrows,     // new file: `moov` grows where it stands, no chunk offset moves
  kMp4RewriteShiftOffsets,  // new file: `moov` grows before the media; the chunk offsets shift
  kMp4RewriteWideChange,    // new file: in place, the patches would have spanned too much
};

// The `free` room a rewrite leaves after `ilst`; see the README.
const uint32_t kMp4FreshFree = 2048;

// In-place patches of more bytes than this are carried out as a new file instead.
const uint64_t kMp4MaxPatchBytes = 64 * 1024;

// True when the file starts with an `ftyp` atom.
bool isMp4File(const ByteSource& file);

// The rating (0..5) as the player's MP4 decoder reads it; 0 for none or a broken file.
int readMp4Stars(const ByteSource& file);

// Plans storing `stars` (0..5) into `plan`, as initWritePlan leaves it. kPlanNothing with
// plan->alreadyStored when the file holds it already, or with the reason (Mp4WriteReason)
// why not. Every plan is walked as the file it makes before it is handed over.
void planMp4Write(const ByteSource& file, int stars, WritePlan* plan);

// A short English name of a plan's reason, for the log and the tests.
const char* mp4WriteReasonName(int reason);
