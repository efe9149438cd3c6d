#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Writes the seed corpus of the fuzz targets into a folder.

The seeds are ID3v2.2, 2.3 and 2.4 tags built here byte by byte: well-formed ones covering
every feature the reader knows (POPM frames, padding, extended headers, footers,
unsynchronisation, frame flags) and near misses that break one rule each, so that the fuzzer
starts next to every decision the reader makes. Then whole music files, for the targets that
store a rating in a file: a tag (or none), a few MPEG audio frames, and optionally an ID3v1
tag and an APEv2 tag at the end, ending in different bytes (the write target takes its star
count from the last byte).

usage: make_seed_corpus.py OUTPUT_FOLDER
"""
import base64
import os
import struct
import sys

# A few bytes of an MPEG audio frame, so that some seeds are files with audio after the tag.
AUDIO = b"\xff\xfb\x90\x64" + bytes(60)


def syncsafe(value):
    return bytes([(value >> 21) & 0x7F, (value >> 14) & 0x7F, (value >> 7) & 0x7F, value & 0x7F])


def unsynchronise(data):
    out = bytearray()
    for i, byte in enumerate(data):
        out.append(byte)
        following = data[i + 1] if i + 1 < len(data) else None
        if byte == 0xFF and (following is None or following == 0x00 or following >= 0xE0):
            out.append(0x00)
    return bytes(out)


def frame22(frame_id, body):
    return frame_id + struct.pack(">I", len(body))[1:] + body


def frame23(frame_id, body, flags=0):
    return frame_id + struct.pack(">IH", len(body), flags) + body


def frame24(frame_id, body, flags=0):
    return frame_id + syncsafe(len(body)) + struct.pack(">H", flags) + body


def tag(major, flags, content, size=None):
    declared = len(content) if size is None else size
    return b"ID3" + bytes([major, 0, flags]) + syncsafe(declared) + content


def tag_with_footer(content, flags=0x10):
    whole = tag(4, flags, content)
    return whole + b"3DI" + whole[3:10]


def popm(owner, rating, counter=b""):
    return owner + b"\x00" + bytes([rating]) + counter


OWNER = b"Windows Media Player 9 Series"
# The write fuzzer's finds of an ID3v2.4 TXXX whose size reads two ways (as found, 0 stars).
SIZE_TWO_WAYS_FINDS = [
    "SUQzBAAAAAACO1RYWFgAAAEAAAAAAHh4eHh4eHh4eHh4eHh4AAB4eHh4eFhYWAAAAQAAAAAAeHh4eHh4eHhveHh4eHh4eHh4eHh4eHh4"
    "eHh4eHh4eHh4qKioqKioqKioqKh4YHh4eHh4eHh4eHh4eHhPUE0AAAADAMIAAAA+UE9QTQAAAB8AAFf/9SUA4GAAAGUfAABXaW5kb3dz"
    "IE1lZGlhUGFsIF15ZXIgeSAAAAAfAABXl5GsknJpAAAAU29tZSB0wcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHB"
    "wXh4eHh4eDh4eHh4eHh4eHh4eHhQT1BNAAAAIwAAV2luZWRvd3MgTWVkaWEgUGxheWVyIDkgU2VyaWVzAv8AAAAAAAAAAAAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAHAAAAAAAAAAAAAAAAAAAAAAAAAAAAeAAAeFBPUE14eHh4eHh4eHh4"
    "eHh4eHh4fHh4eElEMwOVAAB4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eAAAPnh4eHh4eHh4AQBg4AAAAnQAAAAAAjtUWFhY"
    "AAABAAAAAAB4eHh4eHh4eHh4eHh4eAAAeHh4eHhYWFgAAAEAAAAAAFBPUE0AAAAfAANXaW5kb3dzIE1lZGlhIFBsUElDciA5IFNlxFRz"
    "SXJpZQBUMQAlAHh4eHh4eAALAAAAU29tZf///3h4eA==",
    "SUQzBAAAAAACO1RYWFgAAAEAAAAAAHh4eHh4eHh4eHh4eHh4AAB4eHh4eFhYWAAAAQAAAAAAeHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4"
    "eHh4eHh4eHh4qKioqKioqKioqKB4YABPUE0AAAADAFRYYD9YWACiAAAAAAAAPgACAQsAAAAAAD4AAgELAAAAAAAAAAD4AAAAAIAAAAAA"
    "AAAAAAAAAAAAIF15ZXIgeSAAAABXl5EAAB+sknJpAAAAU29tZSB0wcHBwcHBwVBNeHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eAAA"
    "eHh4eHhYWFgAAAEAAHh4eHh4eHhQT1BNAAAAIwAAV2luZWRvd3MgTWVkaWEgUGxheWVyIDkgU2VyaQAAAAAAAAAAAAAAAAAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAAAAAZXMAVFNTVAcAAAAAAAAAAAAAAADJycnJycnJycnJycnJycnJycnJycnJAAAAAAAAAAAAeAAAeFBPUE14"
    "eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4AAB4eHh4eFhYWAAAAQAAAAAAUE9QTQAAAB8AA1dpbmRvd3MgTWVkaWEgUGxQSUNyIDgg"
    "U2XEVHNJcmllAFQxACUAeHh4eHh4AAsAAABTb21l////eHh4",
]
TITLE = b"\x00Some title"


def seeds():
    t22, t23, t24 = frame22(b"TT2", TITLE), frame23(b"TIT2", TITLE), frame24(b"TIT2", TITLE)
    p23 = frame23(b"POPM", popm(OWNER, 196))
    p24 = frame24(b"POPM", popm(OWNER, 255, b"\x00\x00\x00\x07"))
    yield "v22-pop", tag(2, 0, t22 + frame22(b"POP", popm(b"a@b.c", 128, b"\x01")) + bytes(32)) + AUDIO
    yield "v22-plain", tag(2, 0, t22 + frame22(b"COM", b"\x00eng\x00hi"))
    yield "v22-unsync", tag(2, 0x80, unsynchronise(t22 + frame22(b"POP", popm(b"x", 0xFF)) + bytes(8)))
    # id3lib drops a frame that starts fewer than 10 bytes before the end of the tag.
    yield "v22-short-pop-at-end", tag(2, 0x80, unsynchronise(t22 + frame22(b"POP", popm(b"x", 0xFF)))) + AUDIO
    yield "v22-cdm", tag(2, 0, frame22(b"CDM", b"z\x00\x00\x00\x10abc") + t22)
    yield "v22-unknown-id", tag(2, 0, frame22(b"XYZ", b"data") + t22)
    yield "v22-compressed-tag", tag(2, 0x40, t22)
    yield "v23-popm-padding", tag(3, 0, t23 + p23 + bytes(64)) + AUDIO
    yield "v23-popm-first", tag(3, 0, p23 + t23)
    yield "v23-no-popm", tag(3, 0, t23 + frame23(b"TPE1", b"\x00Artist") + bytes(16))
    yield "v23-two-popm", tag(3, 0, p23 + frame23(b"POPM", popm(b"other@x", 1, b"\x00\x01")))
    yield "v23-only-padding", tag(3, 0, bytes(128))
    yield "v23-extended", tag(3, 0x40, struct.pack(">IHI", 6, 0, 20) + t23 + p23 + bytes(20))
    yield "v23-extended-crc", tag(3, 0x40, struct.pack(">IHII", 10, 0x8000, 4, 0x12345678) + p23 + bytes(4))
    yield "v23-extended-oversize", tag(3, 0x40, struct.pack(">IHI", 12, 0, 0) + bytes(2) + p23)
    yield "v23-unsync", tag(3, 0x80, unsynchronise(t23 + frame23(b"POPM", popm(b"a", 0xFF, b"\xff\xe0")) + bytes(4)))
    yield "v23-compressed", tag(3, 0, frame23(b"TIT2", struct.pack(">I", 40) + b"x\x9c" + bytes(8), 0x0080) + p23)
    yield "v23-compression-bomb", tag(3, 0, frame23(b"TIT2", struct.pack(">I", 0x7FFFFFFF) + bytes(10), 0x0080))
    yield "v23-encrypted-popm", tag(3, 0, frame23(b"POPM", b"\x80" + bytes(12), 0x0040) + t23)
    yield "v23-encrypted-empty", tag(3, 0, frame23(b"TIT2", b"\x80", 0x0040) + t23)
    yield "v23-grouped-popm", tag(3, 0, frame23(b"POPM", b"\x05" + popm(OWNER, 64), 0x0020))
    yield "v23-status-flags", tag(3, 0, frame23(b"TIT2", TITLE, 0xE000) + p23)
    yield "v23-unknown-frame-flag", tag(3, 0, frame23(b"TIT2", TITLE, 0x0010))
    yield "v23-popm-no-nul", tag(3, 0, frame23(b"POPM", OWNER) + bytes(4))
    yield "v23-popm-no-rating", tag(3, 0, frame23(b"POPM", OWNER + b"\x00"))
    yield "v23-zero-size-frame", tag(3, 0, frame23(b"TIT2", b"") + p23)
    yield "v23-frame-past-tag", tag(3, 0, t23 + p23, size=len(t23) + 12) + AUDIO
    yield "v23-garbage-padding", tag(3, 0, t23 + bytes(6) + b"junk" + bytes(6))
    yield "v23-size-too-big", tag(3, 0, t23 + p23, size=5000)
    yield "v23-size-not-syncsafe", b"ID3\x03\x00\x00\x00\x00\x81\x00" + t23
    yield "v23-tdrc", tag(3, 0, frame23(b"TDRC", b"\x002001") + p23)
    # A second tag right after the first: id3lib reads it as part of the first, mutagen does not.
    yield "v23-then-tag-with-popm", tag(3, 0, t23) + tag(3, 0, p23) + AUDIO
    # Inputs that broke id3lib before our patches (cmake/id3lib-patches/).
    yield "v23-long-play-counter", tag(3, 0, frame23(b"PCNT", bytes(7) + b"\x01") + p23) + AUDIO
    yield "v23-people-list-odd-byte", tag(3, 0, frame23(b"IPLS", b"\x01\xff\xfea\x00\x00\x00b") + p23) + AUDIO
    yield "v23-revision-1", b"ID3\x03\x01\x00" + syncsafe(len(t23 + p23)) + t23 + p23 + AUDIO
    yield "v24-popm-padding", tag(4, 0, t24 + p24 + bytes(100)) + AUDIO
    yield "v24-no-padding", tag(4, 0, p24 + t24)
    yield "v24-footer", tag_with_footer(t24 + p24)
    yield "v24-footer-bad", tag(4, 0x10, t24 + p24) + b"3DI\x04\x00\x10\x00\x00\x00\x01"
    yield "v24-extended-crc", tag(4, 0x40, syncsafe(12) + b"\x01\x20\x05\x07\x7f\x7f\x7f\x7f" + p24 + bytes(8))
    yield "v24-extended-all", tag(4, 0x40, syncsafe(15) + b"\x01\x70\x00\x05\x00\x00\x00\x00\x01\x01\x0b" + t24 + p24)
    yield "v24-extended-data-past-tag", tag(4, 0x40, syncsafe(6) + b"\x01\x20")
    yield "v24-extended-bad", tag(4, 0x40, syncsafe(9) + b"\x01\x10\x01\x00" + p24)
    yield "v24-frame-unsync", tag(4, 0, frame24(b"POPM", unsynchronise(popm(b"me", 0xFF)), 0x0002) + t24)
    # The reader leaves an unsynchronised frame's body unread unless it is a POPM.
    yield "v24-frame-unsync-title", tag(4, 0, frame24(b"TIT2", unsynchronise(TITLE * 3 + b"\xff\xe0"), 0x0002) + p24)
    yield "v24-tag-unsync", tag(4, 0x80, frame24(b"POPM", unsynchronise(popm(b"me", 0xFF)), 0x0002) + bytes(8))
    yield "v24-dli-popm", tag(4, 0, frame24(b"POPM", syncsafe(5) + popm(b"abc", 9), 0x0001))
    yield "v24-grouped-dli-popm", tag(4, 0, frame24(b"POPM", b"\x03" + syncsafe(5) + popm(b"abc", 9), 0x0041))
    yield "v24-compressed-popm", tag(4, 0, frame24(b"POPM", syncsafe(30) + b"x\x9c" + bytes(10), 0x0009) + t24)
    yield "v24-compressed-no-dli", tag(4, 0, frame24(b"TIT2", b"x\x9c" + bytes(10), 0x0008))
    yield "v24-all-format-flags", tag(4, 0, frame24(b"POPM", b"\x01\x80" + syncsafe(4) + bytes(6), 0x404F))
    yield "v24-size-not-syncsafe", tag(4, 0, b"TIT2\x00\x00\x00\x90\x00\x00" + bytes(0x90))
    yield "v24-experimental", tag(4, 0x20, t24 + p24 + bytes(3))
    # Tags a tolerant reader walks: plain ID3v2.4 sizes (some read as syncsafe too), IDs in lower
    # case or with a space, junk after the padding's first zero, a claim past the file's end.
    long_title = frame23(b"TIT2", TITLE * 20)
    yield "v24-plain-sizes", tag(4, 0, long_title + frame23(b"POPM", popm(OWNER, 77)) + bytes(16))
    yield "v24-plain-size-reads-syncsafe", tag(4, 0, frame23(b"TXXX", b"\x00" * 2 + b"x" * 254) + p24 + bytes(4))
    yield "v24-sizes-either-way-junk", tag(4, 0, frame23(b"TIT2", b"x" * 128 + b"\x00" + b"x" * 127) + bytes(4) + b"junk")
    # The write fuzzer's find: a TXXX size read as syncsafe (128) or plain (256), junk after a
    # zero byte, and 106 bytes into the junk a POPM rated 0. With our POPM after the TXXX, both
    # readers would take the sizes as plain: a longer TXXX, then that POPM. Asked for 0 stars.
    txxx_two_ways = b"TXXX\x00\x00\x01\x00\x00\x00" + b"\x00\x00" + b"x" * 126
    junk = b"\x00\x00" + (b"Windows Media Player " * 5)[:104]
    yield "v24-size-two-ways-popm-in-junk", tag(4, 0, txxx_two_ways + junk + frame23(b"POPM", popm(OWNER, 0)) +
                                            bytes(40)) + AUDIO
    for number, find in enumerate(SIZE_TWO_WAYS_FINDS, 1):
        yield "v24-size-two-ways-find-%d" % number, base64.b64decode(find)
    yield "v24-junk-padding-big-frame", tag(4, 0, frame24(b"TIT2", b"x" * 200) + p24 + bytes(4) + b"junk")
    yield "v23-lower-case-id", tag(3, 0, frame23(b"tit2", TITLE) + p23 + bytes(8))
    yield "v23-id-and-space", tag(3, 0, frame23(b"COM ", TITLE) + frame23(b"TCP ", b"\x001") + p23)
    yield "v23-junk-padding", tag(3, 0, t23 + p23 + bytes(6) + b"\xffjunk" + bytes(6))
    yield "v23-claims-past-file", tag(3, 0, t23 + p23 + bytes(12), size=5000) + mpeg_frames(3)
    yield "v24-claims-past-file-plain", tag(4, 0, long_title + p24, size=9000) + mpeg_frames(3)
    yield "v24-truncated", tag(4, 0, t24 + p24 + bytes(40))[:50]
    yield "v25", tag(5, 0, t24)
    yield "revision-ff", b"ID3\x03\xff\x00" + syncsafe(len(t23)) + t23
    yield "header-only", b"ID3\x04\x00\x00\x00\x00\x00\x00"
    yield "not-a-tag", AUDIO


def mpeg_frames(count, xing=False):
    """MPEG-1 Layer III frames, 128 kbit/s, 44.1 kHz: 417 bytes each; the first one may carry
    a Xing header (frames, bytes and scale fields)."""
    frames = b""
    for i in range(count):
        payload = bytearray((i * 31 + k) & 0x7F for k in range(413))
        if xing and i == 0:
            payload[32:52] = b"Xing" + struct.pack(">IIII", 0x0B, count, count * 417, 50)[:16]
        frames += b"\xff\xfb\x90\x64" + bytes(payload)
    return frames


def id3v1(title=b"A title"):
    return b"TAG" + title.ljust(30, b"\x00") + b"Artist".ljust(30, b"\x00") + bytes(30) + b"2001" + bytes(30) + b"\x0c"


def ape_tag():
    item = struct.pack("<II", 5, 0) + b"Title\x00" + b"hello"
    footer = b"APETAGEX" + struct.pack("<IIII", 2000, 32 + len(item), 1, 0x80000000) + bytes(8)
    header = b"APETAGEX" + struct.pack("<IIII", 2000, 32 + len(item), 1, 0xA0000000) + bytes(8)
    return header + item + footer


def whole_files():
    t23 = frame23(b"TIT2", TITLE) + frame23(b"TPE1", b"\x00Artist")
    tags = {
        "v23-popm": tag(3, 0, t23 + frame23(b"POPM", popm(OWNER, 196, b"\x00\x00\x00\x02")) + bytes(32)),
        "v23-padding": tag(3, 0, t23 + bytes(64)),
        "v23-no-room": tag(3, 0, t23),
        "v23-extended": tag(3, 0x40, struct.pack(">IHI", 6, 0, 0) + t23),
        "v23-big-padding": tag(3, 0, t23 + bytes(5000)),
        "v24-padding": tag(4, 0, frame24(b"TIT2", TITLE) + bytes(48)),
        "v24-popm": tag(4, 0, frame24(b"POPM", popm(b"x@y", 64)) + bytes(4)),
        "v22-padding": tag(2, 0, frame22(b"TT2", TITLE) + bytes(24)),
        "v24-plain-sizes": tag(4, 0, frame23(b"TIT2", TITLE * 20) + bytes(30)),
        "v23-claims-past-file": tag(3, 0, t23 + bytes(8), size=100000),
        "no-tag": b"",
        "junk": b"\x00junk\xff" * 40,
    }
    ends = {"plain": b"", "id3v1": id3v1(), "ape": ape_tag(), "ape-id3v1": ape_tag() + id3v1()}
    stars = 0
    for tag_name, tag_bytes in tags.items():
        for end_name, end in ends.items():
            audio = mpeg_frames(3, xing=tag_name == "v23-no-room")
            body = tag_bytes + audio + end
            # The last byte picks the stars: cycle through all six.
            body = body[:-1] + bytes([(body[-1] - body[-1] % 6 + stars) % 256])
            stars = (stars + 1) % 6
            yield "file-%s-%s" % (tag_name, end_name), body


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    count = 0
    for name, data in list(seeds()) + list(whole_files()):
        with open(os.path.join(folder, "%02d-%s.bin" % (count, name)), "wb") as seed:
            seed.write(data)
        count += 1
    print("wrote %d seeds to %s" % (count, folder))


if __name__ == "__main__":
    main()
