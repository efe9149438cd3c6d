// Small music files for the tests: MPEG audio frames behind an ID3v2.3 tag.
#pragma once

#include <string>

std::string mpegAudio(int frames);
// A file whose tag holds one POPM frame of that owner with that rating byte.
std::string mp3WithRating(int ratingByte, const std::string& owner = "someone@example.com");
// The rating byte of the first POPM frame in the file's bytes, -1 when none.
int popmRatingByte(const std::string& file);
