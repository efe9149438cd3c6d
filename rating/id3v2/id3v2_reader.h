// SPDX-License-Identifier: LGPL-2.1-or-later
// The plugin's own strict reader of the ID3v2 tag at the start of a file.
//
// id3lib 3.8.3 damages files in several cases, so before the plugin lets id3lib rewrite a
// tag, or before it edits a tag itself, it reads the tag here and acts only on what this
// reader vouches for; the rating of any tag it vouches for is read here too.
//
// The reader walks the tag through a ByteSource (byte_source.h): it reads the header, the
// extended header, each frame header and the few bytes it checks (flag extras, POPM bodies,
// the padding in pieces, the footer, and the tag's last byte to know that the file can be
// read that far), and seeks past every other frame body, so a cover picture is not read. It
// holds one fixed window of the file (source_window.h) whatever the tag's size, allocates
// nothing and trusts no byte of the input.
//
// What "well-formed" means: the file starts with a "ID3" header of version 2, 3 or 4 whose
// revision is not 0xFF, whose size bytes are syncsafe and which sets no flag that version
// lacks; the whole tag lies inside the file and can be read; the extended header, when
// flagged, has one of the layouts its version defines, agrees with its own
// flags and fits inside the tag (for ID3v2.3 its "size of padding" equals the padding found);
// frames follow each other with no gap, each with a valid ID (A-Z, 0-9), a non-zero size that
// stays inside the tag, no unknown flag bits, room for the extra bytes its flags announce
// (syncsafe sizes and data-length indicators in ID3v2.4, and a data-length indicator on every
// compressed ID3v2.4 frame); after the last frame comes nothing but zero bytes up to the end
// of the frame area; a flagged ID3v2.4 footer repeats the header under "3DI"; and every
// readable POPM ("POP" in ID3v2.2) frame holds a NUL-terminated owner followed by a rating
// byte. A tag with no frames at all (only padding) counts as well-formed, so that the plugin
// can put its POPM frame into it.
//
// Tolerated: a tag that breaks one of these rules in a way a tolerant reader walks past
// without doubt also counts as well-formed, with `tolerated` set and the first such rule in
// `toleratedProblem`:
// - a frame ID of a letter, then letters or digits of either case, the last of them perhaps
//   a space ("tit2", "COM "), as iTunes wrote some (InvalidFrameId);
// - ID3v2.4 frame sizes written as plain integers (FrameSizeNotSyncsafe): the frames are
//   walked with syncsafe sizes, and, unless that reading ends in zero padding, again with
//   plain ones; the reading that ends in zero padding wins, else the only one that walks
//   at all; both ending in other bytes is doubt, and rejected, unless mutagen guesses
//   plain sizes (lenient_walk.h): a rating byte of 0 may be where the syncsafe reading's
//   padding seems to start;
// - an empty frame (EmptyFrame);
// - padding that starts with a zero byte where a frame would start but holds other bytes
//   later (PaddingNotZero): paddingSize is then 0, nothing there may be overwritten;
// - a tag without footer or unsynchronisation that claims more bytes than the file has
//   (TagLargerThanFile), whose frames end inside the file, followed by zero bytes or none
//   and then the audio the caller knows (audioStartsAt; the MP3 room's: a run of MPEG audio
//   frames): the tag ends where the zero bytes end, so that no audio counts as tag.
// id3lib reads none of these as written, so a tolerated tag gets kId3libHazardToleratedTag.
//
// What the plugin relies on: when a tag is well-formed, every offset reported here is the
// file offset of the bytes it names, and when popmRatingOffset is not zero the
// rating can be changed by rewriting that one byte: no size, unsynchronisation, compression
// or encryption depends on its value. An extended header with a CRC is the one exception
// (extendedHeaderHasCrc): changing any byte of the frames (or, in ID3v2.4, of the padding)
// makes that CRC wrong.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/bytes/byte_source.h"

// The first thing found wrong with a tag, in reading order. None for a well-formed tag.
enum class Id3v2Problem : unsigned char {
  None = 0,
  NoTag,                           // the bytes do not start with "ID3"
  HeaderTruncated,                 // fewer than the 10 header bytes could be read
  UnsupportedVersion,              // major version other than 2, 3 or 4
  BadRevision,                     // revision 0xFF, which no tag ever carries
  SizeNotSyncsafe,                 // a tag size byte has its high bit set
  UnknownHeaderFlags,              // a header flag that this version does not define
  CompressedTag,                   // ID3v2.2 tag-wide compression: no decoder for it ever existed
  TagLargerThanFile,               // the declared tag runs past the end of the file
  TagNotFullyRead,                 // a read of the tag's bytes came up short
  ExtendedHeaderInvalid,           // extended header size, flags or flag data inconsistent
  ExtendedHeaderOverrunsTag,       // extended header runs past the end of the tag
  ExtendedHeaderPaddingMismatch,   // ID3v2.3 "size of padding" differs from the padding found
  FrameHeaderTruncated,            // the frame area ends inside a frame header
  InvalidFrameId,                  // frame ID with characters outside A-Z and 0-9
  FrameSizeNotSyncsafe,            // ID3v2.4 frame size byte with its high bit set
  EmptyFrame,                      // frame with a zero size (every frame holds at least a byte)
  FrameOverrunsTag,                // frame body runs past the end of the frame area
  UnknownFrameFlags,               // frame flag bits that this version does not define
  FrameTooShortForFlags,           // frame body shorter than the extra bytes its flags announce
  CompressedFrameWithoutDataLength,// ID3v2.4 compressed frame without a data-length indicator
  DataLengthNotSyncsafe,           // ID3v2.4 data-length indicator byte with its high bit set
  PaddingNotZero,                  // a non-zero byte after the frames, inside the frame area
  FooterMismatch,                  // ID3v2.4 footer not "3DI" or not a copy of the header
  PopmBroken,                      // POPM body without a NUL-terminated owner or a rating byte
};

// Reasons why id3lib 3.8.3 must not rewrite a tag (bits of Id3v2Layout::id3libHazards).
// id3lib renders frames with an ID it does not know with uninitialised bytes in the ID;
// keeping to the standard IDs of the tag's version keeps id3lib on known frames.
constexpr uint32_t kId3libHazardUnknownFrameId = 1u << 0;
// An encrypted or grouped frame whose body holds nothing past the method or group byte.
constexpr uint32_t kId3libHazardEmptyEncryptedOrGroupedFrame = 1u << 1;
// An ID3v2.2 "CDM" (compressed data meta) frame.
constexpr uint32_t kId3libHazardCompressedMetaFrame = 1u << 2;
// A compressed frame claiming more than kId3libMaxDecompressedSize bytes, or more than
// kId3libMaxExpansion times its compressed size: id3lib would allocate and inflate it blindly.
constexpr uint32_t kId3libHazardDecompressionBomb = 1u << 3;
// A rule broken that the reader tolerates (toleratedProblem): id3lib reads the tag otherwise.
constexpr uint32_t kId3libHazardToleratedTag = 1u << 4;

constexpr uint64_t kId3libMaxDecompressedSize = 16u * 1024u * 1024u;
constexpr uint64_t kId3libMaxExpansion = 64;

// All offsets are file offsets. An offset of 0 means "not known": offset 0 always holds the
// tag header.
struct Id3v2Layout {
  // The tag header.
  bool present;               // the file starts with "ID3"
  unsigned char majorVersion; // 2, 3 or 4 for tags this reader understands
  unsigned char revision;
  unsigned char headerFlags;
  // Header flag 0x80: in ID3v2.2/2.3 every byte after the header is unsynchronised, in
  // ID3v2.4 every frame is. The reader decodes such bytes to check and read them, but never
  // offers them for editing in place.
  bool unsynchronised;
  // The ID3v2.2/2.3 tag-wide flag holds: the frames are read decoded. Bytes flagged as
  // unsynchronised (the whole tag in ID3v2.2/2.3, a frame in ID3v2.4) that hold what
  // unsynchronisation never leaves (id3v2_format.h) are read as stored, as mutagen reads
  // them, and a tag made anew clears the flag that never held.
  bool tagUnsynchronisationDecoded;
  bool hasExtendedHeader;     // header flag 0x40 in ID3v2.3 and ID3v2.4
  bool experimental;          // header flag 0x20 in ID3v2.3 and ID3v2.4
  bool hasFooter;             // header flag 0x10 in ID3v2.4
  uint64_t tagSize;           // bytes on disk: header, extended header, frames, padding, footer
  // What the header claims: 10 + its size (+ 10 for a footer). More than tagSize only for a
  // tolerated tag that claims more than the file has; tagSize then ends with its padding.
  uint64_t declaredTagSize;

  bool wellFormed;
  Id3v2Problem problem;
  uint64_t problemOffset;     // where the problem was found, for the plugin's log
  bool tolerated;             // well-formed, though it breaks a rule that the walk tolerates
  Id3v2Problem toleratedProblem;  // the first such rule, None when none is broken

  // Extended header and frame area.
  bool extendedHeaderHasCrc;  // rewriting any frame (or ID3v2.4 padding) byte breaks this CRC
  size_t extendedHeaderSize;  // bytes on disk, 0 without an extended header
  uint64_t framesOffset;      // where the first frame (or the padding) starts
  uint32_t frameCount;
  uint64_t framesEnd;         // one past the last frame (framesOffset when there is none)
  uint32_t walkFingerprint;   // the frames as walked (foldWalkFingerprint)
  // Another sound reading of the same bytes finds other frames: the tag read decoded against
  // as stored, or an extended header that mutagen reads otherwise. Nothing may be written.
  bool readingsDisagree;
  bool frameSizesPlain;       // ID3v2.4 frame sizes are plain integers (tolerated)
  uint64_t paddingOffset;     // first zero byte after the frames; 0 when paddingSize is 0
  size_t paddingSize;         // zero bytes from paddingOffset to the end of the frame area

  // The first POPM frame ("POP" in ID3v2.2).
  bool popmFound;
  uint64_t popmFrameOffset;   // frame header
  size_t popmFrameSize;       // header and body, bytes on disk
  uint64_t popmBodyOffset;    // first byte after the frame header (flag extras included)
  size_t popmBodySize;        // bytes on disk from popmBodyOffset to the end of the frame
  uint16_t popmFrameFlags;    // both flag bytes as stored; 0 in ID3v2.2
  bool popmCompressed;
  bool popmEncrypted;
  bool popmUnsynchronised;    // the body bytes on disk are unsynchronised (tag or frame flag)
  bool popmGrouped;
  bool popmHasDataLength;     // ID3v2.4 data-length indicator present
  bool popmBroken;            // readable body without a NUL-terminated owner and a rating
  bool popmRatingKnown;       // popmRating holds the frame's rating (decoded, inflated)
  unsigned char popmRating;
  // The rating byte on disk, non-zero only when the body is neither unsynchronised,
  // compressed nor encrypted, so that rewriting this one byte changes the rating.
  uint64_t popmRatingOffset;
  uint64_t popmOwnerOffset;   // owner e-mail text; set together with popmRatingOffset
  size_t popmOwnerLength;     // without the NUL terminator
  size_t popmCounterSize;     // play counter bytes after the rating (0: no counter)

  // What id3lib 3.8.3 would get wrong in this tag (kId3libHazard... bits).
  uint32_t id3libHazards;
  bool id3libWouldMisrender;  // id3libHazards != 0: the plugin must not let id3lib rewrite it
};

// The reader reads the headers of this many frames one at a time and, of their bodies, only
// the flag extras and POPM bodies; further frames are read a window ahead (source_window.h).
constexpr uint32_t kFramesReadOneByOne = 64;

// Whether the audio of the file a tag starts begins at `offset`: the room that holds the tag
// knows its audio, the tag codec does not.
typedef bool (*AudioStartsAt)(const ByteSource& file, uint64_t offset);

// Reads the tag at the start of the file. Fills *layout as far as the tag could be read and
// returns layout->wellFormed. A tag that claims more than the file has is tolerated only where
// `audioStartsAt` (null: nowhere) finds audio right after its frames and zero bytes.
bool parseId3v2Tag(const ByteSource& file, AudioStartsAt audioStartsAt, Id3v2Layout* layout);

// How many bytes from the start of the file hold the tag whose first 10 bytes (all of them
// readable) are given:
// 10 + declared size, + 10 for an ID3v2.4 footer. 0 when the bytes are not a tag header
// (no "ID3", a version byte of 0xFF or a size byte with its high bit set).
size_t id3v2BytesNeeded(const unsigned char* header10);

// Builds an ID3v2.4 POPM frame (syncsafe size, flags 0) holding the NUL-terminated owner
// and the rating, without a play counter, for the plugin to write into a tag's padding.
// A null owner counts as empty. Returns the bytes written, or 0 when they do not fit.
size_t buildPopmFrameV24(unsigned char* out, size_t capacity, const char* owner,
                         unsigned char rating);

// The same for an ID3v2.3 tag (plain 32-bit size).
size_t buildPopmFrameV23(unsigned char* out, size_t capacity, const char* owner,
                         unsigned char rating);

// A short English name of the problem for the plugin's log ("FrameOverrunsTag").
const char* id3v2ProblemName(Id3v2Problem problem);
