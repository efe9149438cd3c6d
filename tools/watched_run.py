#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Runs the plugin in the stand-in player where a person can see it.

With an X display the player runs there until its window is closed. Without
one it starts Xvfb with Wine's desktop shell (which has a notification area),
walks through what a person does (the icon appears, the track changes and the
icon follows, a click opens the star menu, a click on a row rates the track,
the icon follows, a choice on a read-only file brings a balloon that says so, a
global hotkey rates the playing track one star more and the icon follows, the
player's own "rate current item" key rates it in the player's media library and
the plugin writes that into the file, the plugin's preferences page saves the
library's ratings into a thousand files with its progress bar filling)
and saves a screenshot of each step, the tray enlarged beside the full screen.
It fails when a screenshot does not show what it should, or a file does not
hold the rating it should.
usage: watched_run.py BUILD_DIR
"""
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop_session as desk  # noqa: E402
import make_music  # noqa: E402

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
OUT = os.path.join(BUILD, "run")
PREFIX = os.path.join(BUILD, "wineprefix-run")
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
# The German translation, beside the player where its language service looks for
# the pack's modules (Lang\<id>\); built with the stand-in player.
GERMAN_MODULE = os.path.join(BUILD, "player", "Lang", "de-DE", "gen_id3vimbrel.lng")


# The keys the stand-in's Global Hotkeys bind to the plugin's actions, and to
# the player's own (which rate the playing track in its media library).
HOTKEYS = dict([("id3vimbrel rate %d" % n, "ctrl+alt+%d" % n) for n in range(6)]
               + [("id3vimbrel rate up", "ctrl+alt+up"), ("id3vimbrel rate down", "ctrl+alt+down")]
               + [("rate current item %d" % n, "ctrl+shift+%d" % n) for n in range(6)])

# The media library's own tracks, beside the playlist's: enough for the
# preferences page's progress bar to be seen filling.
LIBRARY_TRACKS = 1000
# Controls of the plugin's preferences page (resources/resource_ids.h).
PREFS_SAVE_LIBRARY, PREFS_PROGRESS, PREFS_REPORT = 204, 205, 207
# The page's controls whose text is one of the plugin's strings, and that string.
PREFS_TEXTS = {201: "IDS_PREFS_ACTIVE", 202: "IDS_PREFS_SAVE_PLAYER_RATINGS", 203: "IDS_PREFS_LIBRARY_WINS",
               204: "IDS_PREFS_SAVE_LIBRARY", 206: "IDS_PREFS_CANCEL", 208: "IDS_PREFS_LIBRARY_GROUP"}


def write_player_ini(path):
    with open(path, "w", encoding="ascii") as f:
        f.write("[hotkeys]\n")
        for action, key in HOTKEYS.items():
            f.write("%s=%s\n" % (action, key))


def make_playlist():
    """The playlist file and its entries, [(path, title)]."""
    folder = os.path.join(OUT, "music")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    os.makedirs(os.path.join(OUT, "Plugins"), exist_ok=True)
    playlist = os.path.join(OUT, "playlist.txt")
    entries = make_music.make_demo_library(folder)
    with open(playlist, "w", encoding="utf-8") as f:
        for path, title in entries:
            f.write("%s\t%s\n" % (desk.windows_path(path), title))
    return playlist, entries


def make_library(entries):
    """The media library's file: the playlist's tracks with the ratings their
    files hold, and LIBRARY_TRACKS tracks of its own without a rating in their
    files, rated 1 to 5 in the library. The library does not write ratings into
    files itself (its gen_ml.ini beside the player's ini, writeratings=0): the
    plugin does. Returns the file and the library's own tracks, [(path, stars)]."""
    with open(os.path.join(OUT, "Plugins", "gen_ml.ini"), "w", encoding="ascii") as f:
        f.write("[gen_ml_config]\nwriteratings=0\n")
    tracks = make_music.write_rating_library(os.path.join(OUT, "library-music"), LIBRARY_TRACKS)
    library = os.path.join(OUT, "library.txt")
    with open(library, "w", encoding="utf-8") as f:
        for path, _ in entries:
            f.write("%d\t%s\n" % (make_music.file_rating(path)[0], desk.windows_path(path)))
        for path, stars in tracks:
            f.write("%d\t%s\n" % (stars, desk.windows_path(path)))
    return library, tracks


def unix_path(windows_path):
    return windows_path[2:].replace("\\", "/") if windows_path.startswith("Z:") else windows_path


class Steps:
    def __init__(self, display):
        self.display = display
        self.number = 0
        self.failures = []

    def wait_for_screen(self, check, timeout=10):
        end = time.time() + timeout
        while True:
            image = desk.screenshot(self.display)
            if check(image) or time.time() > end:
                return image

    def record(self, name, check, expectation, timeout=10):
        """Screenshots the step once the screen shows it, or after a while; the
        picture saved is the one checked."""
        self.number += 1
        full = os.path.join(OUT, "%d-%s-full.png" % (self.number, name))
        end = time.time() + timeout
        while True:
            image = desk.screenshot(self.display, full)
            if check(image) or time.time() > end:
                break
        tray = os.path.join(OUT, "%d-%s-tray.png" % (self.number, name))
        x0, y0, x1, y1 = desk.tray_box()
        desk.crop_enlarged(full, (x1 - 80, y0, x1, y1), tray, scale=6)
        step = os.path.join(OUT, "%d-%s.png" % (self.number, name))
        desk.side_by_side(full, tray, step)
        os.remove(full)
        os.remove(tray)
        ok = check(image)
        print("step %d, %s: %s (%s)" % (self.number, name, "ok" if ok else "NOT SEEN", expectation))
        print("  screenshot: " + step)
        if not ok:
            self.failures.append(name)
        return image

    def verify(self, what, ok):
        """A check of the files or the player's words beside the screen's."""
        print("  check, %s: %s" % (what, "ok" if ok else "WRONG"))
        if not ok:
            self.failures.append(what)
        return ok

    def file_holds(self, path, stars):
        held, byte = make_music.file_rating(path)
        return self.verify("%s holds %d stars (its POPM's rating byte is %s)" % (os.path.basename(path), stars, byte),
                           held == stars)


def shows_stars(stars):
    return lambda image: desk.tray_stars(image) == stars


class ShowsProgress:
    """A check of the screen: the preferences page's progress bar is filled at
    least to `percent` (less a pixel or two), never empty; it keeps what it saw."""

    def __init__(self, percent):
        self.percent = percent
        self.seen = None

    def __call__(self, image):
        self.seen = desk.progress_bar(image)
        if not self.seen:
            return False
        filled, width = self.seen
        return filled > 0 and filled >= width * self.percent // 100 - 2

    def describe(self):
        if not self.seen:
            return "no progress bar on the screen"
        return "the progress bar %d of %d pixels filled (%d%%)" % (
            self.seen[0], self.seen[1], round(100.0 * self.seen[0] / self.seen[1]))


def prefs_control(player, control):
    """What the stand-in says of a control of the preferences page."""
    player.command("prefs get %d" % control)
    said = [line for line in player.lines if line.startswith("prefs %d " % control)]
    return said[-1] if said else ""


def library_ratings(player):
    """{unix path: stars} as the player's media library holds them now."""
    since, echo = len(player.lines), player.echo
    player.echo = False  # a line a track
    player.command("library")
    player.echo = echo
    ratings = {}
    for line in player.lines[since:]:
        if line.startswith("library entry "):
            stars, path = line[len("library entry "):].split(" ", 1)
            ratings[unix_path(path)] = int(stars)
    if echo:
        print("  player: the library lists %d tracks" % len(ratings))
    return ratings


def walk_through(display, env):
    playlist, entries = make_playlist()
    library, library_tracks = make_library(entries)
    write_player_ini(os.path.join(OUT, "player.ini"))
    player = desk.Player(BUILD, env, playlist, os.path.join(OUT, "player.ini"), playing=1, echo=True,
                         extra=["--library", desk.windows_path(library)])
    steps = Steps(display)
    try:
        player.wait_for("ready")
        steps.record("icon-appears", shows_stars(0), "the tray icon, 0 stars")

        player.command("current 0")
        player.command("notify 603 0")
        steps.record("track-morning-fields", shows_stars(2), "a new track rated 2 stars in ID3v2.3")
        player.command("current 1")
        player.command("notify 603 0")
        steps.record("track-harbour-lights", shows_stars(4), "a new track rated 4 stars in ID3v2.4")

        icon = desk.find_tray_icon(desk.screenshot(display))
        if icon is None:
            steps.failures.append("no tray icon to click")
            return steps
        desk.click(display, *icon)
        image = steps.record("star-menu", lambda image: len(desk.menu_rows(image, 4)) == 6,
                             "six star rows, the 4-star row orange")
        rows = desk.menu_rows(image, 4)
        if rows:
            desk.click(display, *rows[5])
            player.wait_for("tray modify stars=5")
        steps.record("rated-five-stars", shows_stars(5), "the file rated 5 stars, the icon follows")

        # The same track made read-only: the choice is refused and a balloon says why.
        harbour_lights = entries[1][0]
        os.chmod(harbour_lights, 0o444)
        desk.click(display, *icon)
        rows = desk.menu_rows(steps.wait_for_screen(lambda image: len(desk.menu_rows(image, 5)) == 6), 5)
        if rows:
            desk.click(display, *rows[2])
            player.wait_for('tray modify stars=-1 tip="" ok=1 balloon="The rating was not saved: '
                            'harbour_lights.mp3 is read-only."')
        steps.record("not-saved-balloon", lambda image: desk.shows_balloon(image) and desk.tray_stars(image) == 5,
                     "a balloon: the rating was not saved, the file is read-only; still 5 stars")
        os.chmod(harbour_lights, 0o644)

        player.command("current 3")
        player.command("notify 603 0")
        steps.record("track-named-in-greek-and-japanese", shows_stars(3),
                     "a track named outside the code page shows its own rating, 3 stars")
        player.command("current 4")
        player.command("notify 603 0")
        steps.record("track-named-in-polish", shows_stars(1),
                     "\u0141\u00f3d\u017a.mp3 shows its own 1 star, not the 4 stars of its best-fit twin L\u00f3dz.mp3")

        # The player's Global Hotkeys: ctrl+alt+up is "one star more" on the playing track.
        bound = [l for l in player.lines if l.startswith('hotkey added id="id3vimbrel rate up"')]
        if not bound or "bound=1" not in bound[0]:
            steps.failures.append("the key of 'one star more' was not bound")
        desk.press_keys(display, "ctrl+alt+Up")
        player.wait_for('host got 3005 path="%s"' % desk.windows_path(entries[4][0]))
        player.wait_for("tray modify stars=2")
        steps.record("hotkey-one-star-more", shows_stars(2),
                     "ctrl+alt+up: \u0141\u00f3d\u017a.mp3 rated 2 stars, the player told (3005), "
                     "the icon follows")

        player_key(steps, player, display, entries[4][0])
        library_into_files(steps, player, library_tracks)
    finally:
        for path, _ in entries:
            os.chmod(path, 0o644)
        player.quit()
    in_german(steps, display, env, playlist, entries, 1)
    return steps


def player_key(steps, player, display, playing):
    """The player's own "rate current item 4" key (ctrl+shift+4): the player rates the
    playing track in its media library (its message 639), which writes no files, and the
    plugin writes the library's rating into the file, tells the player (3005), and the
    icon follows."""
    bound = [l for l in player.lines if l.startswith('hotkey player id="rate current item 4"')]
    steps.verify("the player's own key for 'rate current item 4' is bound", bool(bound) and "bound=1" in bound[0])
    desk.press_keys(display, "ctrl+shift+4")
    player.wait_for("host got 639/4")  # the player's own rating message, not one of the plugin's actions
    player.wait_for('host got 3005 path="%s"' % desk.windows_path(playing))
    player.wait_for("tray modify stars=4")
    steps.record("player-key-rates-four-stars", shows_stars(4),
                 "ctrl+shift+4, the player's 'rate current item 4': \u0141\u00f3d\u017a.mp3 rated 4 stars "
                 "in its library and in the file, the player told (3005), the icon follows")
    steps.file_holds(playing, 4)
    steps.verify("the media library rates \u0141\u00f3d\u017a.mp3 4 stars", library_ratings(player).get(playing) == 4)


def library_into_files(steps, player, library_tracks):
    """The preferences page's "Save the library's ratings into the files" on the
    library's own tracks and the playlist's: the progress bar fills, the report
    counts the files, and each file the library rates holds its rating, or its
    own where it held another."""
    ratings = library_ratings(player)
    before = {path: make_music.file_rating(path)[0] for path, stars in ratings.items() if stars > 0}
    counts = {"rated": 0, "already": 0, "kept": 0}
    for path, held in before.items():
        kind = "rated" if held == 0 else "already" if held == ratings[path] else "kept"
        counts[kind] += 1
    expected_report = "%d rated, %d already held it, %d kept their own rating, 0 not saved" % (
        counts["rated"], counts["already"], counts["kept"])

    since = len(player.lines)
    player.command("prefs open")
    steps.verify("the preferences page opens", "prefs opened" in player.lines[since:])
    # Every file saved is told to the player (3005): a thousand lines, counted not shown.
    player.echo = False
    since = len(player.lines)
    player.command("prefs click %d" % PREFS_SAVE_LIBRARY)
    # The screenshot once the bar is a tenth along: by then the page has painted
    # its "Saving: N of M tracks" too, and most of the files are still to come.
    end = time.time() + 120
    position = 0
    while position < 10 and time.time() < end:
        time.sleep(0.05)
        said = prefs_control(player, PREFS_PROGRESS)
        position = int(said.split(" pos=")[1].split()[0]) if " pos=" in said else 0
    print("  player: " + said)
    check = ShowsProgress(position)
    steps.record("library-saving", check,
                 "the preferences page in the Preferences window saving the library's ratings into "
                 "%d files, its progress bar filled at least to %d%%" % (len(before), position))
    print("  seen: " + check.describe())
    report = ""
    while " not saved" not in report and time.time() < end:
        report = prefs_control(player, PREFS_REPORT)
        time.sleep(0.2)
    player.echo = True
    print("  player: " + report)
    check = ShowsProgress(100)
    steps.record("library-saved", check, "the progress bar full, the report below it: " + expected_report)
    print("  seen: " + check.describe())
    steps.verify("the report says " + expected_report, 'text="%s' % expected_report in report)
    told = set(unix_path(line.split('path="')[1][:-1]) for line in player.lines[since:]
               if line.startswith("host got 3005 path="))
    # A file that keeps its own rating is told too: the library reads that rating from it.
    steps.verify("the player heard of each of the %d files rated or keeping their own rating, and of no "
                 "other (3005)" % (counts["rated"] + counts["kept"]),
                 told == set(path for path, held in before.items() if held != ratings[path]))
    wrong = [path for path, held in before.items()
             if make_music.file_rating(path)[0] != (held if held else ratings[path])]
    steps.verify("the %d files the library rates hold its rating, or their own where they held one "
                 "(%s)" % (len(before), ", ".join(os.path.basename(path) for path in wrong[:5]) or "each one"),
                 not wrong)
    steps.verify("the library's own %d tracks are all among them" % len(library_tracks),
                 all(path in before for path, _ in library_tracks))
    player.command("prefs close")


def string_table(rc):
    """{name: text} of an .rc script's STRINGTABLE, its ids by their names in resource_ids.h."""
    with open(os.path.join(SOURCE, "resources", "resource_ids.h"), encoding="utf-8") as f:
        names = {number: name for name, number in re.findall(r"#define (\w+) (\d+)", f.read())}
    with open(rc, encoding="utf-8") as f:
        table = re.search(r"^STRINGTABLE\s+BEGIN(.*?)^END", f.read(), re.S | re.M).group(1)
    return {names.get(key, key): text.replace('""', '"')
            for key, text in re.findall(r'^\s*(\w+)\s+"((?:[^"]|"")*)"\s*$', table, re.M)}


def in_german(steps, display, env, playlist, entries, current):
    """A second short session of the player, its language German (its ini's
    [language] id=de-DE, so that its language service gives the plugin the module in
    Lang\\de-DE\\ beside the player): a choice on the read-only track brings the
    balloon in German, and the preferences page speaks German."""
    german = string_table(os.path.join(SOURCE, "resources", "lang", "de-DE.rc"))
    folder = os.path.join(OUT, "german")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "Plugins"))  # the plugin's settings, beside the player's ini
    ini = os.path.join(folder, "player.ini")
    with open(ini, "w", encoding="ascii") as f:
        f.write("[language]\nid=de-DE\n")
    track = entries[current][0]
    stars = make_music.file_rating(track)[0]
    name = os.path.basename(track)
    print("The player again, in German (%s), playing %s (%d stars):" % (desk.windows_path(ini), name, stars))
    player = desk.Player(BUILD, env, playlist, ini, playing=1, echo=True)
    try:
        player.wait_for("ready")
        module = [line for line in player.lines if line.startswith("language ")]
        steps.verify("the player's language service gives the plugin " + GERMAN_MODULE,
                     bool(module) and module[-1].endswith(" from " + desk.windows_path(GERMAN_MODULE)))
        player.command("current %d" % current)
        player.command("notify 603 0")

        # The icon follows, and no balloon is left from before: the balloon seen
        # below is the German choice's.
        def fresh(image):
            return desk.tray_stars(image) == stars and not desk.shows_balloon(image)
        image = steps.wait_for_screen(fresh)
        steps.verify("the icon shows %d stars and no balloon is on the screen" % stars, fresh(image))
        icon = desk.find_tray_icon(image)
        os.chmod(track, 0o444)
        since = len(player.lines)
        if icon is not None:
            desk.click(display, *icon)
            rows = desk.menu_rows(steps.wait_for_screen(lambda image: len(desk.menu_rows(image, stars)) == 6), stars)
            if rows:
                desk.click(display, *rows[2])
                steps.wait_for_screen(desk.shows_balloon)
        # A command that changes nothing: the lines the choice made are read up to its answer.
        player.command("playing 1")
        said = [line.split(' balloon="', 1)[1][:-1] for line in player.lines[since:]
                if line.startswith("tray modify stars=-1 ") and ' balloon="' in line]
        expected = german["IDS_NOT_SAVED_READ_ONLY"].replace("%1", name)
        steps.verify('the balloon says "%s" (de-DE.rc\'s IDS_NOT_SAVED_READ_ONLY, the file\'s name in %%1)' % expected,
                     said == [expected])
        steps.record("german-not-saved-balloon",
                     lambda image: desk.shows_balloon(image) and desk.tray_stars(image) == stars,
                     "a balloon in German: the rating was not saved, the file is read-only; still %d stars" % stars)
        os.chmod(track, 0o644)
        steps.file_holds(track, stars)

        since = len(player.lines)
        player.command("prefs open")
        steps.verify("the preferences page opens", "prefs opened" in player.lines[since:])
        for control, string in PREFS_TEXTS.items():
            steps.verify('control %d says "%s" (%s)' % (control, german[string], string),
                         prefs_control(player, control).startswith('prefs %d text="%s" ' % (control, german[string])))
        steps.record("german-preferences", desk.shows_prefs_window,
                     "the plugin's preferences page in German, in the Preferences window")
        player.command("prefs close")
    finally:
        os.chmod(track, 0o644)
        player.quit()


def run_on_display(display):
    env = desk.wine_env(PREFIX, display)
    desk.prepare_prefix(env)
    playlist, _ = make_playlist()
    print("The player runs on %s; close its window to stop." % display)
    subprocess.run(["wine", os.path.join(BUILD, "player", "vimbrel_host.exe"), "--playlist",
                    desk.windows_path(playlist), "--ini", desk.windows_path(os.path.join(OUT, "player.ini")),
                    "--playing", "1"], env=env)


def main():
    os.makedirs(OUT, exist_ok=True)
    display = os.environ.get("DISPLAY", "")
    if display and subprocess.run(["xdpyinfo"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode == 0:
        run_on_display(display)
        return 0

    xvfb = desk.Xvfb()
    env = desk.wine_env(PREFIX, xvfb.display)
    try:
        desk.prepare_prefix(env)
        steps = walk_through(xvfb.display, env)
    finally:
        desk.quiet(["wineserver", "-k"], env, check=False)
        xvfb.close()
    print("Screenshots are in " + OUT)
    if steps.failures:
        print("Not seen: " + ", ".join(steps.failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
