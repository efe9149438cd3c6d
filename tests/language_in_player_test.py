#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""The plugin's words in the stand-in player's language: with the German pack the
config question, the media library's notice, the balloon for a read-only file, the
hotkey names and the preferences page are the German module's; without a pack they are
English. A pack lacking one string leaves that one in English; a player whose language
service is missing, answers nothing or gives a module without the plugin's strings
leaves them all in English, and nothing crashes. A translation whose text of the library
command's progress has other numbered places than the English one is not used for that text."""
import os
import re
import shutil
import sys
import unittest

BUILD = os.path.abspath(sys.argv[1])
sys.argv[1:] = []
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
SCRATCH = os.path.join(os.environ.get("VIMBREL_SCRATCH", os.path.join(BUILD, "test-scratch")), "language_in_player")
sys.path.insert(0, os.path.join(SOURCE, "tools"))
import desktop_session as desk  # noqa: E402
import make_music  # noqa: E402
from mutagen.id3 import ID3, TIT2  # noqa: E402

GERMAN = os.path.join(BUILD, "player", "Lang", "de-DE", "gen_id3vimbrel.lng")
LACKING = os.path.join(BUILD, "tests", "lng", "de-DE-lacking-one")
WRONG_PLACES = os.path.join(BUILD, "tests", "lng", "de-DE-wrong-places")
NO_STRINGS = os.path.join(SCRATCH, "no-strings")  # a module holding no strings of the plugin
EMPTY = os.path.join(SCRATCH, "empty")  # a pack folder without modules: Lang\de-DE\ answers
TRACK, LONG_TRACK = "read-only.mp3", "long.mp3"
PREFS = {201: "IDS_PREFS_ACTIVE", 202: "IDS_PREFS_SAVE_PLAYER_RATINGS", 203: "IDS_PREFS_LIBRARY_WINS",
         204: "IDS_PREFS_SAVE_LIBRARY", 206: "IDS_PREFS_CANCEL", 208: "IDS_PREFS_LIBRARY_GROUP"}
HOTKEYS = {"rate %d" % n: "IDS_HOTKEY_RATE_%d" % n for n in range(6)}
HOTKEYS.update({"rate up": "IDS_HOTKEY_ONE_MORE", "rate down": "IDS_HOTKEY_ONE_LESS"})
ALL = None  # every string in English
# (what the player is, its [language] lines (None: no section), more options, the
# strings in English (the rest German))
PLAYERS = [
    ("no pack", None, (), ALL),
    ("German", ["pack=" + desk.windows_path(EMPTY), "id=de-DE"], (), set()),
    ("German lacking one", ["pack=" + desk.windows_path(LACKING), "id=de-DE"], (), {"IDS_NOT_SAVED_READ_ONLY"}),
    ("German with other places", ["pack=" + desk.windows_path(WRONG_PLACES), "id=de-DE"], (),
     {"IDS_REPORT_PROGRESS"}),
    ("services answer 1", ["id=de-DE"], ("--services-answer-1",), ALL),
    ("service answers null", ["id=de-DE", "null=1"], (), ALL),
    ("module without strings", ["pack=" + desk.windows_path(NO_STRINGS), "id=de-DE"], (), ALL),
]


def numbered(text):
    """The text with its numbered places and numbers alike, so that a text shown matches its string."""
    return re.sub(r"%[1-9]|\d+", "#", text)


def string_table(rc):
    """{name: text} of the .rc's STRINGTABLE, numbered strings by their name in resource_ids.h."""
    with open(os.path.join(SOURCE, "resources", "resource_ids.h"), encoding="utf-8") as f:
        names = {number: name for name, number in re.findall(r"#define (\w+) (\d+)", f.read())}
    with open(rc, encoding="utf-8") as f:
        table = re.search(r"^STRINGTABLE\s+BEGIN(.*?)^END", f.read(), re.S | re.M).group(1)
    return {names.get(key, key): text.replace('""', '"')
            for key, text in re.findall(r'^\s*(\w+)\s+"((?:[^"]|"")*)"\s*$', table, re.M)}


ENGLISH = string_table(os.path.join(SOURCE, "resources", "gen_id3vimbrel.rc"))
GERMAN_TEXTS = string_table(os.path.join(SOURCE, "resources", "lang", "de-DE.rc"))


def write_long_track(path):
    """A track whose tag has no room for a rating and so large that it is written in
    slices for seconds: the library command shows its progress meanwhile."""
    make_music.write_untagged(path, frames=33 * 1024 * 1024 // make_music.FRAME_BYTES)
    tags = ID3()
    tags.add(TIT2(encoding=3, text="A long title"))
    tags.save(path, v2_version=3, padding=lambda info: 0)


class LanguageInThePlayer(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(SCRATCH, ignore_errors=True)
        for folder in (EMPTY, NO_STRINGS):
            os.makedirs(folder)
        shutil.copyfile(os.path.join(BUILD, "player", "vimbrel_host.exe"),
                        os.path.join(NO_STRINGS, "gen_id3vimbrel.lng"))

    def shown(self, name, language, extra):
        """What the plugin shows in that player: {string name: text}."""
        folder = os.path.join(SCRATCH, name.replace(" ", "-"))
        os.makedirs(os.path.join(folder, "Plugins"))
        # The library writes ratings itself: the notice shows before the first choice.
        with open(os.path.join(folder, "Plugins", "gen_ml.ini"), "w") as f:
            f.write("[gen_ml_config]\nwriteratings=1\n")
        with open(os.path.join(folder, "player.ini"), "w", encoding="utf-8") as f:
            f.write("[language]\n%s\n" % "\n".join(language) if language is not None else "")
        track = os.path.join(folder, TRACK)
        make_music.write_tagged(track, "A title", None, 3)
        os.chmod(track, 0o444)
        with open(os.path.join(folder, "playlist.txt"), "w", encoding="utf-8") as f:
            f.write("%s\tA title\n" % desk.windows_path(track))
        write_long_track(os.path.join(folder, LONG_TRACK))
        with open(os.path.join(folder, "library.txt"), "w", encoding="utf-8") as f:
            f.write("4\t%s\n" % desk.windows_path(os.path.join(folder, LONG_TRACK)))
        extra = ["--library", desk.windows_path(os.path.join(folder, "library.txt"))] + list(extra)
        player = desk.Player(BUILD, dict(os.environ), os.path.join(folder, "playlist.txt"),
                             os.path.join(folder, "player.ini"), extra=extra)
        try:
            player.wait_for("ready")
            player.command("config")
            player.command("choose 3")
            balloon = player.wait_for("tray modify")
            self.assertIn(' balloon="', balloon, name)
            # The config question, then the notice before the choice is written.
            boxes = [re.match(r'box caption="(.*)" text="(.*)"$', line).groups()
                     for line in player.lines if line.startswith("box ")]
            self.assertEqual(len(boxes), 2, name)
            self.assertEqual(boxes[0][0], boxes[1][0], name)
            shown = {"IDS_CAPTION": boxes[0][0], "IDS_ASK_DISABLE": boxes[0][1], "IDS_LIBRARY_NOTICE": boxes[1][1],
                     "IDS_NOT_SAVED_READ_ONLY": balloon.split(' balloon="')[1][:-1].replace(TRACK, "%1")}
            for line in player.lines:
                hotkey = re.match(r'hotkey added id="id3vimbrel (.*?)" name="(.*?)"', line)
                if hotkey:
                    shown[HOTKEYS[hotkey.group(1)]] = hotkey.group(2)
            player.command("prefs open")
            texts = {control: self.control_text(player, control) for control in range(201, 209)}
            shown.update({key: texts[control] for control, key in PREFS.items()})
            # The library's long track is written for seconds: the report shows the progress meanwhile.
            player.command("prefs click 204")
            shown["IDS_REPORT_PROGRESS"] = self.control_text(player, 207)
            return shown
        finally:
            player.quit()
            player.proc.stdout.close()
            os.chmod(track, 0o644)

    def control_text(self, player, control):
        player.command("prefs get %d" % control)
        return re.match(r'prefs \d+ text="(.*)" checked=', player.lines[-2]).group(1)

    def test_the_plugins_words_come_from_the_players_language(self):
        self.assertTrue(os.path.exists(GERMAN), "the German module is not built: " + GERMAN)
        for name, language, extra, english in PLAYERS:
            with self.subTest(player=name):
                shown = self.shown(name, language, extra)
                self.assertEqual(len(shown), 5 + len(HOTKEYS) + len(PREFS), name)
                for key, text in shown.items():
                    expected = ENGLISH if english is ALL or key in english else GERMAN_TEXTS
                    self.assertEqual(numbered(text), numbered(expected[key]), "%s: %s" % (name, key))


if __name__ == "__main__":
    unittest.main()
