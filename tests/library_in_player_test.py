#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""The player's own ratings and its media library, in the stand-in player: the player's
rating commands reach the files (the bytes the star menu writes), the library hears of
removals, and the library's ratings are saved into the files from the preferences page."""
import os
import shutil
import struct
import sys
import time
import unittest

import formats_in_player_test as formats  # takes the build folder from the command line

desk = formats.desk
SCRATCH = os.path.join(os.path.dirname(formats.SCRATCH), "library_in_player")
FORMATS = {"mp3": ("-c:a", "libmp3lame"), "flac": (), "m4a": ("-c:a", "aac")}
REPORT, PROGRESS, SAVE_LIBRARY, CANCEL = 207, 205, 204, 206

# (what the player is sent, the stars the library then gives the entry); the library
# starts at 2.
PLAYER_STEPS = [("setrating 4", 4), ("setrating 6", 5), ("setrating 6", 5), ("setrating -1", 4),
                ("setrating 0", 0), ("setrating -1", 0), ("setrating 9", 5), ("command 40399", 2),
                ("command 40401", 0), ("command 40396", 5), ("setrating 255", 5), ("setrating 1", 1)]


def read(path):
    with open(path, "rb") as f:
        return f.read()


class LibraryInThePlayer(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(SCRATCH, ignore_errors=True)
        self.music = os.path.join(SCRATCH, "music")
        os.makedirs(self.music)
        os.makedirs(os.path.join(SCRATCH, "Plugins"))
        self.player = None

    def tearDown(self):
        if self.player:
            self.player.quit()

    def start(self, names, library=None, writeratings=0, extra=()):
        """The stand-in player with these files; library: [(path, rating)], None for no library."""
        with open(os.path.join(SCRATCH, "Plugins", "gen_ml.ini"), "w") as f:
            f.write("[gen_ml_config]\nwriteratings=%d\n" % writeratings)
        playlist = os.path.join(SCRATCH, "playlist.txt")
        with open(playlist, "w", encoding="utf-8") as f:
            f.writelines("%s\t%s\n" % (self.win(name), name) for name in names)
        if library is None:
            extra = ["--no-library"] + list(extra)
        else:
            database = os.path.join(SCRATCH, "library.txt")
            with open(database, "w", encoding="utf-8") as f:
                f.writelines("%d\t%s\n" % (rating, path) for path, rating in library)
            extra = ["--library", desk.windows_path(database)] + list(extra)
        self.player = desk.Player(formats.BUILD, dict(os.environ), playlist, os.path.join(SCRATCH, "player.ini"),
                                  playing=1, extra=extra)
        self.player.wait_for("ready")
        return self.player

    def win(self, name):
        return desk.windows_path(os.path.join(self.music, name))

    def saved(self, name, since):
        return sum(1 for line in self.player.lines[since:] if line == 'host got 3005 path="%s"' % self.win(name))

    def test_the_players_ratings_reach_the_files_as_the_star_menu_writes_them(self):
        names = []
        for extension, codec in FORMATS.items():
            for role in ("player", "menu"):
                names.append("%s.%s" % (role, extension))
                formats.ffmpeg(os.path.join(self.music, names[-1]), *codec)
        player = self.start(names, [(self.win(name), 2) for name in names if name.startswith("player")])
        for index, name in enumerate(names[::2]):
            path, reference = os.path.join(self.music, name), os.path.join(self.music, names[2 * index + 1])
            before = formats.view(path)
            for command, stars in PLAYER_STEPS:
                what = "%s after %s" % (name, command)
                player.command("current %d" % (2 * index))
                since = len(player.lines)
                player.command(command)
                player.wait_for("tray modify stars=%d " % stars)
                self.assertEqual(self.saved(name, since), 1, what + ": 3005 once")
                self.assertEqual(formats.stars_by_the_players_rule(path), stars, what)
                # The same stars chosen in the star menu for a twin file: the same bytes.
                player.command("current %d" % (2 * index + 1))
                player.command("choose %d" % stars)
                player.wait_for('host got 3005 path="%s"' % self.win(names[2 * index + 1]))
                self.assertEqual(read(path), read(reference), what + ": the star menu's bytes")
                self.assertEqual(formats.view(path), before, what + ": mutagen's view")
        # The playlist's menu rates every selected entry.
        for command, stars in (("command 40403", 4), ("command 40407", 0), ("command 40404", 3)):
            since = len(player.lines)
            player.command("select 0 2 4")
            player.command(command)
            for name in names[::2]:
                player.wait_for('host got 3005 path="%s"' % self.win(name))
            time.sleep(0.3)
            for name in names[::2]:
                self.assertEqual(self.saved(name, since), 1, "%s after %s: 3005 once" % (name, command))
                self.assertEqual(formats.stars_by_the_players_rule(os.path.join(self.music, name)), stars, name)
        self.assertFalse([line for line in player.lines if line.startswith("library added")])

    def test_where_the_library_or_the_player_writes_files_the_plugin_writes_none(self):
        for extension, codec in FORMATS.items():
            formats.ffmpeg(os.path.join(self.music, "track." + extension), *codec)
        names = ["track." + extension for extension in FORMATS]
        for library, writeratings in (([], 1), (None, 0)):
            before = {name: read(os.path.join(self.music, name)) for name in names}
            player = self.start(names, library, writeratings)
            for command in ("setrating 4", "setrating 6", "command 40398", "select 0 1 2", "command 40402"):
                player.command(command)
            time.sleep(0.5)
            self.assertEqual(before, {name: read(os.path.join(self.music, name)) for name in names})
            self.assertFalse([line for line in player.lines if line.startswith("host got 3005")])
            player.quit()
            self.player = None

    def test_a_removal_reaches_the_library_for_files_it_rates_and_adds_none(self):
        for name in ("rated.flac", "unknown.m4a"):
            formats.ffmpeg(os.path.join(self.music, name), *FORMATS[name[-4:].strip(".")])
        player = self.start(["rated.flac", "unknown.m4a"], [(self.win("rated.flac"), 3)])
        for index, name in enumerate(["rated.flac", "unknown.m4a"]):
            player.command("current %d" % index)
            for stars in (3, 0):
                player.command("choose %d" % stars)
                player.wait_for('host got 3005 path="%s"' % self.win(name))
        player.command("library")
        self.assertIn("library set %s 0" % self.win("rated.flac"), player.lines)
        self.assertIn("library entry 0 %s" % self.win("rated.flac"), player.lines)
        self.assertFalse([line for line in player.lines if self.win("unknown.m4a") in line and
                          line.startswith(("library set", "library added"))])

    def test_the_librarys_ratings_go_into_the_files_once_with_a_report(self):
        """1,000 tracks of every kind; a cancelled run, a whole run, and a run with nothing left."""
        sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
        import make_music
        templates = {}
        for rating_byte in (None, 128, 64):
            make_music.write_tagged(os.path.join(SCRATCH, "template.mp3"), "A title", rating_byte, 3)
            templates[rating_byte] = read(os.path.join(SCRATCH, "template.mp3"))
        formats.ffmpeg(os.path.join(SCRATCH, "template.flac"))
        templates["flac"] = read(os.path.join(SCRATCH, "template.flac"))
        templates["not audio"] = bytes(range(256)) * 8
        templates["tag larger than file"] = b"ID3\x03\x00\x00\x7f\x7f\x7f\x7f" + templates[None][10:]
        # (library rating, the file, the stars it holds after the run, the report's word)
        kinds = [(4, None, 4, "rated"), (3, 128, 3, "already"), (5, 64, 2, "kept"),
                 (2, "read-only", 0, "read-only"), (1, "missing", 0, "missing"),
                 (5, "not audio", 0, "format not rated"), (3, "tag larger than file", 0, "refused as malformed"),
                 (9, "flac", 5, "rated")]
        library, expected = [], {}
        for i in range(1000):
            rating, kind, stars, word = kinds[i % len(kinds)]
            name = "%04d.%s" % (i, "flac" if kind == "flac" else "mp3")
            if kind != "missing":
                with open(os.path.join(self.music, name), "wb") as f:
                    f.write(templates[None if kind == "read-only" else kind])
            if kind == "read-only":
                os.chmod(os.path.join(self.music, name), 0o444)
            library.append((self.win(name), rating))
            expected[name] = (stars, word)
        library += [(library[0][0], 4), ("", 3), ("relative\\file.mp3", 2), ("<null>", 5)]
        no_full_path = 3
        before = {name: read(os.path.join(self.music, name)) for name in expected
                  if os.path.exists(os.path.join(self.music, name))}
        player = self.start(["0000.mp3"], library)

        def run(cancel_at=None):
            player.command("prefs click %d" % SAVE_LIBRARY)
            while True:
                player.command("prefs get %d" % REPORT)
                report = player.lines[-2].split('text="')[1].rsplit('"', 1)[0]
                if cancel_at and report.startswith("Saving: ") and int(report.split()[1]) >= cancel_at:
                    player.command("prefs click %d" % CANCEL)
                    cancel_at = None
                if " not saved" in report:
                    return report
                time.sleep(0.2)

        player.command("prefs open")
        report = run(cancel_at=100)
        self.assertTrue(report.startswith("Cancelled: "), report)
        rated_first = [name for name in before if read(os.path.join(self.music, name)) != before[name]]
        for name in rated_first:  # every file whole: as before, or holding its rating
            self.assertEqual(formats.stars_by_the_players_rule(os.path.join(self.music, name)), expected[name][0])
        self.assertLess(len(rated_first), 900)
        report = run()
        player.command("prefs get %d" % PROGRESS)
        self.assertIn("pos=100", player.lines[-2])
        counts = {word: sum(1 for stars, w in expected.values() if w == word) for _, _, _, word in kinds}
        not_saved = no_full_path + sum(counts[w] for w in ("read-only", "missing", "format not rated",
                                                            "refused as malformed"))
        self.assertIn("%d rated, %d already held it, %d kept their own rating, %d not saved (" % (
            counts["rated"] - len(rated_first), counts["already"] + len(rated_first), counts["kept"], not_saved), report)
        for word in ("read-only", "missing", "format not rated", "refused as malformed"):
            self.assertIn("%d %s" % (counts[word], word), report)
        self.assertIn("%d no full path" % no_full_path, report)
        for name, (stars, word) in expected.items():
            path = os.path.join(self.music, name)
            if word in ("rated", "already", "kept"):
                self.assertEqual(formats.stars_by_the_players_rule(path), stars, name)
            if word not in ("rated", "missing"):
                self.assertEqual(read(path), before[name], name)
        listed = read(os.path.join(SCRATCH, "Plugins", "gen_id3vimbrel-not-saved.txt")).decode("utf-16")
        self.assertEqual(len(listed.strip().splitlines()), not_saved)
        after = {name: read(os.path.join(self.music, name)) for name in before}
        report = run()
        self.assertIn("0 rated, %d already held it" % (counts["rated"] + counts["already"]), report)
        self.assertEqual(after, {name: read(os.path.join(self.music, name)) for name in before})
        self.assertFalse([line for line in player.lines if line.startswith("library added")])
        for name in before:
            os.chmod(os.path.join(self.music, name), 0o644)


if __name__ == "__main__":
    unittest.main()
