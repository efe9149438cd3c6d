// SPDX-License-Identifier: LGPL-2.1-or-later
// The Vorbis comment, as FLAC's VORBIS_COMMENT block and the Ogg Vorbis and Opus comment
// packets carry it: the rating read from its fields, and the comment planned anew with a
// rating. Pure code over a ByteSource that holds the comment (vendor length first) from
// `start` to `end`, read a window at a time: a field of megabytes (a picture) is never
// read whole.
//
// Reading: the first of RATING, FMPS_RATING and RATING:<anything> (names compared without
// case) whose value parses: a whole number n is no rating for 0, n stars for 1-5,
// ceil(n/20) for 6-100, 5 above; a value with a decimal point 0 < f <= 1, and FMPS_RATING
// always, is max(1, round-half-up(5f)), and 0 no rating; anything else is passed over.
//
// Writing: one RATING field holds stars x 20 (or stars, where the first RATING held a whole
// 1-5); 0 stars removes the RATING fields. Where RATING fields exist, the first changes in
// its place and every other takes the same value. FMPS_RATING and RATING:<e-mail> fields
// that exist are set to stars / 5, or removed for 0 stars; they are never made. Every other
// field keeps its bytes, its order and the case of its name; the vendor string stays.
#pragma once

#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/bytes/write_plan.h"

// Stars (0..5) for one field's name and value, or -1 when the field says nothing (not a
// rating field, or a value that does not parse).
int starsFromCommentField(const char* name, size_t nameLength, const char* value, size_t valueLength);

// The comment's rating in *stars (0 for none). False when the comment is malformed (a
// length past `end`, a count larger than the comment can hold); *stars is then 0.
// *fieldsEnd (when given) receives where the last field ends: what follows up to `end` is
// the container's (Vorbis's framing bit, Opus's padding or binary data).
bool readCommentStars(const ByteSource& source, uint64_t start, uint64_t end, int* stars, uint64_t* fieldsEnd);

// Appends to `plan`, as spans (old stretches in `source`'s offsets, and new bytes), the
// comment from `start` to its fields' end made anew with `stars`. *newLength receives the
// length of what was appended, *fieldsEnd where the old fields end, *changed whether the
// new comment differs from the old. False when the comment is malformed or memory short.
bool planComment(const ByteSource& source, uint64_t start, uint64_t end, int stars, WritePlan* plan,
                 uint64_t* newLength, uint64_t* fieldsEnd, bool* changed);

// A check of a planned comment, for the rooms to make before they hand a plan over: true
// when the comment from newStart (in `planned`, the file as the plan leaves it) reads as
// `stars`, would not change if planned again with them (every rating field agrees), and
// holds the vendor string and every field but the rating fields of the comment from
// oldStart (in `old`) with the same bytes and in the same order. Read a window at a time.
bool plannedCommentMatches(const ByteSource& old, uint64_t oldStart, uint64_t oldEnd, const ByteSource& planned,
                           uint64_t newStart, uint64_t newEnd, int stars);
