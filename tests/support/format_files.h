// SPDX-License-Identifier: LGPL-2.1-or-later
// Whole FLAC, Ogg Vorbis, Opus, M4A and WMA files as strings, for the tests written over
// tag_files.h's strings (the byte builders behind them work on Bytes).
#pragma once

#include <string>
#include <vector>

// STREAMINFO, a VORBIS_COMMENT of `fields`, PADDING of `padding` bytes (none for 0) and
// `frames` audio frames.
std::string flacFileOf(const std::vector<std::string>& fields, size_t padding, size_t frames);

// A Vorbis file whose comment packet carries `slack` bytes after its framing bit, its header
// packets at most `headerSegments` lacing values a page.
std::string vorbisFileOf(const std::vector<std::string>& fields, size_t slack, size_t headerSegments);

// An Opus file whose comment packet ends in `tail` (padding, or binary data).
std::string opusFileOf(const std::vector<std::string>& fields, const std::string& tail);

// A WAV (or AIFF) file: its format (common) chunk, `sampleBytes` of samples, and an ID3
// chunk of `id3Data` before the samples (none when empty).
std::string waveFileOf(const std::string& id3Data, size_t sampleBytes);
std::string aiffFileOf(const std::string& id3Data, size_t sampleBytes);

// `frames` ADTS (AAC) frames and no tag.
std::string adtsAudio(size_t frames);
// An M4A with a title (and, when `commentBytes`, a `rate` of 100 and a comment of that many
// bytes after it), `freeInMeta` bytes of `free` after `ilst`, `moov` before or after `mdat`.
std::string m4aFileOf(size_t freeInMeta, bool moovFirst, size_t commentBytes);
// A WMA with an album title (and, when `rated`, WM/SharedUserRating of 25), a Padding object of
// `padding` bytes at the header's end (none for 0), after `between` bytes of another object.
std::string wmaFileOf(size_t padding, bool rated, size_t between);
