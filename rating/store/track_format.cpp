// SPDX-License-Identifier: LGPL-2.1-or-later
// Which room a file belongs to; see track_format.h.
#include "rating/store/track_format.h"

#include "rating/asf/asf_file.h"
#include "rating/flac/flac_file.h"
#include "rating/mp4/mp4_file.h"
#include "rating/ogg/ogg_file.h"
#include "rating/riff/riff_file.h"

TrackFormat trackFormatOf(const ByteSource& file) {
  if (isFlacFile(file, nullptr)) return kFormatFlac;
  if (isOggFile(file)) return kFormatOgg;
  if (isChunkedFile(file)) return kFormatChunks;
  if (isMp4File(file)) return kFormatMp4;
  if (isAsfFile(file)) return kFormatAsf;
  return kFormatMp3;
}

int readRoomStars(TrackFormat format, const ByteSource& file) {
  switch (format) {
    case kFormatFlac:
      return readFlacStars(file);
    case kFormatOgg:
      return readOggStars(file);
    case kFormatChunks:
      return readChunkedStars(file);
    case kFormatMp4:
      return readMp4Stars(file);
    case kFormatAsf:
      return readAsfStars(file);
    case kFormatMp3:
      break;
  }
  return 0;
}

void planRoomWrite(TrackFormat format, const ByteSource& file, int stars, WritePlan* plan) {
  initWritePlan(plan);
  switch (format) {
    case kFormatFlac:
      planFlacWrite(file, stars, plan);
      return;
    case kFormatOgg:
      planOggWrite(file, stars, plan);
      return;
    case kFormatChunks:
      planChunkedWrite(file, stars, plan);
      return;
    case kFormatMp4:
      planMp4Write(file, stars, plan);
      return;
    case kFormatAsf:
      planAsfWrite(file, stars, plan);
      return;
    case kFormatMp3:
      break;
  }
}

const char* roomWriteReasonName(TrackFormat format, int reason) {
  switch (format) {
    case kFormatFlac:
      return flacWriteReasonName(reason);
    case kFormatOgg:
      return oggWriteReasonName(reason);
    case kFormatChunks:
      return chunkedWriteReasonName(reason);
    case kFormatMp4:
      return mp4WriteReasonName(reason);
    case kFormatAsf:
      return asfWriteReasonName(reason);
    case kFormatMp3:
      break;
  }
  return "";
}
