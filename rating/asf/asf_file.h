// SPDX-License-Identifier: LGPL-2.1-or-later
// WMA (ASF) files: the rating in the attribute `WM/SharedUserRating`, a DWORD of 1, 25, 50, 75
// or 99 for 1-5 stars, where the player's WMA decoder reads it: the Extended Content
// Description, then the Metadata and Metadata Library objects of the Header Extension (stream
// 0). Pure code over a ByteSource: object headers and the attributes' headers are read, a
// WM/Picture or the data packets never.
//
// A write changes the rating attributes, the Padding object that makes room for them and the
// sizes and counts of the objects that hold them; every other object keeps its bytes, and the
// Data object and what follows it are never touched (they move, whole, only when the header
// is written anew). In place where the rating's DWORD changes or a Padding object takes up the
// difference; otherwise the file anew, its header grown, with fresh padding for later changes.
#pragma once

#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"

// Why planAsfWrite planned what it did.
enum AsfWriteReason {
  kAsfBadStars,               // nothing: the star count is not 0..5
  kAsfNotAsf,                 // nothing: no Header object first (one behind an ID3v2 tag too)
  kAsfMalformedObjects,       // nothing: an object past its parent or the file, a count that disagrees, ...
  kAsfHeaderTooLarge,         // nothing: a header of more than kAsfMaxHeaderBytes
  kAsfProtected,              // nothing: DRM (content encryption, a digital signature)
  kAsfUnproven,               // nothing: two Header Extensions, no Data object after the header, ...
  kAsfMalformedAttributes,    // nothing: a descriptor or record that breaks its object or mutagen's load
  kAsfAlreadyStored,          // nothing: the attributes hold the rating already
  kAsfPlanNotConfirmed,       // nothing: the planned file does not read back as planned
  kAsfMemoryShort,            // nothing: memory ran short while planning
  kAsfValueInPlace,           // in place: a DWORD's four bytes
  kAsfFromPadding,            // in place: a Padding object takes up the difference
  kAsfPaddingFromAttributes,  // in place: what the attributes gave up is a new Padding object
  kAsfRewriteHeader,          // new file: the header grows or shrinks, with fresh padding
  kAsfRewriteWideChange,      // new file: in place, the patches would have spanned too much
};

// The Padding object a rewrite leaves for later changes; see the README.
const uint32_t kAsfFreshPadding = 4096;

// In-place patches of more bytes than this are carried out as a new file instead.
const uint64_t kAsfMaxPatchBytes = 64 * 1024;

// The DWORD written for 1..5 stars (index 0 unused: 0 stars removes the attribute).
extern const uint32_t kAsfRatingValues[6];

// True when the file starts with the ASF Header object's GUID, also behind an ID3v2 tag (such a
// file is refused: kAsfNotAsf).
bool isAsfFile(const ByteSource& file);

// The rating (0..5) as the player's WMA decoder reads it; 0 for none or a file the room refuses.
int readAsfStars(const ByteSource& file);

// Plans storing `stars` (0..5) into `plan`, as initWritePlan leaves it. kPlanNothing with
// plan->alreadyStored when the file holds it already, or with the reason (AsfWriteReason) why
// not. Every plan is walked as the file it makes before it is handed over.
void planAsfWrite(const ByteSource& file, int stars, WritePlan* plan);

// A short English name of a plan's reason, for the log and the tests.
const char* asfWriteReasonName(int reason);
