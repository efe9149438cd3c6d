// SPDX-License-Identifier: LGPL-2.1-or-later
// Whole files of the other formats as strings; see format_files.h.
#include "support/format_files.h"

#include "support/asf_bytes.h"
#include "support/flac_bytes.h"
#include "support/mp4_bytes.h"
#include "support/ogg_bytes.h"
#include "support/riff_bytes.h"

namespace {

std::string asString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes commentOf(const std::vector<std::string>& fields) { return commentBody("vendor", fields); }

}  // namespace

std::string flacFileOf(const std::vector<std::string>& fields, size_t padding, size_t frames) {
  std::vector<BlockBytes> blocks = {{kStreamInfoBlock, streamInfoBody()}, {kCommentBlock, commentOf(fields)}};
  if (padding) blocks.push_back({kPaddingBlock, Bytes(padding, 0x00)});
  return asString(flacFile(blocks, flacAudio(frames)));
}

std::string vorbisFileOf(const std::vector<std::string>& fields, size_t slack, size_t headerSegments) {
  return asString(vorbisFile(vorbisCommentPacket(commentOf(fields), slack), headerSegments));
}

std::string opusFileOf(const std::vector<std::string>& fields, const std::string& tail) {
  return asString(opusFile(opusTags(commentOf(fields), text(tail))));
}

std::string waveFileOf(const std::string& id3Data, size_t sampleBytes) {
  std::vector<ChunkBytes> chunks = {waveFormat()};
  if (!id3Data.empty()) chunks.push_back({"id3 ", text(id3Data)});
  chunks.push_back({"data", samples(sampleBytes)});
  return asString(waveFile(chunks));
}

std::string aiffFileOf(const std::string& id3Data, size_t sampleBytes) {
  std::vector<ChunkBytes> chunks = {aiffCommon(), {"SSND", samples(sampleBytes)}};
  if (!id3Data.empty()) chunks.push_back({"ID3 ", text(id3Data)});
  return asString(aiffFile(chunks));
}

std::string adtsAudio(size_t frames) { return asString(adtsFrames(frames)); }
std::string m4aFileOf(size_t freeInMeta, bool moovFirst, size_t commentBytes) {
  M4aShape shape;
  shape.items = {item("\xa9nam", 1, text("A title"))};
  if (commentBytes > 0)
    shape.items = {item("rate", 1, text("100")), item("\xa9" "cmt", 1, Bytes(commentBytes, 'c')), shape.items[0]};
  shape.freeInMeta = freeInMeta;
  shape.moovFirst = moovFirst;
  shape.chunks = 40;
  return asString(m4aFile(shape));
}

std::string wmaFileOf(size_t padding, bool rated, size_t between) {
  WmaShape shape;
  shape.descriptors = {descriptor("WM/AlbumTitle", 0, utf16("An album"))};
  if (rated) shape.descriptors.push_back(descriptor(kRatingName, 3, le(25, 4)));
  if (between) shape.objects = {asfObject("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", Bytes(between - 24, 0x0B))};
  shape.paddingInHeader = padding;
  shape.packets = 40;
  return asString(wmaFile(shape));
}
