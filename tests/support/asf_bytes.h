// SPDX-License-Identifier: LGPL-2.1-or-later
// Byte builders for WMA (ASF) files in the tests: objects named by their GUIDs' text,
// attributes (Extended Content Description descriptors, Metadata and Metadata Library records)
// and a small file laid out in the ways the room's routes tell apart. Also the tests' own walk,
// which the WMA room's tests and fuzz target judge it by.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/flac_bytes.h"
#include "support/tag_bytes.h"

inline Bytes littleEndian64(uint64_t value) {
  return join(
      {littleEndian(static_cast<uint32_t>(value), 4), littleEndian(static_cast<uint32_t>(value >> 32), 4)});
}

// A GUID as it stands in a file, from its text: the first three groups little-endian.
inline Bytes asfGuid(const char* text) {
  Bytes hex;
  size_t digits = 0;
  for (const char* c = text; *c; ++c) {
    if (*c == '-') continue;
    const int digit = *c <= '9' ? *c - '0' : (*c | 0x20) - 'a' + 10;
    if (digits++ % 2 == 0) hex.push_back(0);
    hex.back() = static_cast<unsigned char>(hex.back() * 16 + digit);
  }
  return {hex[3], hex[2], hex[1],  hex[0],  hex[5],  hex[4],  hex[7],  hex[6],
          hex[8], hex[9], hex[10], hex[11], hex[12], hex[13], hex[14], hex[15]};
}

const char kGuidHeader[] = "75B22630-668E-11CF-A6D9-00AA0062CE6C";
const char kGuidData[] = "75B22636-668E-11CF-A6D9-00AA0062CE6C";
const char kGuidFileProperties[] = "8CABDCA1-A947-11CF-8EE4-00C00C205365";
const char kGuidStreamProperties[] = "B7DC0791-A9B7-11CF-8EE6-00C00C205365";
const char kGuidExtension[] = "5FBF03B5-A92E-11CF-8EE3-00C00C205365";
const char kGuidContent[] = "D2D0A440-E307-11D2-97F0-00A0C95EA850";
const char kGuidDescription[] = "75B22633-668E-11CF-A6D9-00AA0062CE6C";
const char kGuidMetadata[] = "C5F8CBEA-5BAF-4877-8467-AA8C44FA4CCA";
const char kGuidLibrary[] = "44231C94-9498-49D1-A141-1D134E457054";
const char kGuidPadding[] = "1806D474-CADF-4509-A4BA-9AABCB96AAE8";
const char kGuidSimpleIndex[] = "33000890-E5B1-11CF-89F4-00A0C90349CB";
const char kGuidEncryption[] = "2211B3FB-BD23-11D2-B4B7-00A0C955FC6E";
const char kGuidExtendedEncryption[] = "298AE614-2622-4C17-B935-DAE07EE9289C";

inline Bytes asfObject(const char* guid, const Bytes& body) {
  return join({asfGuid(guid), littleEndian64(24 + body.size()), body});
}

// UTF-16LE with its terminator.
inline Bytes utf16(const std::string& ascii) {
  Bytes out;
  for (char c : ascii) out.insert(out.end(), {static_cast<unsigned char>(c), 0});
  return join({out, {0, 0}});
}

const char kRatingName[] = "WM/SharedUserRating";

inline Bytes descriptor(const Bytes& name, uint16_t type, const Bytes& value) {
  return join({littleEndian(static_cast<uint32_t>(name.size()), 2), name, littleEndian(type, 2),
               littleEndian(static_cast<uint32_t>(value.size()), 2), value});
}
inline Bytes descriptor(const std::string& name, uint16_t type, const Bytes& value) {
  return descriptor(utf16(name), type, value);
}

inline Bytes record(const std::string& name, uint16_t type, const Bytes& value, uint16_t stream = 0) {
  const Bytes wide = utf16(name);
  return join({littleEndian(0, 2), littleEndian(stream, 2),
               littleEndian(static_cast<uint32_t>(wide.size()), 2), littleEndian(type, 2),
               littleEndian(static_cast<uint32_t>(value.size()), 4), wide, value});
}

inline Bytes attributeList(const char* guid, const std::vector<Bytes>& entries) {
  Bytes body = littleEndian(static_cast<uint32_t>(entries.size()), 2);
  for (const Bytes& entry : entries) body = join({body, entry});
  return asfObject(guid, body);
}

inline Bytes paddingObject(size_t size) { return asfObject(kGuidPadding, zeros(size - 24)); }

inline Bytes headerExtension(const std::vector<Bytes>& children) {
  Bytes objects;
  for (const Bytes& child : children) objects = join({objects, child});
  return asfObject(kGuidExtension, join({asfGuid("ABD3D211-A9BA-11CF-8EE6-00C00C205365"), littleEndian(6, 2),
                                         littleEndian(static_cast<uint32_t>(objects.size()), 4), objects}));
}

struct WmaShape {
  std::vector<Bytes> descriptors;
  bool content = true;                   // an Extended Content Description, of the descriptors
  std::vector<Bytes> metadata, library;  // records; an object where not empty
  size_t paddingInHeader = 0;            // a Padding object of that size at the header's end
  size_t paddingInExtension = 0;         // after the Metadata Library
  bool paddingFirst = false;             // the header's Padding before the Extended Content Description
  Bytes cover;                           // a WM/Picture record in the Metadata Library, first
  std::vector<Bytes> objects;            // more in the header, after the Stream Properties
  size_t packets = 4;
  uint64_t fileSizeSlip = 0;  // added to the File Properties' file size, as mutagen leaves it
};

const size_t kTestPacketSize = 211;

inline Bytes wmaDataAndIndex(size_t packets) {
  Bytes data = join({Bytes(16, 0x2D), littleEndian64(packets), {0x01, 0x01}});
  for (size_t p = 0; p < packets; ++p)
    for (size_t i = 0; i < kTestPacketSize; ++i)
      data.push_back(static_cast<unsigned char>(p * 31 + i * 7 + 1));
  const Bytes index = join({Bytes(16, 0x1D), littleEndian64(10000000), littleEndian(1, 4),
                            littleEndian(static_cast<uint32_t>(packets), 4), Bytes(6 * packets, 0x01)});
  return join({asfObject(kGuidData, data), asfObject(kGuidSimpleIndex, index)});
}

inline Bytes wmaFile(const WmaShape& shape) {
  const Bytes stream =
      asfObject(kGuidStreamProperties,
                join({asfGuid("F8699E40-5B4D-11CF-A8FD-00805F5C442B"), Bytes(16, 0x20), zeros(8),
                      littleEndian(28, 4), zeros(4), littleEndian(1, 2), zeros(4), littleEndian(0x161, 2),
                      littleEndian(2, 2), littleEndian(44100, 4), littleEndian(16000, 4),
                      littleEndian(2048, 2), littleEndian(16, 2), littleEndian(10, 2), Bytes(10, 0x0A)}));
  const Bytes description =
      asfObject(kGuidDescription, join({littleEndian(16, 2), zeros(8), utf16("A title")}));
  std::vector<Bytes> extension;
  if (!shape.metadata.empty()) extension.push_back(attributeList(kGuidMetadata, shape.metadata));
  std::vector<Bytes> library = shape.library;
  if (!shape.cover.empty()) library.insert(library.begin(), record("WM/Picture", 1, shape.cover));
  if (!library.empty()) extension.push_back(attributeList(kGuidLibrary, library));
  if (shape.paddingInExtension) extension.push_back(paddingObject(shape.paddingInExtension));
  const Bytes content = shape.content ? attributeList(kGuidContent, shape.descriptors) : Bytes();
  const Bytes padding = shape.paddingInHeader ? paddingObject(shape.paddingInHeader) : Bytes();
  const Bytes tail = wmaDataAndIndex(shape.packets);
  std::vector<Bytes> objects = {headerExtension(extension), description};
  if (shape.paddingFirst && !padding.empty()) objects.push_back(padding);
  if (!content.empty()) objects.push_back(content);
  objects.push_back(stream);
  objects.insert(objects.end(), shape.objects.begin(), shape.objects.end());
  if (!shape.paddingFirst && !padding.empty()) objects.push_back(padding);
  Bytes rest;
  for (const Bytes& object : objects) rest = join({rest, object});
  const size_t headerSize = 30 + 104 + rest.size();
  const uint64_t fileSize = headerSize + tail.size() + shape.fileSizeSlip;
  const Bytes properties = asfObject(
      kGuidFileProperties,
      join({Bytes(16, 0x3F), littleEndian64(fileSize), littleEndian64(1), littleEndian64(shape.packets),
            littleEndian64(20000000), littleEndian64(20000000), zeros(8), littleEndian(2, 4),
            littleEndian(kTestPacketSize, 4), littleEndian(kTestPacketSize, 4), littleEndian(128000, 4)}));
  return join({asfGuid(kGuidHeader),
               littleEndian64(headerSize),
               littleEndian(static_cast<uint32_t>(objects.size() + 1), 4),
               {0x01, 0x02},
               properties,
               rest,
               tail});
}

// ---- The tests' own walk -------------------------------------------------------------

inline uint64_t testLittleEndian(const Bytes& file, size_t at, size_t width) {
  uint64_t value = 0;
  for (size_t i = width; i > 0; --i) value = (value << 8) | file[at + i - 1];
  return value;
}

struct TestObject {
  Bytes guid;
  size_t offset, size;
  bool is(const char* text) const { return guid == asfGuid(text); }
};

// The objects from `start` to `end`; *exact when they fill it to the byte.
inline std::vector<TestObject> testObjects(const Bytes& file, size_t start, size_t end,
                                           bool* exact = nullptr) {
  std::vector<TestObject> objects;
  while (start + 24 <= end) {
    const uint64_t size = testLittleEndian(file, start + 16, 8);
    if (size < 24 || size > end - start) break;
    objects.push_back(
        {Bytes(file.begin() + start, file.begin() + start + 16), start, static_cast<size_t>(size)});
    start += static_cast<size_t>(size);
  }
  if (exact != nullptr) *exact = start == end;
  return objects;
}

inline Bytes objectBytes(const Bytes& file, const TestObject& object) {
  return Bytes(file.begin() + object.offset, file.begin() + object.offset + object.size);
}

struct TestAttribute {
  Bytes whole;
  std::string name;  // its UTF-16 units as bytes, terminator left out
  uint16_t type, stream;
  Bytes value;
};

// The descriptors or records of an attribute list; *exact when they fill it as counted.
inline std::vector<TestAttribute> testAttributes(const Bytes& file, const TestObject& list, bool records,
                                                 bool* exact) {
  std::vector<TestAttribute> out;
  const size_t end = list.offset + list.size;
  size_t at = list.offset + 26;
  *exact = list.size >= 26;
  const size_t count = *exact ? static_cast<size_t>(testLittleEndian(file, list.offset + 24, 2)) : 0;
  for (size_t i = 0; i < count && *exact; ++i) {
    TestAttribute a;
    size_t nameLength = 0, valueLength = 0, nameAt = 0, valueAt = 0;
    if (records) {
      *exact = end - at >= 12;
      if (!*exact) break;
      a.stream = static_cast<uint16_t>(testLittleEndian(file, at + 2, 2));
      nameLength = static_cast<size_t>(testLittleEndian(file, at + 4, 2));
      a.type = static_cast<uint16_t>(testLittleEndian(file, at + 6, 2));
      valueLength = static_cast<size_t>(testLittleEndian(file, at + 8, 4));
      nameAt = at + 12;
      valueAt = nameAt + nameLength;
    } else {
      *exact = end - at >= 2;
      if (!*exact) break;
      a.stream = 0;
      nameLength = static_cast<size_t>(testLittleEndian(file, at, 2));
      nameAt = at + 2;
      *exact = end - nameAt >= nameLength + 4;
      if (!*exact) break;
      a.type = static_cast<uint16_t>(testLittleEndian(file, nameAt + nameLength, 2));
      valueLength = static_cast<size_t>(testLittleEndian(file, nameAt + nameLength + 2, 2));
      valueAt = nameAt + nameLength + 4;
    }
    *exact = valueAt <= end && end - valueAt >= valueLength;
    if (!*exact) break;
    size_t named = nameLength;
    while (named >= 2 && file[nameAt + named - 1] == 0 && file[nameAt + named - 2] == 0) named -= 2;
    a.name.assign(file.begin() + nameAt, file.begin() + nameAt + named);
    a.value.assign(file.begin() + valueAt, file.begin() + valueAt + valueLength);
    a.whole.assign(file.begin() + at, file.begin() + valueAt + valueLength);
    out.push_back(a);
    at = valueAt + valueLength;
  }
  if (*exact) *exact = at == end;
  return out;
}

inline bool isTestRating(const TestAttribute& a) {
  const Bytes name = utf16(kRatingName);
  return a.stream == 0 && a.name == std::string(name.begin(), name.end() - 2);
}

// What the tests read of a WMA file, and what a rating write must keep of it.
struct TestWma {
  bool sound = false;       // sizes, counts and lengths add up, the Data object right after the header
  std::vector<Bytes> kept;  // every object and attribute a write keeps, in order, as bytes
  std::vector<TestAttribute> ratings;  // in the player's order
  uint64_t fileSizeField = 0;
  Bytes dataAndAfter;
};

inline void keepAttributes(const Bytes& file, const TestObject& list, bool records, TestWma* wma) {
  bool exact = false;
  for (const TestAttribute& a : testAttributes(file, list, records, &exact)) {
    if (isTestRating(a))
      wma->ratings.push_back(a);
    else
      wma->kept.push_back(a.whole);
  }
  wma->sound = wma->sound && exact;
}

inline TestWma testWma(const Bytes& file) {
  TestWma wma;
  if (file.size() < 30 || !std::equal(file.begin(), file.begin() + 16, asfGuid(kGuidHeader).begin()))
    return wma;
  const uint64_t headerSize = testLittleEndian(file, 16, 8);
  if (headerSize < 30 || headerSize > file.size()) return wma;
  bool exact = false;
  const std::vector<TestObject> header = testObjects(file, 30, static_cast<size_t>(headerSize), &exact);
  wma.sound = exact && header.size() == testLittleEndian(file, 24, 4);
  wma.kept.push_back(Bytes(file.begin() + 28, file.begin() + 30));
  std::vector<TestObject> content, metadata, library;
  for (const TestObject& object : header) {
    if (object.is(kGuidPadding)) continue;
    if (object.is(kGuidContent)) {
      content.push_back(object);
    } else if (object.is(kGuidFileProperties) && object.size >= 104) {
      wma.fileSizeField = testLittleEndian(file, object.offset + 40, 8);
      wma.kept.push_back(
          join({Bytes(file.begin() + object.offset, file.begin() + object.offset + 40),
                Bytes(file.begin() + object.offset + 48, file.begin() + object.offset + object.size)}));
    } else if (object.is(kGuidExtension) && object.size >= 46) {
      wma.kept.push_back(Bytes(file.begin() + object.offset + 24, file.begin() + object.offset + 42));
      wma.sound = wma.sound && testLittleEndian(file, object.offset + 42, 4) == object.size - 46;
      bool inner = false;
      for (const TestObject& child :
           testObjects(file, object.offset + 46, object.offset + object.size, &inner)) {
        if (child.is(kGuidMetadata))
          metadata.push_back(child);
        else if (child.is(kGuidLibrary))
          library.push_back(child);
        else if (!child.is(kGuidPadding))
          wma.kept.push_back(objectBytes(file, child));
      }
      wma.sound = wma.sound && inner;
    } else {
      wma.kept.push_back(objectBytes(file, object));
    }
  }
  // The attributes in the player's order: the Extended Content Description, the Metadata,
  // the Metadata Library.
  for (const TestObject& list : content) keepAttributes(file, list, false, &wma);
  for (const TestObject& list : metadata) keepAttributes(file, list, true, &wma);
  for (const TestObject& list : library) keepAttributes(file, list, true, &wma);
  const std::vector<TestObject> after =
      testObjects(file, static_cast<size_t>(headerSize), file.size(), &exact);
  wma.sound = wma.sound && exact && !after.empty() && after[0].is(kGuidData);
  wma.dataAndAfter.assign(file.begin() + static_cast<long>(headerSize), file.end());
  return wma;
}

// The stars of a rating value by the player's thresholds; -1 for no number.
inline int testStarsOf(const TestAttribute& a) {
  uint64_t number = 0;
  if (a.type == 2 || a.type == 3 || a.type == 4 || a.type == 5) {
    for (size_t i = a.value.size(); i > 0; --i) number = (number << 8) | a.value[i - 1];
  } else if (a.type == 0) {
    size_t units = a.value.size() / 2;
    while (units > 0 && a.value[2 * units - 2] == 0 && a.value[2 * units - 1] == 0) --units;
    if (units == 0) return -1;
    for (size_t i = 0; i < units; ++i) {
      if (a.value[2 * i + 1] != 0 || a.value[2 * i] < '0' || a.value[2 * i] > '9') return -1;
      number = number > 1000000 ? number : number * 10 + (a.value[2 * i] - '0');
    }
  } else {
    return -1;
  }
  return number == 0 ? 0 : number <= 12 ? 1 : number <= 37 ? 2 : number <= 62 ? 3 : number <= 86 ? 4 : 5;
}

inline int testWmaStars(const TestWma& wma) {
  if (wma.ratings.empty()) return 0;
  const int stars = testStarsOf(wma.ratings[0]);
  return stars < 0 ? 0 : stars;
}
