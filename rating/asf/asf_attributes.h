// SPDX-License-Identifier: LGPL-2.1-or-later
// The attributes of an ASF header, walked a header at a time: the descriptors of the Extended
// Content Description, the records of the Metadata and Metadata Library objects. Each must
// fill its object as counted and be one mutagen loads (a name of strict UTF-16 ending in its
// terminator, a known type of its size, text of strict UTF-16); of the rating attribute,
// `WM/SharedUserRating` of stream 0, the value is read when short. A value of any other
// attribute (a WM/Picture of megabytes) is passed over, its text checked a window at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/asf/asf_layout.h"
#include "rating/bytes/byte_source.h"
#include "rating/bytes/source_window.h"

enum AsfPlace {
  kAsfInContent,   // a descriptor of the Extended Content Description
  kAsfInMetadata,  // a record of the Metadata object
  kAsfInLibrary,   // a record of the Metadata Library
};

// Value types.
const uint16_t kAsfUnicode = 0;
const uint16_t kAsfBool = 2;
const uint16_t kAsfDword = 3;
const uint16_t kAsfQword = 4;
const uint16_t kAsfWord = 5;
const uint16_t kAsfGuid = 6;

// The fields before a descriptor's name (its length) and before a record's name.
const uint64_t kAsfDescriptorPrefix = 2;
const uint64_t kAsfRecordPrefix = 12;
// The count of descriptors or records before the first of them.
const uint64_t kAsfListPrefix = 2;

// "WM/SharedUserRating" in UTF-16LE with its terminator.
extern const unsigned char kAsfRatingName[40];

struct AsfAttribute {
  AsfPlace place;
  uint64_t offset;  // of the descriptor or record
  uint64_t size;
  uint64_t nameAt;
  uint16_t nameLength;
  uint16_t type;
  uint64_t valueAt;
  uint32_t valueLength;
  uint16_t stream;  // a record's; 0 for a descriptor
  bool isRating;    // WM/SharedUserRating of stream 0
};

struct AsfAttributeWalk {
  SourceWindow window;
  AsfPlace place;
  uint64_t next;
  uint64_t end;
  uint32_t left;  // counted and not yet walked
  bool malformed;
};

// Walks the descriptors or records of `list` (an object of the kind `place` names).
void openAttributeWalk(AsfAttributeWalk* walk, const ByteSource& source, const AsfObject& list,
                       AsfPlace place);

// The next attribute; false when the counted ones are walked (and fill the object exactly) or
// the walk found them malformed.
bool nextAsfAttribute(AsfAttributeWalk* walk, AsfAttribute* attribute);

const size_t kAsfMaxRatings = 16;

// The rating attributes in the order the player's decoder looks for them: the Extended Content
// Description, the Metadata, the Metadata Library.
struct AsfRatings {
  AsfAttribute found[kAsfMaxRatings];
  size_t count;
};

// Walks every attribute list of the layout into *ratings. False when one is malformed or holds
// more rating attributes than kAsfMaxRatings.
bool findAsfRatings(const ByteSource& source, const AsfLayout& layout, AsfRatings* ratings);

// The number the value stands for (a DWORD, WORD, QWORD or BOOL, or text of decimal digits);
// false when it stands for none.
bool asfAttributeNumber(const ByteSource& source, const AsfAttribute& attribute, uint64_t* number);

// Stars by the player's thresholds: 0 none, 1-12 one, 13-37 two, 38-62 three, 63-86 four, 87 up five.
int starsOfAsfNumber(uint64_t number);

// The rating as the player reads it: its first rating attribute's number, 0 for none.
int starsOfAsfRatings(const ByteSource& source, const AsfRatings& ratings);
