#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""The benchmark's M4A files: ffmpeg's AAC of pink noise (about 5 MB), its ilst rebuilt by
tests/fixtures/make_mp4_riff.py so that each row's case holds: an 8 MB cover in a moov before
the media (a read must skip it), free room after the ilst (a write in place), and a moov
before the media without room (a rewrite that shifts every chunk offset). Without ffmpeg the
files are not made (their rows say the file is missing)."""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fixtures"))
import make_mp4_riff as mp4  # noqa: E402

COVER_BYTES = 8 * 1024 * 1024


def ffmpeg_m4a(path, seconds):
    """ffmpeg's 5 MB AAC, moov before the media (ffmpeg's own title and encoder items)."""
    if not shutil.which("ffmpeg"):
        return None
    raw = path + ".ffmpeg.m4a"
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "anoisesrc=d=%d:c=pink:r=44100:a=0.3" % seconds, "-ac", "2", "-c:a", "aac", "-b:a", "256k",
                    "-movflags", "+faststart", "-metadata", "title=Benchmark song", "-metadata",
                    "artist=Benchmark artist", "-metadata", "album=Benchmark album", raw], check=True)
    with open(raw, "rb") as f:
        data = f.read()
    os.remove(raw)
    return data


def make_all(folder):
    """Each file once: they take ffmpeg some seconds, and do not change from run to run."""
    names = ["m4a_cover8mb_5mb.m4a", "m4a_free_5mb.m4a", "m4a_moovfirst_noroom_5mb.m4a"]
    if all(os.path.exists(os.path.join(folder, name)) for name in names):
        return
    data = ffmpeg_m4a(os.path.join(folder, names[0]), 185)
    if data is None:
        return
    items = mp4.items_of(data)
    cover = mp4.item(b"covr", mp4.data_atom(13, b"\xff\xd8\xff\xe0" + bytes(range(256)) * (COVER_BYTES // 256)))
    rate = mp4.text_item(b"rate", b"60")
    files = {
        names[0]: mp4.with_ilst(data, items + [rate, cover]),
        names[1]: mp4.with_ilst(data, items + [rate], free=2048),
        names[2]: mp4.with_ilst(data, items),
    }
    for name, content in files.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(content)


if __name__ == "__main__":
    make_all(sys.argv[1])
