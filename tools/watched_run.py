#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Runs the plugin in the stand-in player where a person can see it.

With an X display the player runs there until its window is closed. Without
one it starts Xvfb with Wine's desktop shell (which has a notification area),
walks through what a person does (the icon appears, the track changes and the
icon follows, a click opens the star menu, a click on a row rates the track,
the icon follows, a choice on a read-only file brings a balloon that says so, a
global hotkey rates the playing track one star more and the icon follows)
and saves a screenshot of each step, the tray enlarged beside the full screen.
It fails when a screenshot does not show what it should.
usage: watched_run.py BUILD_DIR
"""
import os
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


# The keys the stand-in's Global Hotkeys bind to the plugin's actions.
HOTKEYS = dict([("id3vimbrel rate %d" % n, "ctrl+alt+%d" % n) for n in range(6)]
               + [("id3vimbrel rate up", "ctrl+alt+up"), ("id3vimbrel rate down", "ctrl+alt+down")])


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

    def record(self, name, check, expectation):
        """Screenshots the step once the screen shows it, or after a while."""
        self.number += 1
        image = self.wait_for_screen(check)
        full = os.path.join(OUT, "%d-%s-full.png" % (self.number, name))
        desk.screenshot(self.display, full)
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


def shows_stars(stars):
    return lambda image: desk.tray_stars(image) == stars


def walk_through(display, env):
    playlist, entries = make_playlist()
    write_player_ini(os.path.join(OUT, "player.ini"))
    player = desk.Player(BUILD, env, playlist, os.path.join(OUT, "player.ini"), playing=1, echo=True)
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
        return steps
    finally:
        for path, _ in entries:
            os.chmod(path, 0o644)
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
