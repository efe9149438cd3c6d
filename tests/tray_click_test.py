#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""End to end on a real notification area (Xvfb with Wine's desktop shell):
a mouse click on the tray icon opens the star menu, a click on a row writes
the rating into the file, and the icon follows. The screenshot of the open
menu is kept in BUILD/test-artifacts/."""
import os
import shutil
import sys
import time
import unittest

from mutagen.id3 import ID3, POPM

BUILD = os.path.abspath(sys.argv[1])
sys.argv[1:] = []
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
import desktop_session as desk  # noqa: E402
import make_music  # noqa: E402

SCRATCH = os.path.join(os.environ.get("VIMBREL_SCRATCH", os.path.join(BUILD, "test-scratch")), "tray_click")
ARTIFACTS = os.path.join(BUILD, "test-artifacts")


def wait_until(condition, timeout=10):
    end = time.time() + timeout
    while time.time() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.3)
    return condition()


class TrayClick(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(SCRATCH, ignore_errors=True)
        os.makedirs(os.path.join(SCRATCH, "Plugins"))
        os.makedirs(ARTIFACTS, exist_ok=True)
        self.song = os.path.join(SCRATCH, "song.mp3")
        make_music.write_untagged(self.song)
        tags = ID3()
        tags.add(POPM(email="someone@example.com", rating=128, count=1))  # 3 stars
        tags.save(self.song, v2_version=3)
        self.playlist = os.path.join(SCRATCH, "playlist.txt")
        with open(self.playlist, "w", encoding="utf-8") as f:
            f.write("%s\tA song to rate\n" % desk.windows_path(self.song))
        self.xvfb = desk.Xvfb()
        self.env = desk.wine_env(os.path.join(BUILD, "wineprefix-desktop"), self.xvfb.display)
        desk.prepare_prefix(self.env)
        self.player = desk.Player(BUILD, self.env, self.playlist, os.path.join(SCRATCH, "player.ini"))

    def tearDown(self):
        self.player.quit()
        desk.quiet(["wineserver", "-k"], self.env, check=False)
        self.xvfb.close()

    def test_click_icon_then_row_writes_the_file(self):
        display = self.xvfb.display
        self.player.wait_for("ready")
        self.player.command("notify 603 2")  # the icon shows the file's rating
        self.player.wait_for("tray modify stars=3")
        icon = wait_until(lambda: desk.find_tray_icon(desk.screenshot(display)))
        self.assertIsNotNone(icon, "no tray icon on the screen")
        self.assertEqual(wait_until(lambda: desk.tray_stars(desk.screenshot(display)) == 3), True)

        desk.click(display, *icon)
        menu_png = os.path.join(ARTIFACTS, "star-menu.png")
        rows = wait_until(lambda: desk.menu_rows(desk.screenshot(display, menu_png), 3))
        self.assertTrue(rows, "no star menu with an orange row on the screen")
        image = desk.screenshot(display)
        # Six rows: grey-blue stars above and below the current one, inside the menu.
        blue_rows = [s for s, (x, y) in rows.items()
                     if s not in (0, 3) and image.find(desk.is_grey_blue, (x - 20, y - 9, x + 70, y + 9))]
        self.assertEqual(sorted(blue_rows), [1, 2, 4, 5])

        desk.click(display, *rows[5])
        self.player.wait_for("tray modify stars=5")
        self.assertEqual(ID3(self.song).getall("POPM")[0].rating, 255)
        self.assertEqual(wait_until(lambda: desk.tray_stars(desk.screenshot(display)) == 5), True)


if __name__ == "__main__":
    unittest.main()
