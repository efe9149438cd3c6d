// SPDX-License-Identifier: LGPL-2.1-or-later
// The table of rooms; see rooms.h.
#include "rating/rooms.h"

#include "rating/asf/asf_file.h"
#include "rating/flac/flac_file.h"
#include "rating/mp3/mp3_file.h"
#include "rating/mp4/mp4_file.h"
#include "rating/ogg/ogg_file.h"
#include "rating/riff/riff_file.h"

namespace {

bool isFlac(const ByteSource& file) { return isFlacFile(file, nullptr); }

// In the order they are asked. A FLAC stream or a WMA may follow an ID3v2 tag, so FLAC and
// WMA come before MP3, whose sniff takes any file with a tag in front.
const Room kRooms[] = {
    {isFlac, readFlacStars, planFlacWrite, flacWriteReasonName},
    {isOggFile, readOggStars, planOggWrite, oggWriteReasonName},
    {isChunkedFile, readChunkedStars, planChunkedWrite, chunkedWriteReasonName},
    {isMp4File, readMp4Stars, planMp4Write, mp4WriteReasonName},
    {isAsfFile, readAsfStars, planAsfWrite, asfWriteReasonName},
    {isMp3File, readMp3Stars, planMp3Write, mp3WriteReasonName},
};

}  // namespace

const Room* roomOf(const ByteSource& file) {
  for (const Room& room : kRooms)
    if (room.sniff(file)) return &room;
  return nullptr;
}
