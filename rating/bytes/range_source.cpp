// SPDX-License-Identifier: LGPL-2.1-or-later
// A stretch of a file as a file; see range_source.h.
#include "rating/bytes/range_source.h"

#include "rating/bytes/source_window.h"

namespace {

uint64_t rangeSize(const SourceRange& range) {
  const uint64_t left = range.start < range.base.size ? range.base.size - range.start : 0;
  return range.length < left ? range.length : left;
}

size_t readRange(void* file, uint64_t offset, unsigned char* buffer, size_t count) {
  const SourceRange& range = *static_cast<const SourceRange*>(file);
  const uint64_t size = rangeSize(range);
  if (offset >= size) return 0;
  if (count > size - offset) count = static_cast<size_t>(size - offset);
  return readSourceAt(range.base, range.start + offset, buffer, count);
}

}  // namespace

ByteSource rangeSource(const SourceRange* range) {
  return {const_cast<SourceRange*>(range), rangeSize(*range), readRange};
}
