#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""FLAC, Ogg Vorbis and Opus files made by ffmpeg, with other fields, rated 0 to 5
from the star menu of the stand-in player while it holds them. After each choice
the player's rule reads the rating back, mutagen reads every other field and
block as before, the decoded audio is the same, and nothing stays beside the
track. The ratings other programs wrote show as the player reads them."""
import os
import shutil
import subprocess
import sys
import unittest

from mutagen import File
from mutagen.flac import FLAC, Picture

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


def without_padding(path):
    tags = FLAC(path)
    tags.save(padding=lambda info: 0)


def stars_by_the_players_rule(path):
    """The rating as the player's FLAC and Vorbis decoders read it from the Vorbis comment."""
    for key, value in File(path).tags:
        name = key.upper()
        if name != "RATING" and name != "FMPS_RATING" and not name.startswith("RATING:"):
            continue
        value = value.strip()
        if name != "FMPS_RATING" and value.isdigit():
            number = int(value)
            return 0 if number == 0 else number if number <= 5 else min(5, -(-number // 20))
        try:
            fraction = float(value)
        except ValueError:
            continue
        if name == "FMPS_RATING" or "." in value:
            if fraction == 0:
                return 0
            if 0 < fraction <= 1:
                return max(1, int(fraction * 5 + 0.5))
    return 0


def view(path):
    """What mutagen reads of a file, the rating fields aside: fields in order, and blocks."""
    audio = File(path)
    fields = [(k, v) for k, v in audio.tags if k.upper() not in ("RATING", "FMPS_RATING")
              and not k.upper().startswith("RATING:")]
    blocks = []
    if isinstance(audio, FLAC):
        blocks = [(type(b).__name__, b.write()) for b in audio.metadata_blocks
                  if type(b).__name__ not in ("VCFLACDict", "Padding")]
    return fields, blocks, audio.tags.vendor


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
                 "opus.opus": lambda p: ffmpeg(p, "-c:a", "libopus")}
        names = list(files)
        for name, make in files.items():
            make(os.path.join(self.music, name))
        player = self.play(names)
        try:
            for index, name in enumerate(names):
                path = os.path.join(self.music, name)
                before, audio = view(path), decoded(path)
                self.assertEqual(self.shows(player, index), 0, name)
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
        player = self.play(names)
        try:
            for index, (key, value, stars) in enumerate(rows):
                self.assertEqual(self.shows(player, index), stars, "%s=%s" % (key, value))
        finally:
            player.quit()


if __name__ == "__main__":
    unittest.main()
