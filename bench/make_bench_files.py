#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Makes the benchmark's music files: real MPEG frames behind the tags a
person's library holds. usage: make_bench_files.py FOLDER"""
import os
import sys

from mutagen.id3 import APIC, ID3, POPM, TALB, TIT2, TPE1

from make_mp4_files import make_all as make_mp4_files
from make_xiph_files import make_all as make_xiph_files

FRAME = bytes([0xFF, 0xFB, 0x90, 0x64]) + bytes(413)  # 128 kbit/s, 44.1 kHz


def audio(megabytes):
    return FRAME * (megabytes * 1024 * 1024 // len(FRAME))


def tagged(path, megabytes, version, popm=True, cover_bytes=0, padding=None):
    with open(path, "wb") as f:
        f.write(audio(megabytes))
    tags = ID3()
    tags.add(TIT2(encoding=3, text="Benchmark song"))
    tags.add(TPE1(encoding=3, text="Benchmark artist"))
    tags.add(TALB(encoding=3, text="Benchmark album"))
    if popm:
        tags.add(POPM(email="someone@example.com", rating=128, count=5))
    if cover_bytes:
        tags.add(APIC(encoding=0, mime="image/jpeg", type=3, desc="", data=bytes(range(256)) * (cover_bytes // 256)))
    tags.save(path, v2_version=version, padding=(lambda info: padding) if padding is not None else None)


def unsynchronised_v23(path, megabytes):
    """An ID3v2.3 tag with whole-tag unsynchronisation, as old iTunes wrote them."""
    frames = b""
    for frame_id, text in ((b"TIT2", "Benchmark song"), (b"TPE1", "Benchmark artist")):
        body = b"\x00" + text.encode("latin-1")
        frames += frame_id + len(body).to_bytes(4, "big") + b"\x00\x00" + body
    frames += b"PRIV" + (12).to_bytes(4, "big") + b"\x00\x00" + b"owner\x00\xff\xe0\xff\x00\xff\xf1"
    content = frames.replace(b"\xff", b"\xff\x00")
    size = bytes((len(content) >> shift) & 0x7F for shift in (21, 14, 7, 0))
    with open(path, "wb") as f:
        f.write(b"ID3\x03\x00\x80" + size + content + audio(megabytes))


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    tagged(os.path.join(folder, "v23_popm_5mb.mp3"), 5, 3, padding=0)
    tagged(os.path.join(folder, "v23_popm_cover8mb_5mb.mp3"), 5, 3, cover_bytes=8 * 1024 * 1024, padding=0)
    with open(os.path.join(folder, "untagged_10mb.mp3"), "wb") as f:
        f.write(audio(10))
    tagged(os.path.join(folder, "v24_popm_5mb.mp3"), 5, 4)
    tagged(os.path.join(folder, "v24_nopopm_padding_5mb.mp3"), 5, 4, popm=False, padding=1024)
    tagged(os.path.join(folder, "v23_padding20k_5mb.mp3"), 5, 3, popm=False, padding=20 * 1024)
    # Tags that must grow or change their own encoding, and a file the player
    # must not freeze on.
    tagged(os.path.join(folder, "v24_nopopm_nopadding_5mb.mp3"), 5, 4, popm=False, padding=0)
    unsynchronised_v23(os.path.join(folder, "v23_unsync_5mb.mp3"), 5)
    # A 1 MB cover and no padding in an ID3v2.3 tag (id3lib's route) and in an ID3v2.4 tag (the editor's).
    for version in (3, 4):
        tagged(os.path.join(folder, "v2%d_cover1mb_nopadding_5mb.mp3" % version), 5, version, popm=False,
               cover_bytes=1024 * 1024, padding=0)
    with open(os.path.join(folder, "untagged_100mb.mp3"), "wb") as f:
        f.write(audio(100))
    # The library command's template: the benchmark copies it 1,000 times. Its tag has
    # room for the POPM frame, so each save is one write in place; 1 MB keeps the
    # 2,000 copies small, and in place the audio's length does not count.
    tagged(os.path.join(folder, "library_v23_padding_1mb.mp3"), 1, 3, popm=False, padding=1024)
    make_xiph_files(folder)
    make_mp4_files(folder)


if __name__ == "__main__":
    main()
