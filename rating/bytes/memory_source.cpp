// SPDX-License-Identifier: LGPL-2.1-or-later
// A byte source over memory; see memory_source.h.
#include "rating/bytes/memory_source.h"

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

namespace {

size_t readPatched(void* file, uint64_t offset, unsigned char* buffer, size_t count) {
  const PatchedBytes* patch = static_cast<const PatchedBytes*>(file);
  const ByteSource& base = patch->base;
  if (patch->spliced) {
    size_t done = 0;
    if (offset < patch->length) {
      const size_t left = patch->length - static_cast<size_t>(offset);
      done = count < left ? count : left;
      std::memcpy(buffer, patch->bytes + offset, done);
    }
    if (done == count) return done;
    const uint64_t from = patch->baseFrom + (offset + done - patch->length);
    return done + base.readAt(base.file, from, buffer + done, count - done);
  }
  const size_t got = base.readAt(base.file, offset, buffer, count);
  // The overlaid bytes that fall inside what was read.
  const uint64_t begin = offset > patch->at ? offset : patch->at;
  const uint64_t end = offset + got < patch->at + patch->length ? offset + got : patch->at + patch->length;
  if (begin < end)
    std::memcpy(buffer + (begin - offset), patch->bytes + (begin - patch->at), static_cast<size_t>(end - begin));
  return got;
}

}  // namespace

ByteSource patchedSource(const PatchedBytes* patch) {
  ByteSource source;
  source.file = const_cast<PatchedBytes*>(patch);
  source.size = patch->spliced ? patch->length + (patch->base.size - patch->baseFrom) : patch->base.size;
  source.readAt = &readPatched;
  return source;
}
