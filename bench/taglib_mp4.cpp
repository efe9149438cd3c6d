// SPDX-License-Identifier: LGPL-2.1-or-later
// TagLib on M4A files, as a tagger rates them: the ilst read (every item, a cover too),
// `rate` set as UTF-8 text, saved. Audio properties are not read.
#include "bench/taglib_mp4.h"

#include <mp4file.h>
#include <mp4tag.h>

bool setMp4RatingWithTagLib(const wchar_t* path, int value) {
  TagLib::MP4::File file(path, false);
  if (!file.isValid() || !file.tag()) return false;
  file.tag()->setItem("rate", TagLib::MP4::Item(TagLib::StringList(TagLib::String::number(value))));
  return file.save();
}

int readMp4RatingWithTagLib(const wchar_t* path) {
  TagLib::MP4::File file(path, false);
  if (!file.isValid() || !file.tag()) return -1;
  if (!file.tag()->contains("rate")) return 0;
  // TagLib reads a text `rate` as strings and any other as a number.
  const TagLib::MP4::Item rate = file.tag()->item("rate");
  const TagLib::StringList text = rate.toStringList();
  return text.isEmpty() ? rate.toInt() : text.front().toInt();
}
