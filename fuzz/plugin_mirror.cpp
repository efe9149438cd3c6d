// The rating store's steps with POSIX file calls; see plugin_mirror.h. Each function names the
// store function it follows.
#include "fuzz/plugin_mirror.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <id3.h>
#include <id3/tag.h>
// After the standard headers: it defines min() and max() as macros when they are not yet.
#include <id3/io_strings.h>

#include "rating/memory_source.h"
#include "rating/rating.h"

namespace {

// The file the store holds open (without sharing deletion) while id3lib updates it.
const char* heldPath = nullptr;

}  // namespace

// id3lib, linked in statically, removes files through this remove(). On Windows a file held
// open without FILE_SHARE_DELETE cannot be deleted; neither can the held path here.
extern "C" int remove(const char* path) noexcept {
  if (heldPath != nullptr && std::strcmp(path, heldPath) == 0) {
    errno = EBUSY;
    return -1;
  }
  if (unlink(path) == 0) return 0;
  if (errno == EISDIR) return rmdir(path);
  return -1;
}

namespace {

// Reads and compares in pieces of this size (tag_file.cpp).
const size_t kChunkSize = 64 * 1024;
// Kept free beyond what the copy needs (rewrite_recovery.cpp).
const uint64_t kSpareRoom = 64 * 1024;

// ---- tag_file.cpp -----------------------------------------------------------------------------

bool fileSizeOf(int fd, uint64_t* size) {
  struct stat info;
  if (fstat(fd, &info) != 0 || info.st_size < 0) return false;
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

size_t readAt(int fd, uint64_t offset, unsigned char* buffer, size_t count) {
  size_t total = 0;
  while (total < count) {
    const size_t piece = count - total < kChunkSize ? count - total : kChunkSize;
    const ssize_t got = pread(fd, buffer + total, piece, static_cast<off_t>(offset + total));
    if (got <= 0) break;
    total += static_cast<size_t>(got);
  }
  return total;
}

size_t writeAt(int fd, uint64_t offset, const unsigned char* bytes, size_t count) {
  const ssize_t put = pwrite(fd, bytes, count, static_cast<off_t>(offset));
  return put > 0 ? static_cast<size_t>(put) : 0;
}

size_t headBytesToRead(int fd, uint64_t* fileSize) {
  *fileSize = 0;
  if (!fileSizeOf(fd, fileSize)) return 0;
  unsigned char header[10];
  const size_t headerWanted = *fileSize < sizeof header ? static_cast<size_t>(*fileSize) : sizeof header;
  const size_t headerRead = readAt(fd, 0, header, headerWanted);
  if (headerRead != headerWanted) return 0;
  const uint64_t wanted = ratingHeadBytesWanted(header, headerRead, *fileSize);
  return wanted < kMaxHeadBytes ? static_cast<size_t>(wanted) : kMaxHeadBytes;
}

bool writePlannedBytes(int fd, const RatingWritePlan& plan) {
  if (plan.method != kRatingWriteBytes || plan.length == 0 || plan.length > sizeof plan.bytes) return false;
  unsigned char now[sizeof plan.bytes];
  if (readAt(fd, plan.offset, now, plan.length) != plan.length) return false;
  if (std::memcmp(now, plan.expected, plan.length) != 0) return false;
  const size_t written = writeAt(fd, plan.offset, plan.bytes, plan.length);
  if (written == plan.length) return true;
  if (written > 0) writeAt(fd, plan.offset, plan.expected, written);
  return false;
}

bool sameBytes(int a, uint64_t aOffset, int b, uint64_t bOffset, uint64_t count) {
  unsigned char pieceA[4096];
  unsigned char pieceB[4096];
  uint64_t done = 0;
  while (done < count) {
    const size_t piece = count - done < sizeof pieceA ? static_cast<size_t>(count - done) : sizeof pieceA;
    if (readAt(a, aOffset + done, pieceA, piece) != piece) return false;
    if (readAt(b, bOffset + done, pieceB, piece) != piece) return false;
    if (std::memcmp(pieceA, pieceB, piece) != 0) return false;
    done += piece;
  }
  return true;
}

bool volumeHasRoom(const char* path, uint64_t bytes) {
  std::string folder(path);
  const size_t slash = folder.rfind('/');
  if (slash == std::string::npos) return true;
  folder.resize(slash + 1);
  struct statvfs volume;
  if (statvfs(folder.c_str(), &volume) != 0) return true;
  return uint64_t{volume.f_bavail} * volume.f_frsize >= bytes;
}

uint64_t lastWriteOf(const struct stat& info) {
  return uint64_t(info.st_mtim.tv_sec) * 1000000000u + uint64_t(info.st_mtim.tv_nsec);
}

LeftoverNote noteLeftoverOf(const char* path) {
  LeftoverNote note = {false, 0, 0};
  struct stat info;
  if (stat(reinterpret_cast<const char*>(leftoverName(path).data()), &info) != 0) return note;
  note.exists = true;
  note.size = static_cast<uint64_t>(info.st_size);
  note.lastWriteTime = lastWriteOf(info);
  return note;
}

bool leftoverWrittenSince(const char* path, const LeftoverNote& before) {
  struct stat info;
  if (stat(reinterpret_cast<const char*>(leftoverName(path).data()), &info) != 0) return false;
  if (S_ISDIR(info.st_mode)) return false;
  if (!before.exists) return true;
  return static_cast<uint64_t>(info.st_size) != before.size || lastWriteOf(info) != before.lastWriteTime;
}

// ---- tag_store.cpp: reading -------------------------------------------------------------------

unsigned ratingByteOfFirstPopm(const ID3Tag* tag) {
  const ID3Frame* frame = ID3Tag_FindFrameWithID(tag, ID3FID_POPULARIMETER);
  if (frame == nullptr) return 0;
  if (ID3Frame_GetField(frame, ID3FN_EMAIL) == nullptr) return 0;
  const ID3Field* rating = ID3Frame_GetField(frame, ID3FN_RATING);
  if (rating == nullptr) return 0;
  return ID3Field_GetINT(rating);
}

RatingReadMethod planReadOfFile(const char* path, unsigned* ratingByte) {
  *ratingByte = 0;
  const int fd = open(path, O_RDONLY);
  if (fd < 0) return kRatingReadZero;
  RatingReadMethod method = kRatingReadZero;
  uint64_t fileSize = 0;
  const size_t wanted = headBytesToRead(fd, &fileSize);
  FileBytes head(wanted > 0 ? wanted : 1);
  if (wanted > 0) {
    const MemoryBytes memory = {head.data(), readAt(fd, 0, head.data(), wanted)};
    method = planRatingRead(memorySource(&memory, fileSize), ratingByte);
  }
  close(fd);
  return method;
}

// ---- tag_store.cpp: writing with id3lib -------------------------------------------------------

void renderTag(const ID3Tag* tag, std::string& rendered) {
  dami::io::StringWriter writer(rendered);
  reinterpret_cast<const ID3_Tag*>(tag)->Render(writer, ID3TT_ID3V2);
}

bool addOwnPopm(ID3Tag* tag, int ratingByte, ID3Frame*& frame) {
  frame = ID3Frame_NewID(ID3FID_POPULARIMETER);
  if (frame == nullptr) return false;
  ID3Field* owner = ID3Frame_GetField(frame, ID3FN_EMAIL);
  ID3Field* rating = ID3Frame_GetField(frame, ID3FN_RATING);
  if (owner == nullptr || rating == nullptr) return false;
  ID3Field_SetASCII(owner, kPluginPopmOwner);
  ID3Field_SetINT(rating, static_cast<uint32>(ratingByte));
  ID3Tag_AddFrame(tag, frame);
  return true;
}

struct FileHead {
  const unsigned char* bytes;
  size_t available;
  uint64_t fileSize;
};

bool updateWithId3lib(const char* path, const FileHead& head, const RatingWritePlan& plan, int ratingByte,
                      std::string& rendered) {
  ID3Tag* tag = nullptr;
  ID3Frame* frame = nullptr;
  bool updated = false;
  try {
    tag = ID3Tag_New();
    if (tag != nullptr) {
      const size_t tagBytes = ID3Tag_LinkWithFlags(tag, path, ID3TT_ID3V2);
      const bool sameTag = tagBytes == plan.tagSize && ID3Tag_NumFrames(tag) == plan.frameCount &&
                           ID3Tag_FindFrameWithID(tag, ID3FID_POPULARIMETER) == nullptr;
      if (sameTag && addOwnPopm(tag, ratingByte, frame)) {
        renderTag(tag, rendered);
        const MemoryBytes memory = {head.bytes, head.available};
        if (id3libRenderKeepsTag(memorySource(&memory, head.fileSize), ratingByte,
                                 reinterpret_cast<const unsigned char*>(rendered.data()), rendered.size())) {
          ID3Tag_UpdateByTagType(tag, ID3TT_ID3V2);
          updated = true;
        }
      }
    }
  } catch (...) {
  }
  try {
    ID3Frame_Delete(frame);
  } catch (...) {
  }
  try {
    ID3Tag_Delete(tag);
  } catch (...) {
  }
  return updated;
}

bool leftoverIsComplete(int file, uint64_t fileSize, uint64_t oldTagSize, int copy,
                        const std::string& rendered) {
  uint64_t copySize = 0;
  const size_t wanted = headBytesToRead(copy, &copySize);
  FileBytes copyHead(wanted > 0 ? wanted : 1);
  bool complete = false;
  if (wanted > 0) {
    const MemoryBytes memory = {copyHead.data(), readAt(copy, 0, copyHead.data(), wanted)};
    uint64_t copyTagSize = 0;
    complete = id3libCopyMatchesRender(memorySource(&memory, copySize),
                                       reinterpret_cast<const unsigned char*>(rendered.data()),
                                       rendered.size(), fileSize, oldTagSize, &copyTagSize) &&
               sameBytes(file, oldTagSize, copy, copyTagSize, fileSize - oldTagSize);
  }
  return complete;
}

void vetLeftover(const char* path, int file, uint64_t fileSize, uint64_t oldTagSize,
                 const std::string& rendered, const LeftoverNote& before, StoreWrite* what) {
  const FileBytes leftover = leftoverName(path);
  const char* leftoverPath = reinterpret_cast<const char*>(leftover.data());
  if (!leftoverWrittenSince(path, before)) return;
  const int copy = open(leftoverPath, O_RDONLY);
  bool complete = false;
  if (copy >= 0) {
    complete = leftoverIsComplete(file, fileSize, oldTagSize, copy, rendered);
    close(copy);
  }
  if (!complete) {
    unlink(leftoverPath);
    what->leftoverRemoved = true;
  }
}

// ---- tag_store.cpp: writing -------------------------------------------------------------------

bool isWritableRegularFile(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) != 0;
}

void storeRatingByte(const char* path, int ratingByte, const LeftoverNote& before, StoreWrite* what) {
  const int fd = open(path, O_RDWR);
  if (fd < 0) return;
  heldPath = path;
  uint64_t fileSize = 0;
  const size_t wanted = headBytesToRead(fd, &fileSize);
  FileBytes bytes(wanted > 0 ? wanted : 1);
  if (wanted > 0) {
    const FileHead head = {bytes.data(), readAt(fd, 0, bytes.data(), wanted), fileSize};
    RatingWritePlan plan;
    const MemoryBytes memory = {head.bytes, head.available};
    planRatingWrite(memorySource(&memory, head.fileSize), ratingByte, &plan);
    what->planned = true;
    what->plan = plan;
    what->headSize = head.available;
    if (plan.method == kRatingWriteBytes) {
      what->bytesWritten = writePlannedBytes(fd, plan);
    } else if (plan.method == kRatingWriteWithId3lib) {
      std::string rendered;
      if (updateWithId3lib(path, head, plan, ratingByte, rendered)) {
        what->id3libUpdated = true;
        vetLeftover(path, fd, fileSize, plan.tagSize, rendered, before, what);
      }
    }
  }
  heldPath = nullptr;
  close(fd);
}

// ---- rewrite_recovery.cpp ---------------------------------------------------------------------

bool sizeOfFile(const char* path, uint64_t* size) {
  struct stat info;
  if (stat(path, &info) != 0) return false;
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

// CopyFileA(from, to, FALSE): the target truncated, then written.
bool copyFile(const char* from, const char* to) {
  const int in = open(from, O_RDONLY);
  if (in < 0) return false;
  const int out = open(to, O_WRONLY | O_TRUNC);
  bool copied = out >= 0;
  unsigned char buffer[65536];
  ssize_t got = 0;
  while (copied && (got = read(in, buffer, sizeof buffer)) > 0) {
    copied = write(out, buffer, static_cast<size_t>(got)) == got;
  }
  copied = copied && got == 0;
  if (out >= 0 && close(out) != 0) copied = false;
  close(in);
  return copied;
}

void recoverRewriteSince(const char* path, const LeftoverNote& before, StoreWrite* what) {
  const FileBytes leftover = leftoverName(path);
  const char* leftoverPath = reinterpret_cast<const char*>(leftover.data());
  if (!leftoverWrittenSince(path, before)) return;
  uint64_t fileSize = 0;
  uint64_t copySize = 0;
  if (!sizeOfFile(path, &fileSize) || !sizeOfFile(leftoverPath, &copySize)) return;
  if (copySize <= fileSize) return;
  if (!volumeHasRoom(path, copySize - fileSize + kSpareRoom)) return;
  if (copyFile(leftoverPath, path)) {
    unlink(leftoverPath);
    what->leftoverCopied = true;
  }
}

}  // namespace

FileBytes leftoverName(const char* path) {
  const size_t length = std::strlen(path);
  FileBytes name(path, path + length);
  const char suffix[] = ".XXXXXX";
  name.insert(name.end(), suffix, suffix + sizeof suffix);  // with the NUL
  return name;
}

unsigned id3libRatingByte(const char* path) {
  ID3Tag* tag = nullptr;
  unsigned rating = 0;
  try {
    tag = ID3Tag_New();
    if (tag != nullptr) {
      ID3Tag_LinkWithFlags(tag, path, ID3TT_ID3V2);
      rating = ratingByteOfFirstPopm(tag);
    }
  } catch (...) {
    rating = 0;
  }
  try {
    ID3Tag_Delete(tag);
  } catch (...) {
  }
  return rating;
}

int storeReadRating(const char* path) {
  unsigned ratingByte = 0;
  switch (planReadOfFile(path, &ratingByte)) {
    case kRatingReadFromTag:
      return starsFromRatingByte(ratingByte);
    case kRatingReadWithId3lib:
      return starsFromRatingByte(id3libRatingByte(path));
    case kRatingReadZero:
      break;
  }
  return 0;
}

void storeWriteRating(const char* path, int stars, StoreWrite* what) {
  *what = StoreWrite();
  const LeftoverNote before = noteLeftoverOf(path);
  if (stars >= 0 && stars <= 5 && isWritableRegularFile(path))
    storeRatingByte(path, RatingScale[stars], before, what);
  recoverRewriteSince(path, before, what);
}
