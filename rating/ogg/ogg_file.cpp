// SPDX-License-Identifier: LGPL-2.1-or-later
// Ogg Vorbis and Opus files; see ogg_file.h.
//
// A write walks every page header of the file (one stream, in sequence, nothing after its
// last page) and the CRC of every header page, plans the comment packet anew and the header
// pages around it (ogg_repaginate.h: as many pages as before, so that the audio pages stay
// byte for byte), and checks the planned file by walking it. When the new file has the old
// one's size, the differing bytes alone are written in place (ogg_in_place.h).
#include "rating/ogg/ogg_file.h"

#include <cstdlib>
#include <cstring>

#include "rating/bytes/source_window.h"
#include "rating/ogg/ogg_comment_packet.h"
#include "rating/ogg/ogg_headers.h"
#include "rating/ogg/ogg_in_place.h"
#include "rating/ogg/ogg_page.h"
#include "rating/ogg/ogg_plan_check.h"
#include "rating/ogg/ogg_repaginate.h"

namespace {

OggWriteReason reasonOfFault(OggStreamFault fault) {
  switch (fault) {
    case kOggFaultNotOgg: return kOggWriteNotOgg;
    case kOggFaultOtherCodec: return kOggWriteOtherCodec;
    case kOggFaultManyStreams: return kOggWriteManyStreams;
    case kOggFaultBrokenPage: return kOggWriteBrokenPage;
    case kOggFaultBrokenHeaders: return kOggWriteBrokenHeaders;
    case kOggFaultTooManyPages: return kOggWriteTooManyPages;
    case kOggFaultOutOfMemory:
    case kOggStreamSound: break;
  }
  return kOggWriteOutOfMemory;
}

// The plan made anew: patches where the file keeps its size and they stay few, else spans.
// Only the plan handed over is checked by walking it: a big comment costs each walk its size.
OggWriteReason chooseRoute(const ByteSource& file, const OggHeaders& headers, const OggCommentTail& tail,
                           int stars, unsigned char* buffer, WritePlan* newFile, WritePlan* plan) {
  WritePlan inPlace;
  initWritePlan(&inPlace);
  if (oggPatchesForNewFile(file, *newFile, &inPlace) && inPlace.patchCount > 0 &&
      oggPlanReadsBack(file, headers, tail, inPlace, stars, buffer)) {
    *plan = inPlace;
    return kOggWriteInPlace;
  }
  releaseWritePlan(&inPlace);
  if (!oggPlanReadsBack(file, headers, tail, *newFile, stars, buffer)) return kOggWriteUnverified;
  *plan = *newFile;
  initWritePlan(newFile);
  return kOggWriteNewFile;
}

OggWriteReason planWrite(const ByteSource& file, int stars, unsigned char* buffer, OggHeaders* headers,
                         WritePlan* plan) {
  OggStreamFault fault = walkOggHeaders(file, buffer, headers);
  if (fault == kOggStreamSound) fault = walkOggAudioPages(file, *headers, buffer);
  // As the read does, so that a file read as holding no rating is not written either.
  if (fault == kOggStreamSound) fault = checkOggLastPage(file, *headers, buffer);
  if (fault != kOggStreamSound) return reasonOfFault(fault);

  int oldStars = 0;
  OggCommentTail tail;
  if (!readOggCommentPacket(file, *headers, &oldStars, &tail)) return kOggWriteBrokenComment;
  WritePlan comment;
  initWritePlan(&comment);
  bool keepsLength = false;
  const OggCommentPlan commentPlan = planOggCommentPacket(file, *headers, tail, stars, &comment, &keepsLength);
  WritePlan newFile;
  initWritePlan(&newFile);
  OggWriteReason reason = kOggWriteOutOfMemory;
  if (commentPlan == kOggCommentUnchanged) {
    reason = kOggWriteAlreadyStored;
  } else if (commentPlan == kOggCommentBroken) {
    reason = kOggWriteBrokenComment;
  } else if (commentPlan == kOggCommentPlanned) {
    const OggPaginationResult paginated = paginateOggHeaders(file, *headers, comment, buffer, &newFile);
    if (paginated == kOggPaginationNoRoom)
      reason = kOggWriteNoRoom;
    else if (paginated == kOggPaginated)
      reason = chooseRoute(file, *headers, tail, stars, buffer, &newFile, plan);
  }
  releaseWritePlan(&comment);
  releaseWritePlan(&newFile);
  return reason;
}

}  // namespace

bool isOggFile(const ByteSource& file) {
  unsigned char start[4];
  return readSourceAt(file, 0, start, sizeof start) == sizeof start && std::memcmp(start, "OggS", 4) == 0;
}

int readOggStars(const ByteSource& file) {
  unsigned char* buffer = static_cast<unsigned char*>(std::malloc(kOggMaxPageSize));
  if (buffer == nullptr) return 0;
  OggHeaders headers;
  initOggHeaders(&headers);
  int stars = 0;
  OggCommentTail tail;
  if (walkOggHeaders(file, buffer, &headers) != kOggStreamSound ||
      checkOggLastPage(file, headers, buffer) != kOggStreamSound ||
      !readOggCommentPacket(file, headers, &stars, &tail))
    stars = 0;
  releaseOggHeaders(&headers);
  std::free(buffer);
  return stars;
}

void planOggWrite(const ByteSource& file, int stars, WritePlan* plan) {
  initWritePlan(plan);
  plan->oldSize = file.size;
  if (stars < 0 || stars > 5) {
    plan->reason = kOggWriteBadStars;
    return;
  }
  unsigned char* buffer = static_cast<unsigned char*>(std::malloc(kOggMaxPageSize));
  if (buffer == nullptr) {
    plan->reason = kOggWriteOutOfMemory;
    return;
  }
  OggHeaders headers;
  initOggHeaders(&headers);
  const OggWriteReason reason = planWrite(file, stars, buffer, &headers, plan);
  releaseOggHeaders(&headers);
  std::free(buffer);
  if (reason != kOggWriteInPlace && reason != kOggWriteNewFile) releaseWritePlan(plan);
  plan->reason = reason;
  plan->oldSize = file.size;
  plan->alreadyStored = reason == kOggWriteAlreadyStored;
  plan->ratingOffset = kNoRatingOffset;
}

const char* oggWriteReasonName(int reason) {
  switch (reason) {
    case kOggWriteInPlace: return "comment pages in place";
    case kOggWriteNewFile: return "header pages anew, new file";
    case kOggWriteAlreadyStored: return "already stored";
    case kOggWriteBadStars: return "stars not 0..5";
    case kOggWriteNotOgg: return "not an Ogg stream";
    case kOggWriteOtherCodec: return "neither Vorbis nor Opus";
    case kOggWriteManyStreams: return "multiplexed or chained streams";
    case kOggWriteBrokenPage: return "broken page";
    case kOggWriteBrokenHeaders: return "broken header packets";
    case kOggWriteBrokenComment: return "malformed comment";
    case kOggWriteTooManyPages: return "too many header pages";
    case kOggWriteNoRoom: return "header pages full";
    case kOggWriteUnverified: return "planned file does not walk back";
    case kOggWriteOutOfMemory: return "out of memory";
    default: return "unknown";
  }
}
