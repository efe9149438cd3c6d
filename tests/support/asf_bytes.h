// SPDX-License-Identifier: LGPL-2.1-or-later
// Byte builders for WMA (ASF) files in the tests: objects named by their GUIDs' text,
// attributes and a small file laid out in the ways the room's routes tell apart; and the tests'
// own walk, which the WMA room's tests and fuzz target judge it by.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/tag_bytes.h"

inline Bytes le(uint64_t value, int width) {
  Bytes out;
  for (int i = 0; i < width; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
  return out;
}

// A GUID as it stands in a file, from its text: the first three groups little-endian.
inline Bytes asfGuid(const char* text) {
  Bytes hex;
  for (size_t digits = 0; *text; ++text) {
    if (*text == '-') continue;
    if (digits++ % 2 == 0) hex.push_back(0);
    hex.back() =
        static_cast<unsigned char>(hex.back() * 16 + (*text <= '9' ? *text - '0' : *text - 'A' + 10));
  }
  std::reverse(hex.begin(), hex.begin() + 4);
  std::reverse(hex.begin() + 4, hex.begin() + 6);
  std::reverse(hex.begin() + 6, hex.begin() + 8);
  return hex;
}

const char kGuidHeader[] = "75B22630-668E-11CF-A6D9-00AA0062CE6C";
const char kGuidData[] = "75B22636-668E-11CF-A6D9-00AA0062CE6C";
const char kGuidFileProperties[] = "8CABDCA1-A947-11CF-8EE4-00C00C205365";
const char kGuidExtension[] = "5FBF03B5-A92E-11CF-8EE3-00C00C205365";
const char kGuidContent[] = "D2D0A440-E307-11D2-97F0-00A0C95EA850";
const char kGuidMetadata[] = "C5F8CBEA-5BAF-4877-8467-AA8C44FA4CCA";
const char kGuidLibrary[] = "44231C94-9498-49D1-A141-1D134E457054";
const char kGuidPadding[] = "1806D474-CADF-4509-A4BA-9AABCB96AAE8";
const char kRatingName[] = "WM/SharedUserRating";

inline Bytes asfObject(const char* guid, const Bytes& body) {
  return join({asfGuid(guid), le(24 + body.size(), 8), body});
}

// UTF-16LE with its terminator.
inline Bytes utf16(const std::string& ascii) {
  Bytes out;
  for (char c : ascii) out.insert(out.end(), {static_cast<unsigned char>(c), 0});
  return join({out, {0, 0}});
}

inline Bytes descriptor(const Bytes& name, uint16_t type, const Bytes& value) {
  return join({le(name.size(), 2), name, le(type, 2), le(value.size(), 2), value});
}
inline Bytes descriptor(const std::string& name, uint16_t type, const Bytes& value) {
  return descriptor(utf16(name), type, value);
}
inline Bytes record(const std::string& name, uint16_t type, const Bytes& value, uint16_t stream = 0) {
  return join({le(0, 2), le(stream, 2), le(utf16(name).size(), 2), le(type, 2), le(value.size(), 4),
               utf16(name), value});
}

inline Bytes attributeList(const char* guid, const std::vector<Bytes>& entries) {
  Bytes body = le(entries.size(), 2);
  for (const Bytes& entry : entries) body = join({body, entry});
  return asfObject(guid, body);
}

inline Bytes paddingObject(size_t size) { return asfObject(kGuidPadding, zeros(size - 24)); }

struct WmaShape {
  std::vector<Bytes> descriptors;
  bool content = true;                   // an Extended Content Description, of the descriptors
  std::vector<Bytes> metadata, library;  // records; an object where not empty
  size_t paddingInHeader = 0;            // a Padding object of that size at the header's end
  size_t paddingInExtension = 0;
  bool paddingFirst = false;   // the header's Padding before the Extended Content Description
  Bytes cover;                 // a WM/Picture record first in the Metadata Library
  std::vector<Bytes> objects;  // more in the header, at its end
  size_t packets = 4;
  uint64_t fileSizeSlip = 0;  // added to the File Properties' file size, as mutagen leaves it
};

inline Bytes wmaFile(const WmaShape& shape) {
  const Bytes audio = join({asfGuid("F8699E40-5B4D-11CF-A8FD-00805F5C442B"), Bytes(38, 0x20), le(0x161, 2),
                            le(2, 2), le(44100, 4), Bytes(30, 0x0A)});
  std::vector<Bytes> inExtension;
  std::vector<Bytes> library = shape.library;
  if (!shape.cover.empty()) library.insert(library.begin(), record("WM/Picture", 1, shape.cover));
  if (!shape.metadata.empty()) inExtension.push_back(attributeList(kGuidMetadata, shape.metadata));
  if (!library.empty()) inExtension.push_back(attributeList(kGuidLibrary, library));
  if (shape.paddingInExtension) inExtension.push_back(paddingObject(shape.paddingInExtension));
  Bytes children;
  for (const Bytes& object : inExtension) children = join({children, object});
  const Bytes extension =
      join({asfGuid("ABD3D211-A9BA-11CF-8EE6-00C00C205365"), le(6, 2), le(children.size(), 4), children});
  const Bytes padding = shape.paddingInHeader ? paddingObject(shape.paddingInHeader) : Bytes();
  std::vector<Bytes> objects = {
      asfObject(kGuidExtension, extension),
      asfObject("75B22633-668E-11CF-A6D9-00AA0062CE6C", join({le(16, 2), zeros(8), utf16("A title")}))};
  if (shape.paddingFirst) objects.push_back(padding);
  if (shape.content) objects.push_back(attributeList(kGuidContent, shape.descriptors));
  objects.push_back(asfObject("B7DC0791-A9B7-11CF-8EE6-00C00C205365", audio));
  if (!shape.paddingFirst) objects.push_back(padding);
  objects.insert(objects.end(), shape.objects.begin(), shape.objects.end());
  Bytes data = join({Bytes(16, 0x2D), le(shape.packets, 8), {0x01, 0x01}});
  for (size_t i = 0; i < shape.packets * 211; ++i)
    data.push_back(static_cast<unsigned char>(i * 7 + i / 211));
  const Bytes tail = join({asfObject(kGuidData, data), asfObject("33000890-E5B1-11CF-89F4-00A0C90349CB",
                                                                 join({Bytes(16, 0x1D), le(1, 16)}))});
  Bytes rest;
  size_t count = 1;  // the File Properties
  for (const Bytes& object : objects) {
    count += object.empty() ? 0 : 1;
    rest = join({rest, object});
  }
  const uint64_t size = 30 + 104 + rest.size();
  const Bytes properties =
      asfObject(kGuidFileProperties, join({Bytes(16, 0x3F), le(size + tail.size() + shape.fileSizeSlip, 8),
                                           le(1, 8), le(shape.packets, 8), Bytes(40, 0x11)}));
  return join({asfGuid(kGuidHeader), le(size, 8), le(count, 4), {0x01, 0x02}, properties, rest, tail});
}

// ---- The tests' own walk -------------------------------------------------------------

inline uint64_t testLe(const Bytes& file, size_t at, size_t width) {
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
inline std::vector<TestObject> testObjects(const Bytes& file, size_t start, size_t end, bool* exact) {
  std::vector<TestObject> objects;
  for (uint64_t size = 0; start + 24 <= end; start += static_cast<size_t>(size)) {
    size = testLe(file, start + 16, 8);
    if (size < 24 || size > end - start) break;
    objects.push_back(
        {Bytes(file.begin() + start, file.begin() + start + 16), start, static_cast<size_t>(size)});
  }
  *exact = start == end;
  return objects;
}

inline Bytes slice(const Bytes& file, size_t from, size_t to) {
  return Bytes(file.begin() + from, file.begin() + to);
}

struct TestAttribute {
  Bytes whole, name;  // the name without its terminator
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
  for (size_t i = *exact ? testLe(file, list.offset + 24, 2) : 0; i > 0 && *exact; --i) {
    const size_t head = records ? 12 : 2;
    *exact = end - at >= head;
    if (!*exact) break;
    const size_t nameAt = at + head;
    const size_t nameLength = testLe(file, records ? at + 4 : at, 2);
    *exact = end - nameAt >= nameLength + (records ? 0 : 4);
    if (!*exact) break;
    const size_t typeAt = records ? at + 6 : nameAt + nameLength;
    const size_t valueLength = testLe(file, records ? at + 8 : typeAt + 2, records ? 4 : 2);
    const size_t valueAt = records ? nameAt + nameLength : typeAt + 4;
    *exact = end - valueAt >= valueLength;
    if (!*exact) break;
    size_t named = nameLength;
    while (named >= 2 && file[nameAt + named - 1] == 0 && file[nameAt + named - 2] == 0) named -= 2;
    out.push_back({slice(file, at, valueAt + valueLength), slice(file, nameAt, nameAt + named),
                   static_cast<uint16_t>(testLe(file, typeAt, 2)),
                   static_cast<uint16_t>(records ? testLe(file, at + 2, 2) : 0),
                   slice(file, valueAt, valueAt + valueLength)});
    at = valueAt + valueLength;
  }
  *exact = *exact && at == end;
  return out;
}

// What the tests read of a WMA file, and what a rating write must keep of it.
struct TestWma {
  bool sound = false;       // sizes, counts and lengths add up, the Data object right after the header
  std::vector<Bytes> kept;  // every object and attribute a write keeps, in order, as bytes
  std::vector<TestAttribute> ratings;  // in the player's order
  uint64_t fileSizeField = 0;
  Bytes dataAndAfter;
};

inline void keepAttributes(const Bytes& file, const std::vector<TestObject>& lists, bool records,
                           TestWma* wma) {
  const Bytes rating = slice(utf16(kRatingName), 0, 38);
  for (const TestObject& list : lists) {
    bool exact = false;
    for (const TestAttribute& a : testAttributes(file, list, records, &exact)) {
      if (a.stream == 0 && a.name == rating)
        wma->ratings.push_back(a);
      else
        wma->kept.push_back(a.whole);
    }
    wma->sound = wma->sound && exact;
  }
}

inline TestWma testWma(const Bytes& file) {
  TestWma wma;
  if (file.size() < 30 || slice(file, 0, 16) != asfGuid(kGuidHeader)) return wma;
  const uint64_t headerSize = testLe(file, 16, 8);
  if (headerSize < 30 || headerSize > file.size()) return wma;
  bool exact = false;
  const std::vector<TestObject> header = testObjects(file, 30, static_cast<size_t>(headerSize), &exact);
  wma.sound = exact && header.size() == testLe(file, 24, 4);
  wma.kept.push_back(slice(file, 28, 30));
  std::vector<TestObject> lists[3];  // the player's order
  for (const TestObject& o : header) {
    const size_t end = o.offset + o.size;
    if (o.is(kGuidContent)) {
      lists[0].push_back(o);
    } else if (o.is(kGuidFileProperties) && o.size >= 48) {
      wma.fileSizeField = testLe(file, o.offset + 40, 8);
      wma.kept.push_back(join({slice(file, o.offset, o.offset + 40), slice(file, o.offset + 48, end)}));
    } else if (o.is(kGuidExtension) && o.size >= 46) {
      wma.kept.push_back(slice(file, o.offset + 24, o.offset + 42));
      bool inner = false;
      for (const TestObject& child : testObjects(file, o.offset + 46, end, &inner)) {
        if (child.is(kGuidMetadata) || child.is(kGuidLibrary))
          lists[child.is(kGuidMetadata) ? 1 : 2].push_back(child);
        else if (!child.is(kGuidPadding))
          wma.kept.push_back(slice(file, child.offset, child.offset + child.size));
      }
      wma.sound = wma.sound && inner && testLe(file, o.offset + 42, 4) == o.size - 46;
    } else if (!o.is(kGuidPadding)) {
      wma.kept.push_back(slice(file, o.offset, end));
    }
  }
  for (int place = 0; place < 3; ++place) keepAttributes(file, lists[place], place > 0, &wma);
  const std::vector<TestObject> after =
      testObjects(file, static_cast<size_t>(headerSize), file.size(), &exact);
  wma.sound = wma.sound && exact && !after.empty() && after[0].is(kGuidData);
  wma.dataAndAfter = slice(file, static_cast<size_t>(headerSize), file.size());
  return wma;
}

// The stars of the first rating by the player's thresholds: an integer's, or text's of decimal
// digits (32 at most) and terminators; 0 for any other value.
inline int testWmaStars(const TestWma& wma) {
  if (wma.ratings.empty()) return 0;
  const TestAttribute& a = wma.ratings[0];
  uint64_t number = 0;
  if (a.type >= 2 && a.type <= 5) number = testLe(a.value, 0, a.value.size());
  size_t units = a.type == 0 && a.value.size() <= 64 ? a.value.size() / 2 : 0;
  while (units > 0 && !a.value[2 * units - 2] && !a.value[2 * units - 1]) --units;
  for (size_t i = 0; i < 2 * units; i += 2) {
    if (a.value[i + 1] != 0 || a.value[i] < '0' || a.value[i] > '9') return 0;
    number = std::min<uint64_t>(number * 10 + (a.value[i] - '0'), 1000000);
  }
  return number == 0 ? 0 : number <= 12 ? 1 : number <= 37 ? 2 : number <= 62 ? 3 : number <= 86 ? 4 : 5;
}
