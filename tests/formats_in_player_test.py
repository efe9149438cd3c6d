#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""FLAC, Ogg Vorbis, Opus, M4A (AAC and ALAC), WAV, AIFF, ADTS AAC and WMA files made
by ffmpeg, with other fields, rated 0 to 5 from the star menu of the stand-in player
while it holds them. After each choice the player's rule reads the rating back,
mutagen reads every other field, block and item as before, the decoded audio is
the same, and nothing stays beside the track. The ratings other programs wrote
show as the player reads them."""
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import unittest

from mutagen import File
from mutagen.asf import ASF, ASFByteArrayAttribute, ASFDWordAttribute, ASFQWordAttribute, ASFUnicodeAttribute
from mutagen.asf import ASFWordAttribute
from mutagen.flac import FLAC, Picture
from mutagen.id3 import ID3, ID3NoHeaderError, TIT2, TPE1
from mutagen.mp4 import MP4, MP4Cover

BUILD = os.path.abspath(sys.argv[1])
sys.argv[1:] = []
SCRATCH = os.path.join(os.environ.get("VIMBREL_SCRATCH", os.path.join(BUILD, "test-scratch")), "formats_in_player")
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
import desktop_session as desk  # noqa: E402

FIELDS = {"title": "A title", "artist": "Someone", "album": "An album", "comment": "Made for the test"}
CHOICES = [4, 0, 5, 1, 3, 2]


def ffmpeg(path, *extra):
    meta = [arg for key, value in FIELDS.items() for arg in ("-metadata", "%s=%s" % (key, value))]
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=440:duration=2"]
                   + meta + list(extra) + [path], check=True)


def with_picture(path, size):
    picture = Picture()
    picture.type = 3
    picture.mime = "image/png"
    picture.data = bytes(i % 251 for i in range(size))
    tags = FLAC(path)
    tags.add_picture(picture)
    tags.save()


def with_mp4_cover(path, size):
    tags = MP4(path)
    tags["covr"] = [MP4Cover(bytes(i % 251 for i in range(size)), imageformat=MP4Cover.FORMAT_PNG)]
    tags.save()


def set_mp4_rate(path, payload, data_type):
    """A `rate` item of the given data type, as other programs leave it: mutagen writes it as
    text, and its data atom's type is then set in the file's bytes."""
    tags = MP4(path)
    tags["rate"] = [payload.decode("latin-1")]
    tags.save()
    with open(path, "r+b") as f:
        data = f.read()
        at = data.index(b"rate") + 4
        assert data[at + 4:at + 8] == b"data" and data[at + 16:at + 16 + len(payload)] == payload
        f.seek(at + 9)
        f.write(bytes([0, 0, data_type]))


def with_asf(path, attributes, padding=True):
    """The WMA with mutagen's attributes (it puts them in the Extended Content Description, a
    large one in the Metadata Library), with its padding or none."""
    tags = ASF(path)
    for key, value in attributes.items():
        tags[key] = [value]
    tags.save(padding=None if padding else lambda info: 0)


def without_padding(path):
    tags = FLAC(path)
    tags.save(padding=lambda info: 0)


MP4_RATINGS = ("rate", "----:com.apple.iTunes:RATING", "----:com.apple.iTunes:FMPS_Rating")
POPM_LOWEST_BYTES = (1, 32, 96, 160, 224)
ASF_RATING = "WM/SharedUserRating"
ASF_LOWEST_VALUES = (1, 13, 38, 63, 87)


def stars_of_value(value, fraction_always):
    """A rating field's stars by the player's number rules; None when it does not parse."""
    value = value.strip()
    if not fraction_always and value.isdigit():
        number = int(value)
        return 0 if number == 0 else number if number <= 5 else min(5, -(-number // 20))
    try:
        fraction = float(value)
    except ValueError:
        return None
    if fraction_always or "." in value:
        if fraction == 0:
            return 0
        if 0 < fraction <= 1:
            return max(1, int(fraction * 5 + 0.5))
    return None


def id3_of(path):
    """The ID3v2 tag of a WAV's or AIFF's ID3 chunk, or at an ADTS file's start (mutagen takes
    such a file for an MP3 and finds no MPEG frame)."""
    if not path.endswith(".aac"):
        return File(path).tags
    try:
        return ID3(path, translate=False)
    except ID3NoHeaderError:
        return None


def stars_by_the_players_rule(path):
    """The rating as the player reads it: the Vorbis comment (FLAC, Ogg), the `rate` item
    written as text (M4A), the first POPM (MP3, WAV, AIFF, ADTS), the first WM/SharedUserRating
    of stream 0 as a number (WMA)."""
    if path.endswith(".wma"):
        for value in ASF(path).tags.get(ASF_RATING, []):
            if value.stream:
                continue
            number = value.value
            if isinstance(number, bytes) or (isinstance(number, str) and not number.isdigit()):
                return 0
            return sum(1 for lowest in ASF_LOWEST_VALUES if int(number) >= lowest)
        return 0
    if path.endswith(".m4a"):
        tags = MP4(path).tags or {}
        for key in MP4_RATINGS:
            for value in tags.get(key, []):
                value = value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)
                stars = stars_of_value(value, key.endswith("FMPS_Rating"))
                if stars is not None:
                    return stars
        return 0
    if path.endswith((".mp3", ".wav", ".aiff", ".aac")):
        tags = id3_of(path)
        popms = tags.getall("POPM") if tags is not None else []
        return sum(1 for lowest in POPM_LOWEST_BYTES if popms and popms[0].rating >= lowest)
    for key, value in File(path).tags:
        name = key.upper()
        if name == "RATING" or name == "FMPS_RATING" or name.startswith("RATING:"):
            stars = stars_of_value(value, name == "FMPS_RATING")
            if stars is not None:
                return stars
    return 0


def view(path):
    """What mutagen reads of a file, the rating fields aside: fields in order, and blocks
    (FLAC, Ogg), items (M4A) or the ID3v2 frames and the stream (WAV, AIFF, ADTS), attributes
    and the bytes from the Data object on (WMA)."""
    if path.endswith(".wma"):
        audio = ASF(path)
        attributes = sorted((k, repr(v)) for k, v in audio.tags.as_dict().items() if k != ASF_RATING)
        with open(path, "rb") as f:
            data = f.read()
        header = struct.unpack("<Q", data[16:24])[0]
        return attributes, audio.info.length, audio.info.codec_name, hashlib.sha256(data[header:]).hexdigest()
    if path.endswith(".m4a"):
        audio = MP4(path)
        items = sorted((k, repr(v)) for k, v in (audio.tags or {}).items() if k not in MP4_RATINGS)
        return items, audio.info.length, audio.info.codec
    if path.endswith((".mp3", ".wav", ".aiff", ".aac")):
        tags = id3_of(path)
        frames = sorted((k, repr(v)) for k, v in (tags or {}).items() if not k.startswith("POPM"))
        return frames, other_chunks_or_stream(path)
    audio = File(path)
    fields = [(k, v) for k, v in audio.tags if k.upper() not in ("RATING", "FMPS_RATING")
              and not k.upper().startswith("RATING:")]
    blocks = []
    if isinstance(audio, FLAC):
        blocks = [(type(b).__name__, b.write()) for b in audio.metadata_blocks
                  if type(b).__name__ not in ("VCFLACDict", "Padding")]
    return fields, blocks, audio.tags.vendor


def other_chunks_or_stream(path):
    """A WAV's or AIFF's chunks but the ID3 one, with their bytes and in order, and the size in
    the header checked against the file's; the bytes after an ADTS file's tag."""
    with open(path, "rb") as f:
        data = f.read()
    if path.endswith((".aac", ".mp3")):
        tag = 0
        if data[:3] == b"ID3":
            tag = 10 + sum((b & 0x7F) << (7 * (3 - i)) for i, b in enumerate(data[6:10]))
        return hashlib.sha256(data[tag:]).hexdigest()
    order = "<" if data[:4] == b"RIFF" else ">"
    assert struct.unpack(order + "I", data[4:8])[0] == len(data) - 8, path + ": size in the header"
    chunks, at = [], 12
    while at + 8 <= len(data):
        name, size = data[at:at + 4], struct.unpack(order + "I", data[at + 4:at + 8])[0]
        if name.lower() != b"id3 ":
            chunks.append((name, hashlib.sha256(data[at + 8:at + 8 + size]).hexdigest()))
        at += 8 + size + (size & 1)
    assert at == len(data), path + ": chunks end at the file's end"
    return chunks


def with_id3_chunk(path):
    tags = File(path)
    tags.add_tags()
    tags.tags.add(TIT2(encoding=3, text=FIELDS["title"]))
    tags.tags.add(TPE1(encoding=3, text=FIELDS["artist"]))
    tags.save()


def decoded(path):
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-f", "md5", "-"], check=True,
                         capture_output=True, text=True).stdout
    return out.strip()


class FormatsInThePlayer(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(SCRATCH, ignore_errors=True)
        os.makedirs(os.path.join(SCRATCH, "Plugins"))
        self.music = os.path.join(SCRATCH, "music")
        os.makedirs(self.music)

    def play(self, names):
        playlist = os.path.join(SCRATCH, "playlist.txt")
        with open(playlist, "w", encoding="utf-8") as f:
            for name in names:
                f.write("%s\t%s\n" % (desk.windows_path(os.path.join(self.music, name)), name))
        player = desk.Player(BUILD, dict(os.environ), playlist, os.path.join(SCRATCH, "player.ini"), playing=1)
        player.wait_for("ready")
        return player

    def shows(self, player, index):
        player.command("current %d" % index)
        player.command("notify 603 0")
        line = player.wait_for("tray modify")
        return int(line.split("stars=")[1].split()[0])

    def test_each_format_rated_from_the_menu_while_held(self):
        files = {"padding.flac": lambda p: ffmpeg(p),
                 "no-padding.flac": lambda p: (ffmpeg(p), without_padding(p)),
                 "picture.flac": lambda p: (ffmpeg(p), with_picture(p, 8 * 1024 * 1024)),
                 "vorbis.ogg": lambda p: ffmpeg(p, "-c:a", "libvorbis"),
                 "opus.opus": lambda p: ffmpeg(p, "-c:a", "libopus"),
                 # ffmpeg puts the movie after the media data unless told otherwise; with
                 # +faststart before it, with no free room for the rating.
                 "moov-after-mdat.m4a": lambda p: ffmpeg(p, "-c:a", "aac"),
                 "moov-first.m4a": lambda p: ffmpeg(p, "-c:a", "aac", "-movflags", "+faststart"),
                 "cover.m4a": lambda p: (ffmpeg(p, "-c:a", "aac"), with_mp4_cover(p, 8 * 1024 * 1024)),
                 "alac.m4a": lambda p: ffmpeg(p, "-c:a", "alac"),
                 "tagged.wav": lambda p: (ffmpeg(p), with_id3_chunk(p)),
                 "untagged.wav": lambda p: ffmpeg(p),
                 "track.aiff": lambda p: ffmpeg(p, "-write_id3v2", "1"),
                 "adts.aac": lambda p: ffmpeg(p, "-c:a", "aac", "-f", "adts"),
                 # ffmpeg leaves no padding; mutagen leaves some, and its file size stale.
                 "plain.wma": lambda p: ffmpeg(p, "-c:a", "wmav2"),
                 "rated.wma": lambda p: (ffmpeg(p, "-c:a", "wmav2"), with_asf(p, {ASF_RATING: ASFDWordAttribute(50)})),
                 "rated-no-padding.wma": lambda p: (ffmpeg(p, "-c:a", "wmav2"),
                                                    with_asf(p, {ASF_RATING: ASFDWordAttribute(75)}, padding=False)),
                 "picture.wma": lambda p: (ffmpeg(p, "-c:a", "wmav2"), with_asf(p, {"WM/Picture": ASFByteArrayAttribute(
                     bytes(i % 251 for i in range(8 * 1024 * 1024)))}, padding=False))}
        names = list(files)
        for name, make in files.items():
            make(os.path.join(self.music, name))
        player = self.play(names)
        try:
            for index, name in enumerate(names):
                path = os.path.join(self.music, name)
                before, audio = view(path), decoded(path)
                self.assertEqual(self.shows(player, index), stars_by_the_players_rule(path), name)
                player.command("hold")
                for stars in CHOICES:
                    what = "%s, %d stars" % (name, stars)
                    player.command("choose %d" % stars)
                    while True:
                        line = player.wait_for("tray modify")
                        self.assertNotIn("balloon=", line, what)
                        if "stars=%d " % stars in line and "Saving" not in line:
                            break
                    self.assertEqual(stars_by_the_players_rule(path), stars, what)
                    self.assertEqual(view(path), before, what + ": mutagen's view")
                    self.assertEqual(decoded(path), audio, what + ": decoded audio")
                    self.assertEqual(sorted(os.listdir(self.music)), sorted(names), what + ": files beside")
                player.command("release")
        finally:
            player.quit()

    def test_ratings_of_other_programs_show_as_the_player_reads_them(self):
        rows = [("RATING", "80", 4), ("RATING", "4", 4), ("rating", "60", 3), ("FMPS_RATING", "0.8", 4),
                ("RATING:someone@example.org", "0.6", 3), ("RATING", "255", 5)]
        names = []
        for index, (key, value, _) in enumerate(rows):
            name = "rated%d.%s" % (index, "flac" if index % 2 == 0 else "ogg")
            path = os.path.join(self.music, name)
            ffmpeg(path, *(["-c:a", "libvorbis"] if name.endswith(".ogg") else []))
            tags = File(path)
            tags[key] = value
            tags.save()
            names.append(name)
        mp4_rows = [("rate", b"80", 0, 4), ("rate", b"80", 1, 4), ("rate", b"\x00\x50", 21, 4),
                    ("----:com.apple.iTunes:RATING", b"60", 1, 3),
                    ("----:com.apple.iTunes:FMPS_Rating", b"0.8", 1, 4)]
        for index, (key, payload, data_type, _) in enumerate(mp4_rows):
            name = "rated%d.m4a" % index
            path = os.path.join(self.music, name)
            ffmpeg(path, "-c:a", "aac")
            if key == "rate":
                set_mp4_rate(path, payload, data_type)
            else:
                tags = MP4(path)
                tags[key] = [payload]
                tags.save()
            names.append(name)
        rows += [(key, payload, stars) for key, payload, _, stars in mp4_rows]
        asf_rows = [(ASFDWordAttribute(13), 2), (ASFWordAttribute(63), 4), (ASFQWordAttribute(87), 5),
                    (ASFUnicodeAttribute("38"), 3), (ASFByteArrayAttribute(b"\x50"), 0)]
        for index, (value, _) in enumerate(asf_rows):
            name = "rated%d.wma" % index
            ffmpeg(os.path.join(self.music, name), "-c:a", "wmav2")
            with_asf(os.path.join(self.music, name), {ASF_RATING: value})
            names.append(name)
        rows += [(ASF_RATING, repr(value), stars) for value, stars in asf_rows]
        player = self.play(names)
        try:
            for index, (key, value, stars) in enumerate(rows):
                self.assertEqual(self.shows(player, index), stars, "%s=%s" % (key, value))
        finally:
            player.quit()


if __name__ == "__main__":
    unittest.main()
