// SPDX-License-Identifier: LGPL-2.1-or-later
// A byte source over memory; see memory_source.h.
#include "rating/id3v2/memory_source.h"

#include <cstring>

namespace {

size_t readMemory(void* file, uint64_t offset, unsigned char* buffer, size_t count) {
  const MemoryBytes* memory = static_cast<const MemoryBytes*>(file);
  if (memory->bytes == nullptr || offset >= memory->length) return 0;
  const size_t left = memory->length - static_cast<size_t>(offset);
  const size_t copied = count < left ? count : left;
  std::memcpy(buffer, memory->bytes + offset, copied);
  return copied;
}

}  // namespace

ByteSource memorySource(const MemoryBytes* memory, uint64_t size) {
  ByteSource source;
  source.file = const_cast<MemoryBytes*>(memory);
  source.size = size;
  source.readAt = &readMemory;
  return source;
}
