// SPDX-License-Identifier: LGPL-2.1-or-later
// One walk of an ASF file's object headers; see asf_layout.h.
#include "rating/asf/asf_layout.h"

#include <cstring>

#include "rating/asf/asf_text.h"
#include "rating/bytes/source_window.h"

namespace {

// The smallest bodies mutagen reads its fields from (measured: shorter ones fail to load).
const uint64_t kFilePropertiesBody = 80;
const uint64_t kStreamPropertiesBody = 66;
// A File ID, the packet count and two reserved bytes.
const uint64_t kDataPrefix = 26;
// More objects in one place than any real file holds (a few dozen): a file of them is not walked,
// so that a crafted header of tiny objects costs no more than a real one.
const size_t kMaxObjects = 1024;

bool isProtection(AsfKind kind) {
  return kind == kAsfContentEncryption || kind == kAsfExtendedContentEncryption ||
         kind == kAsfAdvancedContentEncryption || kind == kAsfDigitalSignature;
}

void addPadding(AsfLayout* layout, const AsfObject& object, bool inExtension) {
  if (layout->paddingCount == kAsfMaxPaddings) return;
  layout->paddings[layout->paddingCount++] = {object, inExtension};
}

// Takes `object` as the one of its kind into *slot; false when there is one already.
bool takeOnly(const AsfObject& object, AsfObject* slot, bool* has) {
  if (*has) return false;
  *slot = object;
  *has = true;
  return true;
}

AsfLayoutStatus walkExtension(const ByteSource& file, AsfLayout* layout) {
  const AsfObject& extension = layout->extension;
  uint64_t dataSize = 0;
  if (extension.size - kAsfObjectHeader < kAsfExtensionPrefix ||
      !readLittleEndian(file, asfBody(extension) + 18, 4, &dataSize) ||
      dataSize != extension.size - kAsfObjectHeader - kAsfExtensionPrefix)
    return kAsfLayoutMalformed;
  AsfObjectWalk walk;
  openAsfWalk(&walk, file, asfBody(extension) + kAsfExtensionPrefix, asfEnd(extension));
  AsfObject object;
  size_t count = 0;
  while (nextAsfObject(&walk, &object)) {
    if (++count > kMaxObjects) return kAsfLayoutUnproven;
    if (isProtection(object.kind)) return kAsfLayoutProtected;
    switch (object.kind) {
      case kAsfMetadata:
        if (!takeOnly(object, &layout->metadata, &layout->hasMetadata)) return kAsfLayoutUnproven;
        break;
      case kAsfMetadataLibrary:
        if (!takeOnly(object, &layout->library, &layout->hasLibrary)) return kAsfLayoutUnproven;
        break;
      case kAsfPadding:
        addPadding(layout, object, true);
        break;
      case kAsfOther:
        break;
      default:
        // Where mutagen reads it too, and the player may not.
        return kAsfLayoutUnproven;
    }
  }
  return walk.malformed ? kAsfLayoutMalformed : kAsfLayoutSound;
}

AsfLayoutStatus walkHeaderObjects(const ByteSource& file, AsfLayout* layout) {
  SourceWindow window;
  openWindow(&window, file);
  AsfObjectWalk walk;
  openAsfWalk(&walk, file, asfBody(layout->header) + kAsfHeaderPrefix, asfEnd(layout->header));
  AsfObject object;
  uint64_t count = 0;
  bool hasFileProperties = false;
  // mutagen merges two Content Descriptions into one view: the file could not be compared.
  AsfObject contentDescription;
  bool hasContentDescription = false;
  AsfLayoutStatus status = kAsfLayoutSound;
  while (status == kAsfLayoutSound && nextAsfObject(&walk, &object)) {
    if (++count > kMaxObjects) return kAsfLayoutUnproven;
    const uint64_t body = object.size - kAsfObjectHeader;
    if (isProtection(object.kind)) status = kAsfLayoutProtected;
    switch (object.kind) {
      case kAsfFileProperties:
        if (!takeOnly(object, &layout->fileProperties, &hasFileProperties))
          status = kAsfLayoutUnproven;
        else if (body < kFilePropertiesBody ||
                 !readLittleEndian(file, object.offset + kAsfFileSizeAt, 8, &layout->fileSizeField))
          status = kAsfLayoutMalformed;
        break;
      case kAsfStreamProperties:
        if (body < kStreamPropertiesBody) status = kAsfLayoutMalformed;
        break;
      case kAsfCodecList:
        if (!codecListLoads(&window, object)) status = kAsfLayoutMalformed;
        break;
      case kAsfContentDescription:
        if (!takeOnly(object, &contentDescription, &hasContentDescription))
          status = kAsfLayoutUnproven;
        else if (!contentDescriptionLoads(&window, object))
          status = kAsfLayoutMalformed;
        break;
      case kAsfExtendedContent:
        if (!takeOnly(object, &layout->content, &layout->hasContent)) status = kAsfLayoutUnproven;
        break;
      case kAsfHeaderExtension:
        if (!takeOnly(object, &layout->extension, &layout->hasExtension))
          status = kAsfLayoutUnproven;
        else
          status = walkExtension(file, layout);
        break;
      case kAsfPadding:
        addPadding(layout, object, false);
        break;
      case kAsfHeader:
      case kAsfData:
      case kAsfMetadata:
      case kAsfMetadataLibrary:
        status = kAsfLayoutUnproven;  // out of their place
        break;
      default:
        break;
    }
  }
  if (status != kAsfLayoutSound) return status;
  if (walk.malformed || count != layout->objectCount) return kAsfLayoutMalformed;
  return hasFileProperties ? kAsfLayoutSound : kAsfLayoutUnproven;
}

// The Data object right after the header, then objects (indexes) to the file's end.
AsfLayoutStatus walkAfterHeader(const ByteSource& file, AsfLayout* layout) {
  AsfObjectWalk walk;
  openAsfWalk(&walk, file, asfEnd(layout->header), file.size);
  AsfObject object;
  bool first = true;
  size_t count = 0;
  while (nextAsfObject(&walk, &object)) {
    if (++count > kMaxObjects) return kAsfLayoutUnproven;
    if (first) {
      if (object.kind != kAsfData) return kAsfLayoutUnproven;
      if (object.size - kAsfObjectHeader < kDataPrefix) return kAsfLayoutMalformed;
      layout->data = object;
      first = false;
    } else if (object.kind == kAsfData || object.kind == kAsfHeader) {
      return kAsfLayoutUnproven;
    }
  }
  if (walk.malformed) return kAsfLayoutMalformed;
  return first ? kAsfLayoutUnproven : kAsfLayoutSound;
}

}  // namespace

bool startsWithAsfHeader(const ByteSource& file) {
  unsigned char guid[16];
  return readSourceAt(file, 0, guid, sizeof guid) == sizeof guid &&
         std::memcmp(guid, asfGuidOf(kAsfHeader), sizeof guid) == 0;
}

AsfLayoutStatus walkAsfLayout(const ByteSource& file, AsfLayout* layout) {
  *layout = AsfLayout();
  if (!startsWithAsfHeader(file)) return kAsfLayoutNotAsf;
  uint64_t size = 0;
  if (readLittleEndian(file, 16, 8, &size) && size > kAsfMaxHeaderBytes) return kAsfLayoutTooLarge;
  AsfObjectWalk walk;
  openAsfWalk(&walk, file, 0, file.size);
  if (!nextAsfObject(&walk, &layout->header)) return kAsfLayoutMalformed;
  uint64_t count = 0;
  if (layout->header.size - kAsfObjectHeader < kAsfHeaderPrefix || !readLittleEndian(file, 24, 4, &count))
    return kAsfLayoutMalformed;
  layout->objectCount = static_cast<uint32_t>(count);
  const AsfLayoutStatus status = walkHeaderObjects(file, layout);
  return status == kAsfLayoutSound ? walkAfterHeader(file, layout) : status;
}
