// SPDX-License-Identifier: LGPL-2.1-or-later
// TagLib does what a tagger does to rate a file: it reads the tag, adds the
// frame and saves. Audio properties are not read; the tag keeps its version
// (a file without a tag gets ID3v2.3, as the store gives it), and no other
// tag is touched.
#include "bench/taglib_growth.h"

#include <id3v2frame.h>
#include <id3v2header.h>
#include <id3v2tag.h>
#include <mpegfile.h>
#include <popularimeterframe.h>

bool addPopmWithTagLib(const wchar_t* path, int ratingByte) {
  TagLib::MPEG::File file(path, false);
  if (!file.isValid()) return false;
  const bool hadTag = file.hasID3v2Tag();
  TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
  const bool version4 = hadTag && tag->header()->majorVersion() == 4;
  auto* frame = new TagLib::ID3v2::PopularimeterFrame();
  frame->setEmail("ID3Vimbrel");
  frame->setRating(ratingByte);
  tag->addFrame(frame);  // the tag owns it from here
  return file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone,
                   version4 ? TagLib::ID3v2::v4 : TagLib::ID3v2::v3, TagLib::File::DoNotDuplicate);
}
