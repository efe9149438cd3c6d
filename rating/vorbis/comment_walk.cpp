// SPDX-License-Identifier: LGPL-2.1-or-later
// Walking a Vorbis comment's fields through one window; see comment_walk.h.
#include "rating/vorbis/comment_walk.h"

#include <cstring>

namespace {

// Read ahead of a field's length: the next fields of an ordinary comment come with it.
const size_t kReadAhead = 4096;

uint32_t littleEndian32(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

bool fail(CommentWalk* walk) {
  walk->malformed = true;
  return false;
}

// Where the '=' of a field that starts as "RATING:" stands, scanned a window at a time from
// `from` up to `end`; false when there is none or a read came short.
bool findEquals(SourceWindow* window, uint64_t from, uint64_t end, uint64_t* equals, bool* readFailed) {
  while (from < end) {
    const size_t piece = end - from < kSourceWindowSize ? static_cast<size_t>(end - from) : kSourceWindowSize;
    const unsigned char* bytes = windowBytes(window, from, piece, 0);
    if (bytes == nullptr) {
      *readFailed = true;
      return false;
    }
    const void* found = std::memchr(bytes, '=', piece);
    if (found != nullptr) {
      *equals = from + static_cast<uint64_t>(static_cast<const unsigned char*>(found) - bytes);
      return true;
    }
    from += piece;
  }
  return false;
}

// Fills in the field's kind, name length and short value. False when a read came short.
bool readFieldName(SourceWindow* window, CommentField* field) {
  field->kind = kFieldOther;
  field->valueRead = false;
  field->valueLength = 0;
  field->nameLength = 0;
  const uint64_t text = field->offset + 4;
  const uint64_t textEnd = text + field->length;
  // "FMPS_RATING=" is the longest name to tell from its first bytes.
  const size_t headLength = field->length < 12 ? field->length : 12;
  const unsigned char* head = windowBytes(window, text, headLength, kReadAhead);
  if (head == nullptr && headLength > 0) return false;
  uint64_t equals = 0;
  const void* found = headLength > 0 ? std::memchr(head, '=', headLength) : nullptr;
  if (found != nullptr) {
    const size_t nameLength = static_cast<size_t>(static_cast<const unsigned char*>(found) - head);
    field->kind = commentFieldKind(reinterpret_cast<const char*>(head), nameLength);
    equals = text + nameLength;
  } else {
    // No '=' in the first bytes: only a long RATING:<anything> name is worth the scan.
    if (commentFieldKind(reinterpret_cast<const char*>(head), headLength < 7 ? headLength : 7) != kFieldRatingFor)
      return true;
    bool readFailed = false;
    if (!findEquals(window, text + headLength, textEnd, &equals, &readFailed)) return !readFailed;
    field->kind = kFieldRatingFor;
  }
  if (field->kind == kFieldOther) return true;
  const uint64_t nameLength = equals - text;
  field->nameLength = nameLength;
  const uint64_t valueLength = textEnd - equals - 1;
  if (valueLength > kMaxRatingValueBytes) return true;
  const unsigned char* value = windowBytes(window, equals + 1, static_cast<size_t>(valueLength), kReadAhead);
  if (value == nullptr && valueLength > 0) return false;
  if (valueLength > 0) std::memcpy(field->value, value, static_cast<size_t>(valueLength));
  field->valueLength = static_cast<size_t>(valueLength);
  field->valueRead = true;
  return true;
}

}  // namespace

bool openCommentWalk(CommentWalk* walk, const ByteSource& source, uint64_t start, uint64_t end) {
  openWindow(&walk->window, source);
  walk->start = start;
  walk->end = end < source.size ? end : source.size;
  walk->vendorLength = 0;
  walk->countOffset = 0;
  walk->count = 0;
  walk->taken = 0;
  walk->next = start;
  walk->malformed = false;
  if (start > walk->end || walk->end - start < 8) return fail(walk);
  const unsigned char* vendor = windowBytes(&walk->window, start, 4, kReadAhead);
  if (vendor == nullptr) return fail(walk);
  walk->vendorLength = littleEndian32(vendor);
  if (walk->end - start - 8 < walk->vendorLength) return fail(walk);
  walk->countOffset = start + 4 + walk->vendorLength;
  const unsigned char* count = windowBytes(&walk->window, walk->countOffset, 4, kReadAhead);
  if (count == nullptr) return fail(walk);
  walk->count = littleEndian32(count);
  walk->next = walk->countOffset + 4;
  // Every field takes at least its 4-byte length.
  if ((walk->end - walk->next) / 4 < walk->count) return fail(walk);
  return true;
}

bool nextCommentField(CommentWalk* walk, CommentField* field) {
  if (walk->malformed || walk->taken >= walk->count) return false;
  if (walk->end - walk->next < 4) return fail(walk);
  const unsigned char* length = windowBytes(&walk->window, walk->next, 4, kReadAhead);
  if (length == nullptr) return fail(walk);
  field->offset = walk->next;
  field->length = littleEndian32(length);
  if (walk->end - walk->next - 4 < field->length) return fail(walk);
  if (!readFieldName(&walk->window, field)) return fail(walk);
  walk->next += 4 + static_cast<uint64_t>(field->length);
  ++walk->taken;
  return true;
}
