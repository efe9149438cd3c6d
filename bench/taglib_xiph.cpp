// SPDX-License-Identifier: LGPL-2.1-or-later
// TagLib on FLAC, Ogg Vorbis and Opus files, as a tagger rates them: the Vorbis comment
// read, one RATING field set (stars x 20, as the player's decoders write it), saved.
// Audio properties are not read.
#include "bench/taglib_xiph.h"

#include <flacfile.h>
#include <opusfile.h>
#include <vorbisfile.h>
#include <xiphcomment.h>

namespace {

int ratingOf(const TagLib::Ogg::XiphComment* comment) {
  if (!comment) return -1;
  const TagLib::Ogg::FieldListMap& fields = comment->fieldListMap();
  const auto found = fields.find("RATING");
  return found == fields.end() || found->second.isEmpty() ? 0 : found->second.front().toInt();
}

bool setRating(TagLib::Ogg::XiphComment* comment, int value) {
  if (!comment) return false;
  comment->addField("RATING", TagLib::String::number(value), true);
  return true;
}

}  // namespace

bool setXiphRatingWithTagLib(const wchar_t* path, XiphKind kind, int value) {
  if (kind == kXiphFlac) {
    TagLib::FLAC::File file(path, false);
    return file.isValid() && setRating(file.xiphComment(true), value) && file.save();
  }
  if (kind == kXiphVorbis) {
    TagLib::Ogg::Vorbis::File file(path, false);
    return file.isValid() && setRating(file.tag(), value) && file.save();
  }
  TagLib::Ogg::Opus::File file(path, false);
  return file.isValid() && setRating(file.tag(), value) && file.save();
}

int readXiphRatingWithTagLib(const wchar_t* path, XiphKind kind) {
  if (kind == kXiphFlac) {
    TagLib::FLAC::File file(path, false);
    return file.isValid() ? ratingOf(file.xiphComment(false)) : -1;
  }
  if (kind == kXiphVorbis) {
    TagLib::Ogg::Vorbis::File file(path, false);
    return file.isValid() ? ratingOf(file.tag()) : -1;
  }
  TagLib::Ogg::Opus::File file(path, false);
  return file.isValid() ? ratingOf(file.tag()) : -1;
}
