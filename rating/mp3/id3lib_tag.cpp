// SPDX-License-Identifier: LGPL-2.1-or-later
// id3lib on tags in memory; see id3lib_tag.h.
#include "rating/mp3/id3lib_tag.h"

#include <vector>

#include <id3/readers.h>
#include <id3/tag.h>
// Last of id3lib's headers: it defines a min() macro unless one exists.
#include <id3/io_strings.h>
#undef min

#include "rating/bytes/source_window.h"
#include "rating/id3v2/id3v2_format.h"
#include "rating/id3v2/id3v2_reader.h"

namespace {

// How id3lib pads a tag it writes into a file (ID3_PADMULTIPLE, ID3_PADMAX).
const uint64_t kPadMultiple = 2048;
const uint64_t kPadMax = 4096;

}  // namespace

bool renderTagWithPopm(const unsigned char* oldTag, size_t oldSize, uint32_t frameCount, unsigned char rating,
                       std::string* rendered) {
  ID3_Tag tag;
  if (oldSize > 0) {
    ID3_MemoryReader reader(oldTag, oldSize);
    if (!tag.Parse(reader) || reader.getCur() != oldSize) return false;
  }
  if (tag.NumFrames() != frameCount || tag.Find(ID3FID_POPULARIMETER) != nullptr) return false;
  ID3_Frame popm(ID3FID_POPULARIMETER);
  ID3_Field* owner = popm.GetField(ID3FN_EMAIL);
  ID3_Field* ratingField = popm.GetField(ID3FN_RATING);
  if (owner == nullptr || ratingField == nullptr) return false;
  owner->Set(kPluginPopmOwner);
  ratingField->Set(static_cast<uint32>(rating));
  tag.AddFrame(popm);
  rendered->clear();
  dami::io::StringWriter writer(*rendered);
  tag.Render(writer, ID3TT_ID3V2);
  return rendered->size() > kTagHeaderSize;
}

uint64_t id3libFileTagSize(uint64_t renderedSize, uint64_t oldTagSize, uint64_t fileSize) {
  if (fileSize <= oldTagSize) return renderedSize;
  const uint64_t frames = renderedSize - kTagHeaderSize;
  const uint64_t oldRoom = oldTagSize > kTagHeaderSize ? oldTagSize - kTagHeaderSize : 0;
  if (oldRoom > 0 && oldRoom >= frames && oldRoom - frames < kPadMax) return oldTagSize;
  const uint64_t audio = fileSize - oldTagSize;
  const uint64_t padded = ((renderedSize + audio) / kPadMultiple + 1) * kPadMultiple;
  return padded - audio;
}

unsigned id3libRatingByte(const ByteSource& file) {
  ID3_Tag tag;
  std::vector<unsigned char> bytes;
  uint64_t at = 0;
  uint64_t read = 0;
  // id3lib reads a tag that follows a tag as part of it, until one does not parse.
  while (at < file.size) {
    unsigned char header[kTagHeaderSize];
    if (readSourceAt(file, at, header, sizeof header) != sizeof header) break;
    const size_t needed = id3v2BytesNeeded(header);
    if (needed == 0) break;
    const uint64_t left = file.size - at;
    const size_t count = needed < left ? needed : static_cast<size_t>(left);
    read += count;
    if (read > kId3libMaxReadBytes) return 0;
    bytes.resize(count);
    if (readSourceAt(file, at, bytes.data(), count) != count) break;
    ID3_MemoryReader reader(bytes.data(), count);
    if (!tag.Parse(reader) || reader.getCur() == 0) break;
    at += reader.getCur();
  }
  const ID3_Frame* frame = tag.Find(ID3FID_POPULARIMETER);
  if (frame == nullptr || frame->GetField(ID3FN_EMAIL) == nullptr) return 0;
  const ID3_Field* rating = frame->GetField(ID3FN_RATING);
  return rating == nullptr ? 0 : static_cast<unsigned>(rating->Get());
}
