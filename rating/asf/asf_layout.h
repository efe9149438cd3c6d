// SPDX-License-Identifier: LGPL-2.1-or-later
// What a rating write needs to know of an ASF file, from one walk of object headers: the
// Header object and its objects (the File Properties, the Extended Content Description, the
// Header Extension with its Metadata and Metadata Library, the Padding objects), the Data
// object and what follows it. Strict on purpose: the header's objects must fill it exactly and
// number what it says, the Data object must come right after it, and the objects after that
// must end with the file; the objects mutagen decodes besides the attributes must be ones it
// loads. Bodies are not read but for those few fields and texts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rating/asf/asf_objects.h"
#include "rating/bytes/byte_source.h"

enum AsfLayoutStatus {
  kAsfLayoutSound,
  kAsfLayoutNotAsf,     // no Header object first
  kAsfLayoutMalformed,  // a size past its parent or the file, a count that disagrees, ...
  kAsfLayoutTooLarge,   // a header of more than kAsfMaxHeaderBytes
  kAsfLayoutProtected,  // DRM: content encryption or a digital signature
  kAsfLayoutUnproven,   // two of an object there is one of, one out of its place, no Data object, ...
};

// A header larger than this is not written (a cover of tens of megabytes is still smaller).
const uint64_t kAsfMaxHeaderBytes = 64u * 1024u * 1024u;

// The Header object's fields after its object header: an object count and two reserved bytes.
const uint64_t kAsfHeaderPrefix = 6;
// The Header Extension's: a reserved GUID, a reserved word and the size of its objects.
const uint64_t kAsfExtensionPrefix = 22;
// Where the File Properties object keeps the file's size, from its start.
const uint64_t kAsfFileSizeAt = kAsfObjectHeader + 16;

struct AsfPadding {
  AsfObject object;
  bool inExtension;  // else in the Header object
};

const size_t kAsfMaxPaddings = 16;

struct AsfLayout {
  AsfObject header;
  uint32_t objectCount;  // as the header says, and as it holds
  AsfObject fileProperties;
  uint64_t fileSizeField;  // the file's size as the File Properties say it (mutagen leaves it stale)
  AsfObject extension, content, metadata, library;  // valid when has*
  bool hasExtension, hasContent, hasMetadata, hasLibrary;
  AsfPadding paddings[kAsfMaxPaddings];  // more are simply not used
  size_t paddingCount;
  AsfObject data;
};

// True when the file starts with the Header object's GUID.
bool startsWithAsfHeader(const ByteSource& file);

// Walks the file. The descriptors and records of the Extended Content Description, the
// Metadata and the Metadata Library are not walked here (asf_attributes.h).
AsfLayoutStatus walkAsfLayout(const ByteSource& file, AsfLayout* layout);
