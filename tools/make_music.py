#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Makes small but real MP3 files for the watched run and the tests, and reads
back the stars a file holds."""
import os
import shutil

# One MPEG-1 Layer III frame: 128 kbit/s, 44.1 kHz, no padding (417 bytes).
FRAME_HEADER = bytes([0xFF, 0xFB, 0x90, 0x64])
FRAME_BYTES = 417


def audio(frames):
    return (FRAME_HEADER + bytes(FRAME_BYTES - len(FRAME_HEADER))) * frames


def write_untagged(path, frames=40):
    with open(path, "wb") as f:
        f.write(audio(frames))


def write_tagged(path, title, rating_byte, version):
    """A file with title, artist and, unless rating_byte is None, a POPM of
    another player's, in an ID3v2 tag of that version (3 or 4)."""
    from mutagen.id3 import ID3, POPM, TIT2, TPE1
    write_untagged(path)
    tags = ID3()
    tags.add(TIT2(encoding=3, text=title))
    tags.add(TPE1(encoding=3, text="The Stand-ins"))
    if rating_byte is not None:
        tags.add(POPM(email="another.player@example.com", rating=rating_byte, count=3))
    tags.save(path, v2_version=version)


# (file, title, rating byte or None for no POPM, tag version or None for no tag)
DEMO_LIBRARY = [
    ("morning_fields.mp3", "Morning Fields", 64, 3),      # 2 stars, ID3v2.3
    ("harbour_lights.mp3", "Harbour Lights", 160, 4),     # 4 stars, ID3v2.4
    ("last_train_home.mp3", "Last Train Home", None, None),  # no tag at all
    # Named in two scripts outside the Western code page: the player's 8-bit
    # path of it names nothing.
    ("\u03a9\u03bc\u03ad\u03b3\u03b1 \u6771\u4eac.mp3", "\u03a9\u03bc\u03ad\u03b3\u03b1 \u6771\u4eac", 128, 3),  # 3 stars
    # A Polish name and its best-fit twin: the player's 8-bit path of the first
    # names the second.
    ("\u0141\u00f3d\u017a.mp3", "\u0141\u00f3d\u017a", 1, 3),  # 1 star
    ("L\u00f3dz.mp3", "L\u00f3dz", 160, 3),  # 4 stars
]


def make_demo_library(folder):
    """The watched run's playlist; returns [(path, title)]."""
    entries = []
    for name, title, rating_byte, version in DEMO_LIBRARY:
        path = os.path.join(folder, name)
        if version is None:
            write_untagged(path)
        else:
            write_tagged(path, title, rating_byte, version)
        entries.append((path, title))
    return entries


def write_rating_library(folder, count):
    """count copies of one tagged file without a rating (a padded ID3v2.3 tag,
    as mutagen leaves it), for a media library that rates them 1 to 5 stars in
    turn; returns [(path, stars)]."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    template = os.path.join(folder, "template.mp3")
    write_tagged(template, "A Library Track", None, 3)
    tracks = []
    for i in range(count):
        path = os.path.join(folder, "track_%03d.mp3" % i)
        shutil.copyfile(template, path)
        tracks.append((path, 1 + i % 5))
    os.remove(template)
    return tracks


def stars_of_rating_byte(byte):
    """The player's rule: 1-31 is 1 star, 32-95 2, 96-159 3, 160-223 4, 224-255 5."""
    for stars, least in [(5, 224), (4, 160), (3, 96), (2, 32), (1, 1)]:
        if byte >= least:
            return stars
    return 0


def file_rating(path):
    """(stars, rating byte) of the first POPM frame of the file's ID3v2 tag, as
    mutagen reads it; (0, None) without a tag or a POPM."""
    from mutagen.id3 import ID3, ID3NoHeaderError
    try:
        frames = ID3(path).getall("POPM")
    except ID3NoHeaderError:
        return 0, None
    if not frames:
        return 0, None
    return stars_of_rating_byte(frames[0].rating), frames[0].rating
