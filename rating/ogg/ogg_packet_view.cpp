// SPDX-License-Identifier: LGPL-2.1-or-later
// A header packet as a byte source; see ogg_packet_view.h.
#include "rating/ogg/ogg_packet_view.h"

#include <cstring>

#include "rating/bytes/source_window.h"

namespace {

size_t readPacket(void* file, uint64_t offset, unsigned char* buffer, size_t count) {
  const OggPacketView& view = *static_cast<const OggPacketView*>(file);
  const uint64_t length = view.packet.end - view.packet.start;
  if (offset >= length) return 0;
  if (count > length - offset) count = static_cast<size_t>(length - offset);
  return readOggHeaderStream(*view.headers, view.file, view.packet.start + offset, buffer, count);
}

}  // namespace

ByteSource oggPacketSource(const OggPacketView* view) {
  return {const_cast<OggPacketView*>(view), view->packet.end - view->packet.start, readPacket};
}

size_t readOggHeaderStream(const OggHeaders& headers, const ByteSource& file, uint64_t at, unsigned char* buffer,
                           size_t count) {
  size_t done = 0;
  while (done < count) {
    uint64_t left = 0;
    const uint64_t from = oggHeaderStreamToFile(headers, at + done, &left);
    if (left == 0) break;
    const size_t piece = count - done < left ? count - done : static_cast<size_t>(left);
    if (readSourceAt(file, from, buffer + done, piece) != piece) break;
    done += piece;
  }
  return done;
}

bool oggPacketsEqual(const ByteSource& first, const ByteSource& second) {
  if (first.size != second.size) return false;
  unsigned char a[4096];
  unsigned char b[4096];
  for (uint64_t at = 0; at < first.size;) {
    const size_t piece = first.size - at < sizeof a ? static_cast<size_t>(first.size - at) : sizeof a;
    if (readSourceAt(first, at, a, piece) != piece || readSourceAt(second, at, b, piece) != piece) return false;
    if (std::memcmp(a, b, piece) != 0) return false;
    at += piece;
  }
  return true;
}
