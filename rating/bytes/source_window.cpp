// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading a file a window at a time; see source_window.h.
#include "rating/bytes/source_window.h"

size_t readSourceAt(const ByteSource& source, uint64_t offset, unsigned char* buffer, size_t count) {
  if (source.readAt == nullptr || offset >= source.size) return 0;
  if (count > source.size - offset) count = static_cast<size_t>(source.size - offset);
  if (count == 0) return 0;
  const size_t got = source.readAt(source.file, offset, buffer, count);
  return got <= count ? got : 0;  // more than asked: a broken source, none of it is trusted
}

void openWindow(SourceWindow* window, const ByteSource& source) {
  window->source = source;
  window->start = 0;
  window->length = 0;
  window->readFailed = false;
}

const unsigned char* windowBytes(SourceWindow* window, uint64_t offset, size_t count, size_t ahead) {
  const uint64_t size = window->source.size;
  if (count > kSourceWindowSize || offset > size || count > size - offset) return nullptr;
  if (offset >= window->start && offset - window->start <= window->length &&
      count <= window->length - (offset - window->start)) {
    return window->bytes + (offset - window->start);
  }
  size_t wanted = ahead < kSourceWindowSize - count ? count + ahead : kSourceWindowSize;
  if (wanted > size - offset) wanted = static_cast<size_t>(size - offset);
  window->start = offset;
  window->length = readSourceAt(window->source, offset, window->bytes, wanted);
  if (window->length < count) {
    window->readFailed = true;
    return nullptr;
  }
  return window->bytes;
}
