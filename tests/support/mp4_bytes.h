// SPDX-License-Identifier: LGPL-2.1-or-later
// Byte builders for MP4 files in the tests: atoms, `ilst` items, and a small M4A (one audio
// track whose chunk offsets point at patterned chunks in `mdat`) laid out in the ways the
// room's routes tell apart. Also the tests' own atom walk, to judge a planned file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/tag_bytes.h"

inline Bytes atom(const char* type, const Bytes& body) {
  return join({bigEndian(static_cast<uint32_t>(8 + body.size()), 4), text(type), body});
}

// The 64-bit size form (size 1 and 8 more bytes).
inline Bytes wideAtom(const char* type, const Bytes& body) {
  return join({bigEndian(1, 4), text(type), bigEndian(0, 4),
               bigEndian(static_cast<uint32_t>(16 + body.size()), 4), body});
}

inline Bytes fullAtom(const char* type, const Bytes& body) { return atom(type, join({zeros(4), body})); }

inline Bytes dataAtom(uint32_t type, const Bytes& value) {
  return atom("data", join({bigEndian(type, 4), zeros(4), value}));
}

inline Bytes item(const char* type, uint32_t dataType, const Bytes& value) {
  return atom(type, dataAtom(dataType, value));
}

inline Bytes freeformItem(const std::string& name, const std::string& value, uint32_t dataType = 1) {
  return atom("----", join({fullAtom("mean", text("com.apple.iTunes")), fullAtom("name", text(name)),
                            dataAtom(dataType, text(value))}));
}

inline Bytes freeAtom(size_t size) { return atom("free", zeros(size - 8)); }

inline Bytes mdirHandler() { return fullAtom("hdlr", join({zeros(4), text("mdirappl"), zeros(9)})); }

struct M4aShape {
  std::vector<Bytes> items;
  bool udta = true, meta = true, ilst = true;
  size_t freeInMeta = 0;     // bytes of a `free` atom after `ilst`; 0: none
  size_t freeInUdta = 0;     // after `meta`
  size_t freeAfterMoov = 0;  // at the top level
  bool moovFirst = true;     // else `mdat` comes first
  bool co64 = false;
  size_t chunks = 3;
  Bytes cover;  // a `covr` item's value, first in `ilst`, when not empty
};

const size_t kTestChunkSize = 97;

// The media: chunks of a pattern each.
inline Bytes m4aMedia(size_t chunks) {
  Bytes out;
  for (size_t i = 0; i < chunks; ++i)
    for (size_t j = 0; j < kTestChunkSize; ++j) out.push_back(static_cast<unsigned char>(i * 31 + j * 7 + 1));
  return out;
}

inline Bytes m4aMoov(const M4aShape& shape, uint64_t mediaStart) {
  Bytes offsets = bigEndian(static_cast<uint32_t>(shape.chunks), 4);
  for (size_t i = 0; i < shape.chunks; ++i) {
    const uint64_t at = mediaStart + i * kTestChunkSize;
    offsets = shape.co64 ? join({offsets, bigEndian(static_cast<uint32_t>(at >> 32), 4),
                                 bigEndian(static_cast<uint32_t>(at), 4)})
                         : join({offsets, bigEndian(static_cast<uint32_t>(at), 4)});
  }
  // One sample a chunk, each a chunk long.
  const Bytes sizes = join({bigEndian(kTestChunkSize, 4), bigEndian(static_cast<uint32_t>(shape.chunks), 4)});
  const Bytes runs = join({bigEndian(1, 4), bigEndian(1, 4), bigEndian(1, 4), bigEndian(1, 4)});
  const Bytes stbl = atom("stbl", join({fullAtom("stsd", Bytes(24, 0x5D)), fullAtom("stsz", sizes),
                                        fullAtom("stsc", runs), fullAtom(shape.co64 ? "co64" : "stco", offsets)}));
  const Bytes trak =
      atom("trak", join({fullAtom("tkhd", Bytes(80, 0x7C)),
                         atom("mdia", join({fullAtom("mdhd", Bytes(20, 0x6D)),
                                            fullAtom("hdlr", join({zeros(4), text("soun"), zeros(13)})),
                                            atom("minf", stbl)}))}));
  Bytes items = shape.cover.empty() ? Bytes() : item("covr", 13, shape.cover);
  for (const Bytes& one : shape.items) items = join({items, one});
  Bytes metaBody = join({zeros(4), mdirHandler()});
  if (shape.ilst) metaBody = join({metaBody, atom("ilst", items)});
  if (shape.freeInMeta > 0) metaBody = join({metaBody, freeAtom(shape.freeInMeta)});
  Bytes udtaBody = shape.meta ? atom("meta", metaBody) : Bytes();
  if (shape.freeInUdta > 0) udtaBody = join({udtaBody, freeAtom(shape.freeInUdta)});
  Bytes moovBody = join({fullAtom("mvhd", Bytes(96, 0x4D)), trak});
  if (shape.udta) moovBody = join({moovBody, atom("udta", udtaBody)});
  return atom("moov", moovBody);
}

inline Bytes m4aFile(const M4aShape& shape) {
  const Bytes ftyp = atom("ftyp", text("M4A \x00\x00\x02\x00isomiso2", 16));
  const Bytes media = m4aMedia(shape.chunks);
  const Bytes freeAfter = shape.freeAfterMoov > 0 ? freeAtom(shape.freeAfterMoov) : Bytes();
  if (!shape.moovFirst) {
    const Bytes moov = m4aMoov(shape, ftyp.size() + 8);
    return join({ftyp, atom("mdat", media), moov, freeAfter});
  }
  const size_t moovSize = m4aMoov(shape, 0).size();
  return join(
      {ftyp, m4aMoov(shape, ftyp.size() + moovSize + freeAfter.size() + 8), freeAfter, atom("mdat", media)});
}

// ---- The tests' own walk -------------------------------------------------------------

struct TestAtom {
  std::string type;
  size_t offset, size, header;
};

inline uint64_t testBigEndian(const Bytes& file, size_t at, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value = (value << 8) | file[at + i];
  return value;
}

// The atoms from `start` to `end`; the walk stops at a size that breaks its parent.
inline std::vector<TestAtom> testAtoms(const Bytes& file, size_t start, size_t end) {
  std::vector<TestAtom> atoms;
  while (start + 8 <= end) {
    uint64_t size = testBigEndian(file, start, 4);
    size_t header = 8;
    if (size == 1) {
      if (start + 16 > end) break;
      size = testBigEndian(file, start + 8, 8);
      header = 16;
    }
    if (size == 0) size = end - start;
    if (size < header || size > end - start) break;
    atoms.push_back({std::string(file.begin() + start + 4, file.begin() + start + 8), start,
                     static_cast<size_t>(size), header});
    start += static_cast<size_t>(size);
  }
  return atoms;
}

inline Bytes atomBytes(const Bytes& file, const TestAtom& a) {
  return Bytes(file.begin() + a.offset, file.begin() + a.offset + a.size);
}

inline std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return text;
}

// `rate`, or a `----` item of `mean` com.apple.iTunes and `name` RATING or FMPS_Rating
// (without case).
inline bool isRatingItem(const Bytes& file, const TestAtom& a) {
  if (a.type == "rate") return true;
  if (a.type != "----") return false;
  std::string mean;
  std::string name;
  for (const TestAtom& child : testAtoms(file, a.offset + a.header, a.offset + a.size)) {
    if (child.size < child.header + 4) continue;
    const std::string value(file.begin() + child.offset + child.header + 4,
                            file.begin() + child.offset + child.size);
    if (child.type == "mean") mean = value;
    if (child.type == "name") name = upper(value);
  }
  return mean == "com.apple.iTunes" && (name == "RATING" || name == "FMPS_RATING");
}

// Every atom a rating write keeps, in order, as bytes: the leaves of the containers it may
// resize, the rating items and `free` atoms left out.
inline void keptLeaves(const Bytes& file, size_t start, size_t end, std::vector<Bytes>* leaves) {
  for (const TestAtom& a : testAtoms(file, start, end)) {
    if (a.type == "free" || isRatingItem(file, a)) continue;
    const size_t prefix = a.type == "meta" ? 4 : 0;
    if (a.type == "moov" || a.type == "trak" || a.type == "mdia" || a.type == "minf" || a.type == "stbl" ||
        a.type == "udta" || a.type == "meta" || a.type == "ilst")
      keptLeaves(file, a.offset + a.header + prefix, a.offset + a.size, leaves);
    else if (a.type != "stco" && a.type != "co64" && atomBytes(file, a) != mdirHandler())  // made with `meta`
      leaves->push_back(atomBytes(file, a));
  }
}

inline const TestAtom* findTestAtom(const std::vector<TestAtom>& atoms, const char* type) {
  for (const TestAtom& a : atoms)
    if (a.type == type) return &a;
  return nullptr;
}

// The chunk offsets of every track, in order.
inline std::vector<uint64_t> chunkOffsets(const Bytes& file) {
  std::vector<uint64_t> offsets;
  const std::vector<TestAtom> top = testAtoms(file, 0, file.size());
  const TestAtom* moov = findTestAtom(top, "moov");
  if (moov == nullptr) return offsets;
  for (const TestAtom& trak : testAtoms(file, moov->offset + moov->header, moov->offset + moov->size)) {
    if (trak.type != "trak") continue;
    const char* path[] = {"mdia", "minf", "stbl"};
    TestAtom at = trak;
    bool found = true;
    for (const char* type : path) {
      const std::vector<TestAtom> atoms = testAtoms(file, at.offset + at.header, at.offset + at.size);
      const TestAtom* next = findTestAtom(atoms, type);
      if (next == nullptr) {
        found = false;
        break;
      }
      at = *next;
    }
    if (!found) continue;
    for (const TestAtom& a : testAtoms(file, at.offset + at.header, at.offset + at.size)) {
      if ((a.type != "stco" && a.type != "co64") || a.size < a.header + 8) continue;
      const size_t width = a.type == "co64" ? 8 : 4;
      const size_t count = static_cast<size_t>(testBigEndian(file, a.offset + a.header + 4, 4));
      for (size_t i = 0; i < count && a.header + 8 + (i + 1) * width <= a.size; ++i)
        offsets.push_back(testBigEndian(file, a.offset + a.header + 8 + i * width, width));
    }
  }
  return offsets;
}
