// SPDX-License-Identifier: LGPL-2.1-or-later
// One comment field's rating: the kind of name and the number its value stands for.
//
// Edge rules beyond the players' (tests/vorbis_comment_test.cpp keeps them in a table):
// - spaces and tabs around the value are passed over; any other character (a sign, a
//   comma, an exponent, a second point) makes it no number;
// - a whole number is read as far as it matters: every number above 100 is 5 stars, so
//   digits never overflow, however many there are;
// - a value with a point is a fraction: "0.8", ".8", "1.0" and "1." count, "80.0" or "2.0"
//   (above 1) is no fraction and passed over, as is a lone ".";
// - FMPS_RATING is a fraction even without a point: "1" is 5 stars, "0" none, "80" nothing;
// - a value longer than kMaxRatingValueBytes is passed over.
#include "rating/vorbis/comment_walk.h"
#include "rating/vorbis/vorbis_comment.h"

namespace {

// Above this a whole number is 5 stars whatever its digits: counting stops here.
const uint32_t kWholeNumberCeiling = 1000;

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// `name` starts with `prefix` (lower case), compared without case.
bool startsWithNoCase(const char* name, size_t nameLength, const char* prefix, size_t prefixLength) {
  if (nameLength < prefixLength) return false;
  for (size_t i = 0; i < prefixLength; ++i) {
    if (lowerAscii(name[i]) != prefix[i]) return false;
  }
  return true;
}

bool isBlank(unsigned char c) { return c == ' ' || c == '\t'; }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// A value read as digits, an optional point and digits.
struct ParsedNumber {
  uint32_t whole;         // the digits before the point, counted up to the ceiling
  bool hasPoint;
  int firstDecimal;       // the first digit after the point, 0 when none
  bool decimalsAllZero;   // every digit after the point is 0 (or there is none)
};

bool parseNumber(const unsigned char* value, size_t length, ParsedNumber* number) {
  size_t begin = 0;
  while (begin < length && isBlank(value[begin])) ++begin;
  while (length > begin && isBlank(value[length - 1])) --length;
  *number = {0, false, 0, true};
  size_t digits = 0;
  size_t decimals = 0;
  for (size_t i = begin; i < length; ++i) {
    const unsigned char c = value[i];
    if (c == '.' && !number->hasPoint) {
      number->hasPoint = true;
    } else if (!isDigit(c)) {
      return false;
    } else if (number->hasPoint) {
      if (decimals == 0) number->firstDecimal = c - '0';
      if (c != '0') number->decimalsAllZero = false;
      ++decimals;
    } else {
      if (number->whole <= kWholeNumberCeiling) number->whole = number->whole * 10 + static_cast<uint32_t>(c - '0');
      ++digits;
    }
  }
  return digits + decimals > 0;
}

// A fraction f of 0..1: 0 is no rating, else max(1, round-half-up(5f)). Rounding 5f half up
// is (10f + 1) / 2 rounded down, which only the first decimal decides: exact, no floats.
int starsFromFraction(const ParsedNumber& number) {
  if (number.whole > 1 || (number.whole == 1 && !number.decimalsAllZero)) return -1;
  if (number.whole == 1) return 5;
  if (number.decimalsAllZero) return 0;
  const int stars = (number.firstDecimal + 1) / 2;
  return stars < 1 ? 1 : stars;
}

int starsFromWholeNumber(uint32_t whole) {
  if (whole <= 5) return static_cast<int>(whole);
  if (whole <= 100) return static_cast<int>((whole + 19) / 20);
  return 5;
}

}  // namespace

CommentFieldKind commentFieldKind(const char* name, size_t nameLength) {
  if (nameLength == 6 && startsWithNoCase(name, nameLength, "rating", 6)) return kFieldRating;
  if (nameLength == 11 && startsWithNoCase(name, nameLength, "fmps_rating", 11)) return kFieldFmpsRating;
  if (startsWithNoCase(name, nameLength, "rating:", 7)) return kFieldRatingFor;
  return kFieldOther;
}

int starsFromRatingValue(CommentFieldKind kind, const unsigned char* value, size_t valueLength) {
  if (kind == kFieldOther || valueLength > kMaxRatingValueBytes) return -1;
  ParsedNumber number;
  if (!parseNumber(value, valueLength, &number)) return -1;
  if (kind == kFieldFmpsRating || number.hasPoint) return starsFromFraction(number);
  return starsFromWholeNumber(number.whole);
}

int starsOfField(const CommentField& field) {
  if (field.kind == kFieldOther || !field.valueRead) return -1;
  return starsFromRatingValue(field.kind, field.value, field.valueLength);
}

int starsFromCommentField(const char* name, size_t nameLength, const char* value, size_t valueLength) {
  return starsFromRatingValue(commentFieldKind(name, nameLength), reinterpret_cast<const unsigned char*>(value),
                              valueLength);
}
