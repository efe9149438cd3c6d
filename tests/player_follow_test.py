#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""End to end in the stand-in player with the platform's own timer: three files
rated by mutagen, and the icon follows the current entry as the player
announces each new title."""
import os
import sys
import unittest

from mutagen.id3 import ID3, POPM, TIT2

BUILD = os.path.abspath(sys.argv[1])
sys.argv[1:] = []
SCRATCH = os.path.join(os.environ.get("VIMBREL_SCRATCH", os.path.join(BUILD, "test-scratch")), "player_follow")
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
import desktop_session as desk  # noqa: E402
import make_music  # noqa: E402


class IconFollowsThePlayer(unittest.TestCase):
    def test_switching_entries_shows_each_files_rating(self):
        os.makedirs(os.path.join(SCRATCH, "Plugins"), exist_ok=True)
        playlist = os.path.join(SCRATCH, "playlist.txt")
        with open(playlist, "w", encoding="utf-8") as f:
            for i, rating in enumerate([1, 128, 255]):
                path = os.path.join(SCRATCH, "song%d.mp3" % i)
                make_music.write_untagged(path)
                tags = ID3()
                tags.add(TIT2(encoding=3, text="Song %d" % i))
                tags.add(POPM(email="someone@example.com", rating=rating, count=2))
                tags.save(path, v2_version=3)
                f.write("%s\tSong number %d\n" % (desk.windows_path(path), i))

        player = desk.Player(BUILD, dict(os.environ), playlist, os.path.join(SCRATCH, "player.ini"), playing=1)
        try:
            player.wait_for("ready")
            for index, stars in enumerate([1, 3, 5]):
                player.command("current %d" % index)
                player.command("notify 603 0")
                line = player.wait_for("tray modify")
                self.assertIn("stars=%d " % stars, line)
                self.assertIn('tip="Song number %d"' % index, line)
            # While playing, the new title reached the player as a rating change first.
            received = [l for l in player.lines if l.startswith("host got 603")]
            self.assertEqual(received[:2], ["host got 603/6", "host got 603/0"])
        finally:
            player.quit()


if __name__ == "__main__":
    unittest.main()
