// SPDX-License-Identifier: LGPL-2.1-or-later
// The write guard: which way a rating is read and stored for a given tag.
// See write_guard.h for the decision table; every check here reads the file
// through the strict reader or in small pieces of its own.
#include "rating/mp3/write_guard.h"

#include <cstring>

#include "rating/bytes/memory_source.h"
#include "rating/bytes/source_window.h"
#include "rating/id3v2/id3v2_format.h"
#include "rating/id3v2/lenient_walk.h"
#include "rating/mp3/adts_sync.h"
#include "rating/mp3/mpeg_sync.h"

namespace {

// Writes inside one sector of this size are never torn.
const uint64_t kSectorSize = 512;

// id3lib shrinks a tag whose spare room (old tag minus the new frames) reaches this.
const uint64_t kId3libMaxSpareRoom = 4096;
// What id3lib adds to a tag: a POPM frame of our owner with a 4-byte play counter.
const uint64_t kId3libPopmFrameSize = 10 + (sizeof kPluginPopmOwner - 1) + 1 + 1 + 4;
// Frames made to crash id3lib or make it allocate without bound: such a tag is never
// handed to id3lib, not even to be read.
const uint32_t kId3libCraftedHazards = kId3libHazardCompressedMetaFrame | kId3libHazardDecompressionBomb;

void setNothing(RatingWritePlan* plan, RatingWriteReason reason) {
  plan->method = kRatingWriteNothing;
  plan->reason = reason;
}

void setBytes(RatingWritePlan* plan, RatingWriteReason reason, uint64_t offset, const unsigned char* bytes,
              const unsigned char* expected, size_t length) {
  plan->method = kRatingWriteBytes;
  plan->reason = reason;
  plan->offset = offset;
  plan->length = length;
  std::memcpy(plan->bytes, bytes, length);
  std::memcpy(plan->expected, expected, length);
}

void setId3lib(RatingWritePlan* plan, RatingWriteReason reason, uint64_t tagSize, uint32_t frameCount) {
  plan->method = kRatingWriteWithId3lib;
  plan->reason = reason;
  plan->tagSize = tagSize;
  plan->frameCount = frameCount;
  plan->framesAfter = frameCount + 1;
}

// The strict reader and mutagen's walk find the same frames in the tag, and mutagen finds
// none after them.
bool readingsAgree(const LenientWalk& lenient, const Id3v2Layout& layout) {
  return !layout.readingsDisagree && lenient.loadable && lenient.entries == layout.frameCount &&
         lenient.fingerprint == layout.walkFingerprint && lenient.framesAfter == 0;
}

// The file as `plan` would leave it reads as planned, by both readers. An ID3v2.4 tag's sizes
// must read as they did: with a frame more, both readers may take every size the other way
// and find as many frames as planned, though other ones (an old frame longer, a POPM inside).
bool patchedFileReadsAsPlanned(const ByteSource& after, uint32_t frames, bool frameSizesPlain, unsigned char rating) {
  Id3v2Layout layout;
  return parseMp3Tag(after, &layout) && readingsAgree(walkLikeMutagen(after, layout.framesEnd), layout) &&
         layout.frameCount == frames && layout.frameSizesPlain == frameSizesPlain &&
         layout.popmRatingKnown && layout.popmRating == rating && layout.popmRatingOffset != 0;
}

// The first bytes of an MPEG audio frame header: the sync bits and no reserved value in
// version, layer, bitrate or sample rate.
bool startsWithMpegFrame(const unsigned char* bytes) {
  return bytes[0] == 0xFF && (bytes[1] & 0xE0) == 0xE0 && ((bytes[1] >> 3) & 0x03) != 0x01 &&
         ((bytes[1] >> 1) & 0x03) != 0x00 && (bytes[2] >> 4) != 0x0F && ((bytes[2] >> 2) & 0x03) != 0x03;
}

// Other formats: a tag in front breaks them for other programs, and some carry MPEG frames
// inside (a WAV of MP3 audio). `head` holds the file's first 12 bytes.
bool startsAsOtherFormat(const unsigned char* head) {
  const char atStart[][5] = {"RIFF", "RIFX", "RF64", "FORM", "fLaC", "OggS", "wvpk", "MAC ", "MPCK", "caff",
                             "\x1A\x45\xDF\xA3", "\x30\x26\xB2\x75", "\x00\x00\x01\xBA"};
  for (const char* signature : atStart) {
    if (std::memcmp(head, signature, 4) == 0) return true;
  }
  // MP4 and QuickTime: the first box's type follows its size.
  const char* const boxes[] = {"ftyp", "moov", "mdat", "free", "wide", "skip"};
  for (const char* box : boxes) {
    if (std::memcmp(head + 4, box, 4) == 0) return true;
  }
  return false;
}

// An ID3v2.2 POP frame: 3-byte ID, 3-byte size, owner, NUL, rating. Returns its size.
size_t buildPopFrameV22(unsigned char* out, size_t capacity, const char* owner, unsigned char rating) {
  const size_t ownerLength = std::strlen(owner);
  const size_t bodySize = ownerLength + 2;
  if (6 + bodySize > capacity) return 0;
  std::memcpy(out, "POP", 3);
  out[3] = static_cast<unsigned char>(bodySize >> 16);
  out[4] = static_cast<unsigned char>(bodySize >> 8);
  out[5] = static_cast<unsigned char>(bodySize);
  std::memcpy(out + 6, owner, ownerLength);
  out[6 + ownerLength] = 0x00;
  out[7 + ownerLength] = rating;
  return 6 + bodySize;
}

// A new POPM frame of ours at the start of the padding, or nothing when it does not fit.
void planFrameInPadding(const ByteSource& file, const Id3v2Layout& layout, unsigned char rating,
                        RatingWritePlan* plan) {
  unsigned char frame[sizeof plan->bytes];
  size_t frameSize = 0;
  if (layout.majorVersion == 4) {
    frameSize = buildPopmFrameV24(frame, sizeof frame, kPluginPopmOwner, rating);
  } else if (layout.majorVersion == 3) {
    frameSize = buildPopmFrameV23(frame, sizeof frame, kPluginPopmOwner, rating);
  } else {
    frameSize = buildPopFrameV22(frame, sizeof frame, kPluginPopmOwner, rating);
  }
  if (frameSize == 0 || layout.paddingSize < frameSize) {
    setNothing(plan, kWriteReasonNoRoomInTag);
    return;
  }
  // One write within one sector cannot be torn halfway by a crash or a full disk.
  if (layout.paddingOffset / kSectorSize != (layout.paddingOffset + frameSize - 1) / kSectorSize) {
    setNothing(plan, kWriteReasonFrameSpansSectors);
    return;
  }
  unsigned char padding[sizeof plan->bytes];
  if (readSourceAt(file, layout.paddingOffset, padding, frameSize) != frameSize) {
    setNothing(plan, kWriteReasonHeadNotRead);
    return;
  }
  // A frame more can change which frame sizes mutagen guesses for ID3v2.4.
  const PatchedBytes overlay = {file, frame, frameSize, layout.paddingOffset, 0, false};
  if (!patchedFileReadsAsPlanned(patchedSource(&overlay), layout.frameCount + 1, layout.frameSizesPlain,
                                 rating)) {
    setNothing(plan, kWriteReasonReadingsDisagree);
    return;
  }
  setBytes(plan, kWriteReasonFrameInPadding, layout.paddingOffset, frame, padding, frameSize);
}

// An ID3v2.3 tag without a POPM frame that cannot take one in place: id3lib may add it
// when it renders the tag right, sees the tag where it is, and would not shrink it.
void planId3libFrame(const ByteSource& file, const Id3v2Layout& layout, RatingWritePlan* plan) {
  const uint64_t fileSize = file.size;
  if (layout.unsynchronised) {
    setNothing(plan, kWriteReasonTagUnsynchronised);
    return;
  }
  // id3lib also drops the experimental flag of the tag it read, and reads a tolerated tag
  // otherwise than the strict reader (the tag carries a hazard for it too).
  if (layout.id3libHazards != 0 || layout.experimental || layout.tolerated) {
    setNothing(plan, kWriteReasonId3libHazard);
    return;
  }
  // What follows the tag: id3lib takes zero bytes (and FF 00 00 00) there for padding and
  // drops them on a rewrite, and reads a second tag into the first.
  const size_t after = fileSize - layout.tagSize < 4 ? static_cast<size_t>(fileSize - layout.tagSize) : 4;
  unsigned char next[4];
  if (readSourceAt(file, layout.tagSize, next, after) != after) {
    setNothing(plan, kWriteReasonHeadNotRead);
    return;
  }
  if (after > 0 && next[0] == 0x00) {
    setNothing(plan, kWriteReasonNotAudioAfterTag);
    return;
  }
  if (after >= 3 && std::memcmp(next, "ID3", 3) == 0) {
    setNothing(plan, kWriteReasonNotAudioAfterTag);
    return;
  }
  if (after == 4 && next[0] == 0xFF && next[1] == 0x00 && next[2] == 0x00 && next[3] == 0x00) {
    setNothing(plan, kWriteReasonNotAudioAfterTag);
    return;
  }
  // id3lib drops the extended header and renders the frames as they are, plus its POPM.
  const uint64_t newFrames = (layout.framesEnd - layout.framesOffset) + kId3libPopmFrameSize;
  const uint64_t oldRoom = layout.tagSize - kTagHeaderSize;
  if (fileSize <= layout.tagSize) {
    // A file that is only a tag gets no padding at all.
    if (newFrames < oldRoom) {
      setNothing(plan, kWriteReasonId3libWouldShrinkTag);
      return;
    }
  } else if (oldRoom >= newFrames && oldRoom - newFrames >= kId3libMaxSpareRoom) {
    setNothing(plan, kWriteReasonId3libWouldShrinkTag);
    return;
  }
  setId3lib(plan, kWriteReasonId3libAddsFrame, layout.tagSize, layout.frameCount);
}

// What a file without a tag starts as, from its first bytes (`head`, `available` of them).
enum UntaggedStart {
  kUntaggedUnread,          // the bytes the decision needs could not be read
  kUntaggedNoAudio,         // no MPEG audio or ADTS, or another format
  kUntaggedMpegFrame,       // an MPEG audio frame at the very start
  kUntaggedAdts,            // ADTS frames (AAC)
  kUntaggedAudioAfterJunk,  // MPEG audio after junk within the first 64 KB
};

UntaggedStart untaggedStart(const ByteSource& file, const unsigned char* head, size_t available) {
  if (file.size < 4) return kUntaggedNoAudio;
  if (available < 4) return kUntaggedUnread;
  if (startsWithMpegFrame(head)) return kUntaggedMpegFrame;
  unsigned char first[12] = {0};
  const size_t firstSize = file.size < sizeof first ? static_cast<size_t>(file.size) : sizeof first;
  uint64_t audio = 0;
  if (readSourceAt(file, 0, first, firstSize) != firstSize) return kUntaggedUnread;
  if (startsWithAdtsFrames(file)) return kUntaggedAdts;
  if (startsAsOtherFormat(first) || !findMpegAudioStart(file, &audio)) return kUntaggedNoAudio;
  return kUntaggedAudioAfterJunk;
}

void planWithoutTag(const ByteSource& file, const unsigned char* head, size_t available,
                    RatingWritePlan* plan) {
  // id3lib counts zero bytes (or FF 00 00 00) at the start of a file without a tag as
  // padding and drops them, and puts a tag in front of any format: it tags only a file that
  // starts as MPEG audio. Where the audio starts after junk, the editor puts a tag in front
  // and keeps every byte after it.
  switch (untaggedStart(file, head, available)) {
    case kUntaggedUnread:
      setNothing(plan, kWriteReasonHeadNotRead);
      return;
    case kUntaggedNoAudio:
      setNothing(plan, kWriteReasonNotMpegAudio);
      return;
    case kUntaggedMpegFrame:
      setId3lib(plan, kWriteReasonId3libNewTag, 0, 0);
      return;
    case kUntaggedAdts:
      // id3lib is not trusted with AAC: the editor's tag goes in front, every frame stays.
      plan->reason = kWriteReasonEditorTagsAdts;
      break;
    case kUntaggedAudioAfterJunk:
      plan->reason = kWriteReasonEditorNewTag;
      break;
  }
  plan->method = kRatingWriteRewrite;
  plan->tagSize = 0;
  plan->framesAfter = 1;
}

void setRewrite(RatingWritePlan* plan, RatingWriteReason reason, const Id3v2Layout& layout) {
  plan->method = kRatingWriteRewrite;
  plan->reason = reason;
  plan->tagSize = layout.tagSize;
  plan->frameCount = layout.frameCount;
  plan->frameSizesPlain = layout.frameSizesPlain;
  plan->decodeTagUnsynchronisation = layout.tagUnsynchronisationDecoded;
  plan->framesAfter = layout.frameCount + (layout.popmFound ? 0 : 1);
}

// A tag without a POPM frame: a new frame in the padding where that is one untorn
// write, else the editor makes the tag anew; id3lib only where it has always
// kept every frame (a plain ID3v2.3 tag).
void planNewFrame(const ByteSource& file, const Id3v2Layout& layout, unsigned char rating,
                  RatingWritePlan* plan) {
  if (layout.unsynchronised || layout.extendedHeaderHasCrc) {
    setRewrite(plan, kWriteReasonEditorReencodesTag, layout);
    return;
  }
  // A footer leaves no padding; an ID3v2.3 extended header counts the padding.
  const bool paddingUsable = !layout.hasFooter && !(layout.majorVersion == 3 && layout.hasExtendedHeader);
  if (paddingUsable) {
    planFrameInPadding(file, layout, rating, plan);
    if (plan->method == kRatingWriteBytes || plan->reason == kWriteReasonHeadNotRead) return;
    if (plan->reason == kWriteReasonFrameSpansSectors) {
      setRewrite(plan, kWriteReasonFrameSpansSectors, layout);
      return;
    }
  }
  if (layout.majorVersion != 3 || layout.hasExtendedHeader) {
    // id3lib would make an ID3v2.4 or 2.2 tag an ID3v2.3 one, and drops an extended header.
    setRewrite(plan, kWriteReasonEditorGrowsTag, layout);
    return;
  }
  planId3libFrame(file, layout, plan);
  // What id3lib would get wrong, the editor does without: it keeps every frame as it is.
  switch (plan->reason) {
    case kWriteReasonId3libHazard:
    case kWriteReasonNotAudioAfterTag:
    case kWriteReasonId3libWouldShrinkTag:
      setRewrite(plan, kWriteReasonEditorKeepsFlags, layout);
      break;
    default:
      break;
  }
}

void planExistingPopm(const Id3v2Layout& layout, unsigned char rating, RatingWritePlan* plan);

void planWithTag(const ByteSource& file, const Id3v2Layout& layout, unsigned char rating, RatingWritePlan* plan) {
  if (!layout.wellFormed) {
    const bool cutShort = layout.problem == Id3v2Problem::TagNotFullyRead ||
                          (layout.problem == Id3v2Problem::HeaderTruncated && file.size >= kTagHeaderSize);
    setNothing(plan, cutShort ? kWriteReasonHeadNotRead : kWriteReasonMalformedTag);
    return;
  }
  // A tag whose rating is never read through id3lib (planRatingRead) gets none written.
  if (layout.majorVersion != 4 && (layout.id3libHazards & kId3libCraftedHazards) != 0) {
    setNothing(plan, kWriteReasonId3libHazard);
    return;
  }
  // Where mutagen reads other frames than the strict reader, a write may change what it
  // reads; where it cannot load the file at all, the rating byte alone may change.
  const LenientWalk lenient = walkLikeMutagen(file, layout.framesEnd);
  if (!readingsAgree(lenient, layout)) {
    if (!lenient.loadable && !layout.readingsDisagree && layout.popmFound) {
      planExistingPopm(layout, rating, plan);
      if (plan->method == kRatingWriteBytes || plan->reason == kWriteReasonAlreadyStored) return;
    }
    setNothing(plan, kWriteReasonReadingsDisagree);
    return;
  }
  // A tag that claims more than the file holds gets a header that tells the truth.
  if (layout.tolerated && layout.declaredTagSize != layout.tagSize) {
    setRewrite(plan, kWriteReasonEditorToleratedTag, layout);
    return;
  }
  if (!layout.popmFound) {
    planNewFrame(file, layout, rating, plan);
    return;
  }
  planExistingPopm(layout, rating, plan);
  // Which way an ID3v2.4 tag's frame sizes read is a guess the bytes decide: a rating of 0
  // may make mutagen, and so the strict reader, take the padding to start there.
  const PatchedBytes overlay = {file, &rating, 1, layout.popmRatingOffset, 0, false};
  const ByteSource after = patchedSource(&overlay);
  if (plan->method == kRatingWriteBytes && layout.majorVersion == 4 &&
      !patchedFileReadsAsPlanned(after, layout.frameCount, layout.frameSizesPlain, rating)) {
    setNothing(plan, kWriteReasonReadingsDisagree);
  }
}

// The first POPM frame takes the rating: its one byte, or the tag made anew around it.
void planExistingPopm(const Id3v2Layout& layout, unsigned char rating, RatingWritePlan* plan) {
  // mutagen reads a grouping byte as the owner's first letter: the counter it reads then
  // holds the byte the plugin would write.
  if (layout.popmCompressed || layout.popmEncrypted || layout.popmGrouped || !layout.popmRatingKnown) {
    setNothing(plan, kWriteReasonPopmNotAddressable);
  } else if (layout.popmRating == rating) {
    setNothing(plan, kWriteReasonAlreadyStored);
  } else if (layout.popmRatingOffset == 0 || layout.extendedHeaderHasCrc) {
    // Unsynchronised, or counted in a CRC: the tag is made anew around the rating.
    setRewrite(plan, kWriteReasonEditorReencodesTag, layout);
  } else {
    // An addressable rating is the byte on disk at popmRatingOffset.
    setBytes(plan, kWriteReasonRatingByte, layout.popmRatingOffset, &rating, &layout.popmRating, 1);
  }
}

}  // namespace

bool parseMp3Tag(const ByteSource& file, Id3v2Layout* layout) {
  return parseId3v2Tag(file, &mpegAudioStartsAt, layout);
}

uint64_t ratingHeadBytesWanted(const unsigned char* header, size_t headerAvailable, uint64_t fileSize) {
  const uint64_t withoutTag = 16;
  uint64_t wanted = withoutTag;
  if (header != nullptr && headerAvailable >= kTagHeaderSize) {
    const size_t needed = id3v2BytesNeeded(header);
    if (needed != 0) wanted = uint64_t{needed} + 4;
  }
  return wanted < fileSize ? wanted : fileSize;
}

RatingReadMethod planRatingRead(const ByteSource& file, unsigned* ratingByte) {
  if (ratingByte != nullptr) *ratingByte = 0;
  Id3v2Layout layout;
  parseMp3Tag(file, &layout);
  if (!layout.present) return kRatingReadZero;  // id3lib looks for a tag at the start only
  switch (layout.problem) {
    case Id3v2Problem::HeaderTruncated:
    case Id3v2Problem::UnsupportedVersion:
    case Id3v2Problem::BadRevision:
    case Id3v2Problem::SizeNotSyncsafe:
      return kRatingReadZero;  // no tag id3lib or anyone could read
    default:
      break;
  }
  // id3lib reads no frame of an ID3v2.4 tag; an older tag made to crash id3lib counts as
  // unrated. Any other tag the strict reader vouches for is read here, from frame headers:
  // id3lib parses every frame (about 100 ms for an 8 MB picture) and drops a short ID3v2.2
  // frame at the end of a tag. id3lib reads the tags the reader does not vouch for, and a
  // first POPM frame that is compressed or encrypted.
  if (layout.majorVersion != 4 && (layout.id3libHazards & kId3libCraftedHazards)) return kRatingReadZero;
  // A tolerated tag is read here too: id3lib would read it otherwise, a hidden POPM counts 0.
  const bool popmHidden = layout.popmFound && !layout.popmRatingKnown;
  const bool readHere = layout.majorVersion == 4 || layout.tolerated || (layout.wellFormed && !popmHidden);
  if (!readHere) return kRatingReadWithId3lib;
  if (!layout.popmRatingKnown) return kRatingReadZero;
  if (ratingByte != nullptr) *ratingByte = layout.popmRating;
  return kRatingReadFromTag;
}

void planRatingWrite(const ByteSource& file, int ratingByte, RatingWritePlan* plan) {
  if (plan == nullptr) return;
  std::memset(plan, 0, sizeof *plan);
  setNothing(plan, kWriteReasonHeadNotRead);
  if (ratingByte < 0 || ratingByte > 255) {
    setNothing(plan, kWriteReasonBadRating);
    return;
  }
  if (file.size == 0) {
    setNothing(plan, kWriteReasonEmptyFile);
    return;
  }
  unsigned char first[4];
  const size_t available = readSourceAt(file, 0, first, sizeof first);
  if (available == 0) return;  // kWriteReasonHeadNotRead

  Id3v2Layout layout;
  parseMp3Tag(file, &layout);
  const unsigned char rating = static_cast<unsigned char>(ratingByte);
  if (layout.present) {
    planWithTag(file, layout, rating, plan);
  } else if (available < 3 && available < file.size) {
    return;  // too few bytes to tell whether there is a tag
  } else {
    planWithoutTag(file, first, available, plan);
  }
}

bool holdsMpegAudio(const ByteSource& file) {
  if (file.size == 0) return false;
  unsigned char first[4];
  const size_t available = readSourceAt(file, 0, first, sizeof first);
  // What cannot be read, or has a tag, is the guard's to decide.
  if (available == 0 || (available >= 3 && std::memcmp(first, "ID3", 3) == 0)) return true;
  if (available < 3 && available < file.size) return true;
  return untaggedStart(file, first, available) != kUntaggedNoAudio;
}

namespace {

// The chunk starts with a whole tag header whose tag fits the chunk.
bool tagFitsChunk(const ByteSource& chunk) {
  unsigned char header[kTagHeaderSize];
  if (readSourceAt(chunk, 0, header, sizeof header) != sizeof header) return false;
  const size_t needed = id3v2BytesNeeded(header);
  return needed != 0 && needed <= chunk.size;
}

}  // namespace

RatingReadMethod planChunkTagRead(const ByteSource& chunk, unsigned* ratingByte) {
  if (ratingByte != nullptr) *ratingByte = 0;
  if (!tagFitsChunk(chunk)) return kRatingReadZero;
  const RatingReadMethod method = planRatingRead(chunk, ratingByte);
  return method == kRatingReadFromTag ? method : kRatingReadZero;
}

void planChunkTagWrite(const ByteSource& chunk, int ratingByte, RatingWritePlan* plan) {
  if (plan == nullptr) return;
  if (!tagFitsChunk(chunk)) {
    std::memset(plan, 0, sizeof *plan);
    setNothing(plan, kWriteReasonMalformedTag);
    return;
  }
  planRatingWrite(chunk, ratingByte, plan);
  if (plan->method != kRatingWriteWithId3lib) return;
  // id3lib adds frames only to a plain ID3v2.3 tag: the editor keeps it as it is.
  plan->method = kRatingWriteRewrite;
  plan->reason = kWriteReasonEditorKeepsFlags;
  plan->frameSizesPlain = false;
  plan->decodeTagUnsynchronisation = false;
}

bool editedFileReadsAsPlanned(const ByteSource& edited, const RatingWritePlan& plan, int ratingByte) {
  return ratingByte >= 0 && ratingByte <= 255 &&
         patchedFileReadsAsPlanned(edited, plan.framesAfter, plan.frameSizesPlain,
                                   static_cast<unsigned char>(ratingByte));
}

const char* ratingWriteReasonName(RatingWriteReason reason) {
  switch (reason) {
    case kWriteReasonBadRating:
      return "BadRating";
    case kWriteReasonEmptyFile:
      return "EmptyFile";
    case kWriteReasonHeadNotRead:
      return "HeadNotRead";
    case kWriteReasonNotMpegAudio:
      return "NotMpegAudio";
    case kWriteReasonMalformedTag:
      return "MalformedTag";
    case kWriteReasonAlreadyStored:
      return "AlreadyStored";
    case kWriteReasonPopmNotAddressable:
      return "PopmNotAddressable";
    case kWriteReasonExtendedHeaderCrc:
      return "ExtendedHeaderCrc";
    case kWriteReasonNoRoomInTag:
      return "NoRoomInTag";
    case kWriteReasonTagUnsynchronised:
      return "TagUnsynchronised";
    case kWriteReasonId3libHazard:
      return "Id3libHazard";
    case kWriteReasonNotAudioAfterTag:
      return "NotAudioAfterTag";
    case kWriteReasonId3libWouldShrinkTag:
      return "Id3libWouldShrinkTag";
    case kWriteReasonReadingsDisagree:
      return "ReadingsDisagree";
    case kWriteReasonRatingByte:
      return "RatingByte";
    case kWriteReasonFrameInPadding:
      return "FrameInPadding";
    case kWriteReasonId3libNewTag:
      return "Id3libNewTag";
    case kWriteReasonId3libAddsFrame:
      return "Id3libAddsFrame";
    case kWriteReasonFrameSpansSectors:
      return "FrameSpansSectors";
    case kWriteReasonEditorNewTag:
      return "EditorNewTag";
    case kWriteReasonEditorTagsAdts:
      return "EditorTagsAdts";
    case kWriteReasonEditorGrowsTag:
      return "EditorGrowsTag";
    case kWriteReasonEditorReencodesTag:
      return "EditorReencodesTag";
    case kWriteReasonEditorToleratedTag:
      return "EditorToleratedTag";
    case kWriteReasonEditorKeepsFlags:
      return "EditorKeepsFlags";
  }
  return "Unknown";
}
