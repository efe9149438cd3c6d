// The rating store's steps (rating/tag_store.cpp, rating/tag_file.cpp,
// rating/rewrite_recovery.cpp) with POSIX file calls in place of the Windows ones, so that the
// native fuzz targets drive id3lib, the write guard and the checks around them in the store's
// order. Kept step for step like the store: when the store changes, change this with it.
//
// One Windows behaviour is imitated: while the store updates a file through id3lib it holds the
// file open without sharing deletion, so id3lib's remove() of the original fails and its copy
// stays beside the file as "<path>.XXXXXX", to be checked and copied over by the store. Here
// remove() of that path fails for the same span (see plugin_mirror.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rating/write_guard.h"

using FileBytes = std::vector<unsigned char>;

// The most bytes the store reads from the start of a file (tag_file.h).
const size_t kMaxHeadBytes = 64u * 1024u * 1024u;

// "<path>.XXXXXX".
FileBytes leftoverName(const char* path);

// readRating: the guard's read plan, then the strict reader's byte or id3lib's.
int storeReadRating(const char* path);

// The rating byte of the first POPM frame as the store reads it through id3lib.
unsigned id3libRatingByte(const char* path);

// What storeWriteRating did.
struct StoreWrite {
  bool planned;          // the file was read and the guard asked
  RatingWritePlan plan;  // the guard's plan (when planned)
  uint64_t headSize;     // how many bytes of the file the guard saw
  bool bytesWritten;     // kRatingWriteBytes carried out
  bool id3libUpdated;    // id3lib was asked to update the file
  bool leftoverRemoved;  // id3lib's copy was found incomplete and removed
  bool leftoverCopied;   // id3lib's copy was copied over the file
};

// writeRating(path, stars).
void storeWriteRating(const char* path, int stars, StoreWrite* what);
