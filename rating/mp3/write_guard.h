// SPDX-License-Identifier: LGPL-2.1-or-later
// Decides, from a file's ID3v2 tag, how a rating may be read and stored without
// harm to the file. Pure code over a ByteSource (byte_source.h): it reads the
// file only through the strict reader's walk and the few bytes it checks
// itself, in fixed-size pieces, so the decisions can be fuzzed on their own and
// need no more memory for a tag holding a cover picture than for any other.
//
// What the plugin does, by tag (the rating byte is written only where it will
// also be read back):
// - Any tag the strict reader vouches for: the rating is read by the strict
//   reader, in ID3v2.2, 2.3 and 2.4 alike. id3lib reads only ID3v2.2 and
//   ID3v2.3 tags the strict reader does not vouch for or whose first POPM
//   frame is compressed or encrypted.
// - ID3v2.4: id3lib never sees it. The rating is stored by rewriting the rating
//   byte of the first POPM frame, or by writing a new POPM frame into the
//   padding. Nothing else of the file moves.
// - ID3v2.2 and ID3v2.3 with a POPM frame: the same one-byte rewrite.
// - ID3v2.2 and ID3v2.3 without one: a new POPM frame in the padding when it
//   fits (ID3v2.3 only without an extended header, whose padding size it
//   would falsify); otherwise id3lib adds the frame (ID3v2.3 only), when the
//   tag is well-formed, not unsynchronised, holds nothing id3lib renders
//   wrongly, is followed by neither zero bytes nor a second tag, and id3lib
//   would not shrink it.
// - No ID3v2 tag: id3lib adds one when the file starts with an MPEG audio
//   frame (id3lib would drop leading zero bytes, and a tag in front of a WAV,
//   FLAC, Ogg or MP4 file breaks it for other programs). When the audio starts
//   after junk within the first 64 KB (mpeg_sync.h) and the file does not
//   start as another format, the editor puts a tag in front of all of it.
// - No ID3v2 tag on ADTS frames (AAC, adts_sync.h): the editor puts a tag in front.
// - Tags the strict reader tolerates (id3v2_reader.h) are read by it and never
//   handed to id3lib.
// - ID3v2.2 and ID3v2.3 tags with frames made to crash id3lib or make it
//   allocate without bound (CDM, decompression bombs) are neither read through
//   id3lib nor written.
// Everything else is left as it is. "id3lib adds" means: id3lib parses the tag's
// bytes and renders the new tag in memory (id3lib_tag.h), which is checked
// (id3lib_render_check.h) before the room plans with it; id3lib opens no file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"
#include "rating/id3v2/id3v2_reader.h"


enum RatingReadMethod {
  kRatingReadZero,        // no rating in the tag, or a tag crafted against id3lib: 0 stars
  kRatingReadFromTag,     // the strict reader read the rating byte
  kRatingReadWithId3lib,  // let id3lib parse the tag
};

enum RatingWriteMethod {
  kRatingWriteNothing,     // no way to store it without risk to the file
  kRatingWriteBytes,       // overwrite `length` bytes at `offset`, nothing else moves
  kRatingWriteWithId3lib,  // id3lib makes the new tag, in memory
  kRatingWriteRewrite,     // the tag editor makes the tag anew
};

// Why planRatingWrite chose what it did.
enum RatingWriteReason {
  kWriteReasonBadRating,             // nothing: the rating byte is not 0..255
  kWriteReasonEmptyFile,             // nothing: a file without a byte is no music
  kWriteReasonHeadNotRead,           // nothing: bytes the decision needs could not be read
  kWriteReasonNotMpegAudio,          // nothing: no tag, and the file does not start as MPEG audio
  kWriteReasonMalformedTag,          // nothing: the strict reader does not vouch for the tag
  kWriteReasonAlreadyStored,         // nothing: the first POPM holds this rating already
  kWriteReasonPopmNotAddressable,    // nothing: the POPM is compressed, encrypted or unsynchronised
  kWriteReasonExtendedHeaderCrc,     // nothing: any change falsifies the tag's CRC
  kWriteReasonNoRoomInTag,           // nothing: ID3v2.4 (or ID3v2.2) tag without room for a POPM
  kWriteReasonTagUnsynchronised,     // nothing: no byte of it is addressable; id3lib re-encodes all
  kWriteReasonId3libHazard,          // nothing: id3lib would render a frame wrongly, or crash on it
  kWriteReasonNotAudioAfterTag,      // nothing: zero bytes or a second tag follow; id3lib drops them
  kWriteReasonId3libWouldShrinkTag,  // nothing: id3lib would rewrite the file to drop padding
  kWriteReasonReadingsDisagree,      // nothing: mutagen's reading (lenient_walk.h) finds other frames
  kWriteReasonFrameSpansSectors,     // the padding's frame would cross a sector: the editor does it
  kWriteReasonRatingByte,            // bytes: the first POPM's rating byte
  kWriteReasonFrameInPadding,        // bytes: a new POPM frame at the start of the padding
  kWriteReasonId3libNewTag,          // id3lib: a file without a tag gets one
  kWriteReasonId3libAddsFrame,       // id3lib: a POPM frame is added to an ID3v2.3 tag
  kWriteReasonEditorNewTag,          // editor: a file without a tag gets one, in front of its audio
  kWriteReasonEditorTagsAdts,        // editor: an ADTS (AAC) file without a tag gets one in front
  kWriteReasonEditorGrowsTag,        // editor: the tag has no room for a POPM frame
  kWriteReasonEditorReencodesTag,    // editor: unsynchronisation removed or a CRC made anew
  kWriteReasonEditorToleratedTag,    // editor: a tag that breaks a rule but was walked without doubt
  kWriteReasonEditorKeepsFlags,      // editor: id3lib would change frame flags or headers
};

struct RatingWritePlan {
  RatingWriteMethod method;
  RatingWriteReason reason;
  // kRatingWriteBytes: `length` bytes go to file offset `offset`; `expected` holds what
  // is there now.
  uint64_t offset;
  unsigned char bytes[64];
  unsigned char expected[64];
  size_t length;
  // kRatingWriteWithId3lib: what id3lib must find when it parses the tag: `tagSize` bytes
  // (0 for no tag) holding `frameCount` frames.
  // kRatingWriteRewrite: the old tag is the first `tagSize` bytes (0 for none); the new
  // tag takes their place and everything after them stays as it is.
  uint64_t tagSize;
  uint32_t frameCount;
  // kRatingWriteRewrite: the tag's ID3v2.4 frame sizes are plain integers, not syncsafe.
  bool frameSizesPlain;
  // kRatingWriteRewrite: the ID3v2.2/2.3 tag-wide unsynchronisation holds and is decoded;
  // where it does not, the bytes are kept as stored and only the flag is cleared.
  bool decodeTagUnsynchronisation;
  // kRatingWriteRewrite, kRatingWriteWithId3lib: the frames the new tag holds.
  uint32_t framesAfter;
};

// The tag at the start of the file as the room reads it (id3v2_reader.h): one that claims
// more than the file has ends where MPEG audio starts (mpeg_sync.h).
bool parseMp3Tag(const ByteSource& file, Id3v2Layout* layout);

// How many bytes from the start of the file the decisions below look at, at most: the whole
// tag and a few bytes after it (or the first bytes of a file without a tag). `header` holds
// the first min(fileSize, 10) bytes of the file.
uint64_t ratingHeadBytesWanted(const unsigned char* header, size_t headerAvailable, uint64_t fileSize);

// False exactly where planRatingWrite says kWriteReasonEmptyFile or kWriteReasonNotMpegAudio:
// an empty file, or one without a tag that starts as neither MPEG audio nor ADTS. A file whose
// first bytes cannot be read is not told apart: planRatingWrite refuses it.
bool holdsMpegAudio(const ByteSource& file);

// How the file's rating is read; *ratingByte receives it for kRatingReadFromTag.
RatingReadMethod planRatingRead(const ByteSource& file, unsigned* ratingByte);
void planRatingWrite(const ByteSource& file, int ratingByte, RatingWritePlan* plan);

// The tag of a WAV's or AIFF's ID3 chunk, `chunk` being the chunk's data alone
// (range_source.h). Read as planRatingRead reads a file's tag, by the strict reader only:
// id3lib would look at the file's start, so what planRatingRead hands to it reads as no
// rating, as does a tag that claims more than its chunk.
RatingReadMethod planChunkTagRead(const ByteSource& chunk, unsigned* ratingByte);

// As planRatingWrite, for the tag of an ID3 chunk. A chunk that holds no tag, or a tag that
// claims more than the chunk, is refused (kWriteReasonMalformedTag): the reading of a tag
// that runs on into MPEG audio belongs to a file's start. Where id3lib would add a frame or a
// tag, the editor makes the tag anew (kRatingWriteRewrite), as it always has for a chunk: it
// keeps every frame and flag as they were.
void planChunkTagWrite(const ByteSource& chunk, int ratingByte, RatingWritePlan* plan);

// For a kRatingWriteRewrite plan: true when `edited` (the file as the new tag leaves it) reads
// as planned: the strict reader vouches for it, mutagen's walk finds the same frames, there
// are plan.framesAfter of them, ID3v2.4 frame sizes read as they did (plain or syncsafe),
// and the first POPM holds `ratingByte`.
bool editedFileReadsAsPlanned(const ByteSource& edited, const RatingWritePlan& plan, int ratingByte);

// A short English name of the reason, for the log and the tests.
const char* ratingWriteReasonName(RatingWriteReason reason);
