// SPDX-License-Identifier: LGPL-2.1-or-later
// Small music files for the tests, as byte strings: MPEG audio frames,
// ID3v2.2/2.3 frames and a tag holding one POPM frame.
#pragma once

#include <cstdint>
#include <string>

std::string bigEndian(uint32_t value, int width);
std::string syncsafe(uint32_t value);
// MPEG-1 Layer III frames (128 kbit/s, 44.1 kHz: 417 bytes) whose payload
// counts up from a different start in each frame, so that any shift shows.
std::string mpegAudio(int frames);
std::string frame23(const char* id, const std::string& body, uint16_t flags = 0);
std::string frame22(const char* id, const std::string& body);
// A file whose tag holds one POPM frame of that owner with that rating byte.
std::string mp3WithRating(int ratingByte, const std::string& owner = "someone@example.com");
// The rating byte of the first POPM frame in the file's bytes, -1 when none.
int popmRatingByte(const std::string& file);
