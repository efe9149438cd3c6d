// SPDX-License-Identifier: LGPL-2.1-or-later
// The header pages of an Ogg stream made anew; see ogg_repaginate.h.
#include "rating/ogg/ogg_repaginate.h"

#include <cstdlib>
#include <cstring>

#include "rating/ogg/ogg_page.h"

namespace {

uint64_t lacingValuesOf(uint64_t packetLength) { return packetLength / 255 + 1; }

// How many lacing values each new page takes: as many as the old page had, the difference
// taken up first by the page where the comment ends, then the pages before it, then after.
bool layOutPages(const OggHeaders& headers, uint64_t wanted, uint16_t* counts) {
  const size_t pageCount = headers.pageCount;
  uint64_t had = 0;
  size_t commentEndPage = 0;
  for (size_t i = 0; i < pageCount; ++i) {
    counts[i] = headers.pages[i].segmentCount;
    had += counts[i];
    if (headers.pages[i].bodyStart < headers.comment.end) commentEndPage = i;
  }
  for (size_t step = 0; step < pageCount && had != wanted; ++step) {
    const size_t i = step <= commentEndPage ? commentEndPage - step : step;
    if (had < wanted) {
      const uint64_t room = 255u - counts[i];
      const uint64_t taken = wanted - had < room ? wanted - had : room;
      counts[i] = static_cast<uint16_t>(counts[i] + taken);
      had += taken;
    } else {
      const uint64_t spare = counts[i] - 1u;  // every page keeps one value
      const uint64_t given = had - wanted < spare ? had - wanted : spare;
      counts[i] = static_cast<uint16_t>(counts[i] - given);
      had -= given;
    }
  }
  return had == wanted;
}

// Appends the header-stream stretch [at, at + length) of the old file, page body by page body.
void addOldStreamSpans(const OggHeaders& headers, uint64_t at, uint64_t length, WritePlan* plan) {
  while (length > 0 && !plan->failed) {
    uint64_t left = 0;
    const uint64_t from = oggHeaderStreamToFile(headers, at, &left);
    if (left == 0) {
      plan->failed = true;
      return;
    }
    const uint64_t piece = length < left ? length : left;
    addOldSpan(plan, from, piece);
    at += piece;
    length -= piece;
  }
}

// Appends bytes [at, at + length) of the new packets: the new comment, then the old setup header.
void addNewStreamSpans(const OggHeaders& headers, const WritePlan& comment, uint64_t at,
                       uint64_t length, WritePlan* plan) {
  const uint64_t commentLength = planNewFileSize(comment);
  for (size_t i = 0; i < comment.spanCount && length > 0; ++i) {
    const PlanSpan& span = comment.spans[i];
    if (at >= span.at + span.length) continue;
    const uint64_t into = at - span.at;
    const uint64_t piece = length < span.length - into ? length : span.length - into;
    if (span.fromNew)
      addNewSpan(plan, comment.bytes + span.from + into, static_cast<size_t>(piece));
    else
      addOldStreamSpans(headers, headers.comment.start + span.from + into, piece, plan);
    at += piece;
    length -= piece;
  }
  if (length > 0) addOldStreamSpans(headers, headers.setup.start + (at - commentLength), length, plan);
}

void putLittleEndian(unsigned char* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The lacing values of the new packets, handed out in order.
struct LacingCursor {
  uint64_t packetLengths[2];
  int packetCount;
  int packet;
  uint64_t left;  // of the current packet
};

unsigned char nextLacingValue(LacingCursor* cursor) {
  if (cursor->left >= 255) {
    cursor->left -= 255;
    return 255;
  }
  const unsigned char last = static_cast<unsigned char>(cursor->left);
  if (++cursor->packet < cursor->packetCount) cursor->left = cursor->packetLengths[cursor->packet];
  return last;
}

}  // namespace

OggPaginationResult paginateOggHeaders(const ByteSource& file, const OggHeaders& headers, const WritePlan& comment,
                                       unsigned char* buffer, WritePlan* plan) {
  const uint64_t commentLength = planNewFileSize(comment);
  const uint64_t setupLength = headers.setup.end - headers.setup.start;
  const bool vorbis = headers.codec == kOggCodecVorbis;
  const uint64_t wanted = lacingValuesOf(commentLength) + (vorbis ? lacingValuesOf(setupLength) : 0);
  uint16_t* counts = static_cast<uint16_t*>(std::malloc(headers.pageCount * sizeof(uint16_t)));
  if (counts == nullptr) return kOggPaginationFailed;
  if (!layOutPages(headers, wanted, counts)) {
    std::free(counts);
    return kOggPaginationNoRoom;
  }

  plan->kind = kPlanNewFile;  // so that the planned pages read back for their CRCs
  PlannedFile plannedFile = {plan, file};
  addOldSpan(plan, 0, headers.firstPageEnd);
  LacingCursor cursor = {{commentLength, setupLength}, vorbis ? 2 : 1, 0, commentLength};
  bool continues = false;
  uint64_t streamAt = 0;
  for (size_t i = 0; i < headers.pageCount && !plan->failed; ++i) {
    const OggHeaderPage& old = headers.pages[i];
    unsigned char header[kOggPageHeaderSize + 255];
    std::memcpy(header, "OggS\0", 5);
    header[5] = continues ? kOggContinued : 0;
    putLittleEndian(header + 14, headers.serial, 4);
    putLittleEndian(header + 18, old.sequence, 4);
    putLittleEndian(header + 22, 0, 4);
    header[26] = static_cast<unsigned char>(counts[i]);
    uint64_t bodyLength = 0;
    bool endsPacket = false;
    for (unsigned j = 0; j < counts[i]; ++j) {
      const unsigned char value = nextLacingValue(&cursor);
      header[kOggPageHeaderSize + j] = value;
      bodyLength += value;
      endsPacket = endsPacket || value < 255;
      continues = value == 255;
    }
    // Header pages keep their granule where a packet still ends (or not) on them.
    const uint64_t granule = endsPacket == old.endsPacket ? old.granule : endsPacket ? 0 : kOggNoGranule;
    putLittleEndian(header + 6, granule, 8);

    const uint64_t pageAt = planNewFileSize(*plan);
    const size_t headerLength = kOggPageHeaderSize + counts[i];
    const size_t headerAt = plan->byteCount;
    addNewSpan(plan, header, headerLength);
    addNewStreamSpans(headers, comment, streamAt, bodyLength, plan);
    streamAt += bodyLength;
    uint32_t crc = 0;
    if (plan->failed || !computeOggPageCrc(plannedSource(&plannedFile), pageAt,
                                           static_cast<size_t>(headerLength + bodyLength), buffer, &crc)) {
      plan->failed = true;
      break;
    }
    putLittleEndian(plan->bytes + headerAt + 22, crc, 4);
  }
  std::free(counts);
  addOldSpan(plan, headers.headersEnd, file.size - headers.headersEnd);
  if (plan->failed) return kOggPaginationFailed;
  plan->newSize = planNewFileSize(*plan);
  return kOggPaginated;
}
