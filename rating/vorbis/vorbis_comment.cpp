// SPDX-License-Identifier: LGPL-2.1-or-later
// The rating read from a Vorbis comment, and the comment planned anew; see vorbis_comment.h.
#include "rating/vorbis/vorbis_comment.h"

#include <cstdio>
#include <cstring>

#include "rating/vorbis/comment_walk.h"

namespace {

// The values a write gives the rating fields.
struct RatingValues {
  char rating[4];    // RATING: stars x 20, or stars on the 1-5 scale; empty for 0 stars
  char fraction[4];  // FMPS_RATING and RATING:<e-mail>: stars / 5
  size_t ratingLength;
  size_t fractionLength;
  bool remove;  // 0 stars: every rating field goes
};

// What the first pass learns of the comment.
struct CommentSurvey {
  bool hasRating;           // a RATING field exists
  bool firstOnFiveScale;    // the first RATING holds a whole number 1-5
  uint32_t removed;         // rating fields a write removes
  bool changed;             // some field's bytes change, or one is added or removed
};

void putLittleEndian32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// A whole number 1-5 and nothing else ("4", "04"), as foobar2000's quick tagger writes it.
bool holdsFiveScaleNumber(const CommentField& field) {
  if (!field.valueRead || field.valueLength == 0) return false;
  unsigned number = 0;
  for (size_t i = 0; i < field.valueLength; ++i) {
    const unsigned char c = field.value[i];
    if (c < '0' || c > '9') return false;
    if (number <= 5) number = number * 10 + (c - '0');
  }
  return number >= 1 && number <= 5;
}

// The value `field` takes, and its length.
const char* newValueOf(const CommentField& field, const RatingValues& values, size_t* length) {
  if (field.kind == kFieldRating) {
    *length = values.ratingLength;
    return values.rating;
  }
  *length = values.fractionLength;
  return values.fraction;
}

bool valueUnchanged(const CommentField& field, const char* value, size_t length) {
  return field.valueRead && field.valueLength == length && std::memcmp(field.value, value, length) == 0;
}

// The first pass: whether a RATING exists and on which scale, what goes, what changes.
bool surveyComment(const ByteSource& source, uint64_t start, uint64_t end, int stars, CommentSurvey* survey,
                   CommentWalk* walk) {
  *survey = {false, false, 0, false};
  if (!openCommentWalk(walk, source, start, end)) return false;
  CommentField field;
  while (nextCommentField(walk, &field)) {
    if (field.kind == kFieldOther) continue;
    if (field.kind == kFieldRating && !survey->hasRating) {
      survey->hasRating = true;
      survey->firstOnFiveScale = holdsFiveScaleNumber(field);
    }
    if (stars == 0) ++survey->removed;
  }
  return !walk->malformed;
}

void chooseValues(int stars, const CommentSurvey& survey, RatingValues* values) {
  values->remove = stars == 0;
  const int rating = survey.firstOnFiveScale ? stars : stars * 20;
  values->ratingLength = static_cast<size_t>(std::snprintf(values->rating, sizeof values->rating, "%d", rating));
  // Always with a point, so that no reader takes "1" of RATING:<e-mail> for one star.
  values->fractionLength = static_cast<size_t>(
      std::snprintf(values->fraction, sizeof values->fraction, "%d.%d", stars / 5, (stars % 5) * 2));
}

// The second pass: the fields as spans. False when a field grows past 4 GB.
bool planFields(CommentWalk* walk, const RatingValues& values, WritePlan* plan, bool* changed) {
  CommentField field;
  while (nextCommentField(walk, &field)) {
    const uint64_t fieldEnd = field.offset + 4 + static_cast<uint64_t>(field.length);
    if (field.kind == kFieldOther) {
      addOldSpan(plan, field.offset, fieldEnd - field.offset);
      continue;
    }
    if (values.remove) {
      *changed = true;
      continue;
    }
    size_t valueLength = 0;
    const char* value = newValueOf(field, values, &valueLength);
    if (valueUnchanged(field, value, valueLength)) {
      addOldSpan(plan, field.offset, fieldEnd - field.offset);
      continue;
    }
    *changed = true;
    const uint64_t newLength = field.nameLength + 1 + valueLength;
    if (newLength > UINT32_MAX) return false;
    unsigned char length[4];
    putLittleEndian32(length, static_cast<uint32_t>(newLength));
    addNewSpan(plan, length, 4);
    addOldSpan(plan, field.offset + 4, field.nameLength + 1);  // the name keeps its case
    addNewSpan(plan, reinterpret_cast<const unsigned char*>(value), valueLength);
  }
  return !walk->malformed;
}

void addRatingField(const RatingValues& values, WritePlan* plan) {
  unsigned char field[4 + 7 + sizeof values.rating];
  putLittleEndian32(field, static_cast<uint32_t>(7 + values.ratingLength));
  std::memcpy(field + 4, "RATING=", 7);
  std::memcpy(field + 11, values.rating, values.ratingLength);
  addNewSpan(plan, field, 11 + values.ratingLength);
}

}  // namespace

bool readCommentStars(const ByteSource& source, uint64_t start, uint64_t end, int* stars, uint64_t* fieldsEnd) {
  *stars = 0;
  CommentWalk walk;
  if (!openCommentWalk(&walk, source, start, end)) return false;
  int found = -1;
  CommentField field;
  while (nextCommentField(&walk, &field)) {
    if (found < 0) found = starsOfField(field);
  }
  if (walk.malformed) return false;
  if (found > 0) *stars = found;
  if (fieldsEnd != nullptr) *fieldsEnd = walk.next;
  return true;
}

bool planComment(const ByteSource& source, uint64_t start, uint64_t end, int stars, WritePlan* plan,
                 uint64_t* newLength, uint64_t* fieldsEnd, bool* changed) {
  *newLength = 0;
  *changed = false;
  if (stars < 0 || stars > 5) return false;
  CommentSurvey survey;
  CommentWalk walk;
  if (!surveyComment(source, start, end, stars, &survey, &walk)) return false;
  if (fieldsEnd != nullptr) *fieldsEnd = walk.next;
  const uint64_t oldLength = walk.next - start;
  RatingValues values;
  chooseValues(stars, survey, &values);
  const bool adding = stars > 0 && !survey.hasRating;
  if (adding && walk.count == UINT32_MAX) return false;
  const uint32_t count = walk.count - survey.removed + (adding ? 1 : 0);

  const uint64_t before = planNewFileSize(*plan);
  addOldSpan(plan, start, walk.countOffset - start);  // the vendor string stays
  if (count == walk.count) {
    addOldSpan(plan, walk.countOffset, 4);
  } else {
    unsigned char countBytes[4];
    putLittleEndian32(countBytes, count);
    addNewSpan(plan, countBytes, 4);
  }
  if (!openCommentWalk(&walk, source, start, end) || !planFields(&walk, values, plan, changed)) return false;
  if (adding) {
    addRatingField(values, plan);
    *changed = true;
  }
  if (plan->failed) return false;
  *newLength = planNewFileSize(*plan) - before;
  // Nothing changed: the same bytes, which is what a caller compares.
  if (!*changed && *newLength != oldLength) return false;
  return true;
}
