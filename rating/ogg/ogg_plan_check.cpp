// SPDX-License-Identifier: LGPL-2.1-or-later
// A planned Ogg write checked by walking what it makes; see ogg_plan_check.h.
#include "rating/ogg/ogg_plan_check.h"

#include "rating/ogg/ogg_packet_view.h"
#include "rating/vorbis/vorbis_comment.h"

namespace {

// The plan leaves the first page and everything from the first audio page on as it was.
bool keepsFirstPageAndAudio(const OggHeaders& headers, const WritePlan& plan, uint64_t oldSize,
                            uint64_t newHeadersEnd) {
  if (plan.kind == kPlanInPlace) {
    for (size_t i = 0; i < plan.patchCount; ++i) {
      const PlanPatch& patch = plan.patches[i];
      if (patch.at < headers.firstPageEnd || patch.at + patch.length > headers.headersEnd) return false;
    }
    return newHeadersEnd == headers.headersEnd;
  }
  if (plan.spanCount < 2) return false;
  const PlanSpan& first = plan.spans[0];
  const PlanSpan& last = plan.spans[plan.spanCount - 1];
  const uint64_t audio = oldSize - headers.headersEnd;
  const bool firstKept = !first.fromNew && first.from == 0 && first.length >= headers.firstPageEnd;
  const bool audioKept = audio == 0 || (!last.fromNew && last.from + last.length == oldSize && last.length >= audio &&
                                        last.at + last.length - audio == newHeadersEnd);
  return firstKept && audioKept && planNewFileSize(plan) - newHeadersEnd == audio;
}

// Opus binary data after the fields, byte for byte the same.
bool binaryDataKept(const ByteSource& file, const OggHeaders& headers, const OggCommentTail& tail,
                    const ByteSource& after, const OggHeaders& newHeaders, const OggCommentTail& newTail) {
  if (headers.codec != kOggCodecOpus || tail.keptLength == 0) return true;
  const OggPacketView oldView = {&headers, file,
                                 {headers.comment.start + tail.fieldsEnd, headers.comment.end}};
  const OggPacketView newView = {&newHeaders, after,
                                 {newHeaders.comment.start + newTail.fieldsEnd, newHeaders.comment.end}};
  return oggPacketsEqual(oggPacketSource(&oldView), oggPacketSource(&newView));
}

// The new comment reads as `stars`, agrees with itself and keeps the vendor and every other field.
bool commentMatches(const ByteSource& file, const OggHeaders& headers, const ByteSource& after,
                    const OggHeaders& newHeaders, int stars) {
  const OggPacketView oldView = {&headers, file, headers.comment};
  const OggPacketView newView = {&newHeaders, after, newHeaders.comment};
  const ByteSource oldPacket = oggPacketSource(&oldView);
  const ByteSource newPacket = oggPacketSource(&newView);
  const size_t prefix = oggCommentPrefixLength(headers.codec);
  return plannedCommentMatches(oldPacket, prefix, oldPacket.size, newPacket, prefix, newPacket.size, stars);
}

}  // namespace

bool oggPlanReadsBack(const ByteSource& file, const OggHeaders& headers, const OggCommentTail& tail,
                      const WritePlan& plan, int stars, unsigned char* buffer) {
  if (plan.failed || plan.kind == kPlanNothing) return false;
  const PlannedFile plannedFile = {&plan, file};
  const ByteSource after = plannedSource(&plannedFile);
  OggHeaders newHeaders;
  initOggHeaders(&newHeaders);
  bool sound = walkOggHeaders(after, buffer, &newHeaders) == kOggStreamSound && newHeaders.codec == headers.codec &&
               newHeaders.serial == headers.serial && newHeaders.pageCount == headers.pageCount &&
               newHeaders.firstPageEnd == headers.firstPageEnd &&
               keepsFirstPageAndAudio(headers, plan, file.size, newHeaders.headersEnd);
  int newStars = -1;
  OggCommentTail newTail;
  sound = sound && readOggCommentPacket(after, newHeaders, &newStars, &newTail) && newStars == stars &&
          newTail.keptLength == tail.keptLength && binaryDataKept(file, headers, tail, after, newHeaders, newTail) &&
          commentMatches(file, headers, after, newHeaders, stars);
  if (sound && headers.codec == kOggCodecVorbis) {
    const OggPacketView oldSetup = {&headers, file, headers.setup};
    const OggPacketView newSetup = {&newHeaders, after, newHeaders.setup};
    sound = oggPacketsEqual(oggPacketSource(&oldSetup), oggPacketSource(&newSetup));
  }
  releaseOggHeaders(&newHeaders);
  return sound;
}
