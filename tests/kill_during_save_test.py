#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""A real kill under Wine: the stand-in player is killed (SIGKILL, as a crash or
the task manager ends it) while a 48 MB track whose tag must grow is being
saved in slices, started again, and the track rated again. Afterwards the track
is whole, holds the new rating and nothing else changed (mutagen reads the tag;
the audio after it is byte for byte the original), and nothing is left beside
it. Two stages: killed while the copy is being written (the track free), and
while the copy is being copied back over the track the player holds. Four
tracks: an MP3 whose ID3v2.4 tag has no padding, a FLAC without a PADDING
block, whose comment cannot grow in place either, an M4A (ALAC, made by
ffmpeg) whose movie comes before its media data with no free room, so that
every chunk offset moves, and a WMA (ffmpeg's, without padding) whose header
is made anew."""
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest

from mutagen.asf import ASF
from mutagen.flac import FLAC
from mutagen.id3 import ID3, TIT2, TPE1
from mutagen.mp4 import MP4

BUILD = os.path.abspath(sys.argv[1])
sys.argv[1:] = []
SCRATCH = os.path.join(os.environ.get("VIMBREL_SCRATCH", os.path.join(BUILD, "test-scratch")), "kill_during_save")
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
import desktop_session as desk  # noqa: E402
import make_music  # noqa: E402

AUDIO_FRAMES = 48 * 1024 * 1024 // make_music.FRAME_BYTES
FIVE_STARS = 255
ASF_HEADER = bytes.fromhex("3026b2758e66cf11a6d900aa0062ce6c")


def audio():
    """MPEG frames each numbered in its payload, so that audio shifted by whole frames shows."""
    filler = bytes(make_music.FRAME_BYTES - len(make_music.FRAME_HEADER) - 4)
    return b"".join(make_music.FRAME_HEADER + n.to_bytes(4, "big") + filler for n in range(AUDIO_FRAMES))


def flac_audio():
    """FLAC frame-like blocks, each numbered, starting with a frame's sync code."""
    block = 4096
    filler = bytes(block - 6)
    return b"".join(b"\xff\xf8" + n.to_bytes(4, "big") + filler for n in range(48 * 1024 * 1024 // block))


def flac_block(kind, body, last):
    return bytes([kind | (0x80 if last else 0)]) + len(body).to_bytes(3, "big") + body


def flac_track():
    """fLaC, STREAMINFO (44.1 kHz, stereo, 16 bits) and a VORBIS_COMMENT that is the last block:
    no PADDING, so a RATING field does not fit in place."""
    info = (4096).to_bytes(2, "big") * 2 + bytes(6)
    info += ((44100 << 44) | (1 << 41) | (15 << 36) | 44100 * 60).to_bytes(8, "big") + bytes(16)
    fields = [b"TITLE=A long track", b"ARTIST=The Stand-ins"]
    comment = len(b"vimbrel test").to_bytes(4, "little") + b"vimbrel test" + len(fields).to_bytes(4, "little")
    comment += b"".join(len(f).to_bytes(4, "little") + f for f in fields)
    return b"fLaC" + flac_block(0, info, False) + flac_block(4, comment, True) + flac_audio()


def m4a_track(path):
    """About 48 MB of ALAC over noise (which it cannot compress), the movie first."""
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "anoisesrc=d=275:c=white:a=0.5",
                    "-ac", "2", "-c:a", "alac", "-metadata", "title=A long track", "-metadata",
                    "artist=The Stand-ins", "-movflags", "+faststart", path], check=True)


def wma_track(path):
    """About 48 MB of WMA over noise, its header without padding."""
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "anoisesrc=d=640:c=white:a=0.5", "-ac", "2",
                    "-c:a", "wmav2", "-b:a", "320k", "-metadata", "title=A long track", "-metadata",
                    "artist=The Stand-ins", path], check=True)


def asf_attributes(path):
    return sorted((k, repr(v)) for k, v in ASF(path).tags.as_dict().items() if k != "WM/SharedUserRating")


def mdat_payload(data):
    at = 0
    while at + 8 <= len(data):
        size, name = int.from_bytes(data[at:at + 4], "big"), data[at + 4:at + 8]
        if name == b"mdat":
            return data[at + 8:at + size]
        at += size
    raise AssertionError("no mdat")


def decoded(path):
    return subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "md5", "-"], check=True,
                          capture_output=True, text=True).stdout


def tag_end(data):
    """Where the audio starts: after the ID3v2 tag, the FLAC metadata, or the ASF header, at the start of
    the bytes."""
    if data[:16] == ASF_HEADER:
        return int.from_bytes(data[16:24], "little")
    if data[:4] == b"fLaC":
        at = 4
        while True:
            last = data[at] & 0x80
            at += 4 + int.from_bytes(data[at + 1:at + 4], "big")
            if last:
                return at
    assert data[:3] == b"ID3", "no ID3v2 tag at the start"
    size = 0
    for byte in data[6:10]:
        size = (size << 7) | (byte & 0x7F)
    return 10 + size + (10 if data[5] & 0x10 else 0)


def first_difference(a, b):
    """The offset of the first byte where a and b differ, None when they are equal."""
    if a == b:
        return None
    return next((i for i in range(0, min(len(a), len(b)), 4096) if a[i:i + 4096] != b[i:i + 4096]),
                min(len(a), len(b)))


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def wait_until(condition, timeout, what):
    end = time.time() + timeout
    while time.time() < end:
        if condition():
            return
        time.sleep(0.002)
    raise AssertionError("timed out waiting until " + what)


class KillDuringSave(unittest.TestCase):
    def setUp(self):
        self.player = None
        self.music = os.path.join(SCRATCH, "music")
        self.playlist = os.path.join(SCRATCH, "playlist.txt")
        self.use_format("mp3")

    def use_format(self, extension):
        self.extension = extension
        self.track = os.path.join(self.music, "track." + extension)

    def tearDown(self):
        if self.player is not None:
            self.kill_player()

    def place_track(self):
        shutil.rmtree(SCRATCH, ignore_errors=True)
        os.makedirs(self.music)
        os.makedirs(os.path.join(SCRATCH, "Plugins"))
        # An ID3v2.4 tag without padding: a POPM does not fit, so the file is made anew,
        # and at 48 MB in slices from the player's timer.
        if self.extension in ("m4a", "wma"):
            (m4a_track if self.extension == "m4a" else wma_track)(self.track)
            self.decoded = decoded(self.track)
            self.attributes = asf_attributes(self.track) if self.extension == "wma" else None
        else:
            with open(self.track, "wb") as f:
                f.write(flac_track() if self.extension == "flac" else audio())
        if self.extension == "mp3":
            tags = ID3()
            tags.add(TIT2(encoding=3, text="A long track"))
            tags.add(TPE1(encoding=3, text="The Stand-ins"))
            tags.save(self.track, v2_version=4, padding=lambda info: 0)
        self.original = read_bytes(self.track)
        with open(self.playlist, "w", encoding="utf-8") as f:
            f.write("%s\tA long track\n" % desk.windows_path(self.track))

    def start_player(self, held):
        self.player = desk.Player(BUILD, dict(os.environ), self.playlist, os.path.join(SCRATCH, "player.ini"))
        self.player.wait_for("ready")
        if held:
            self.player.command("hold")
            self.assertIn("held 1", self.player.lines)

    def kill_player(self):
        self.player.proc.send_signal(signal.SIGKILL)
        self.player.proc.wait()
        self.player.proc.stdin.close()
        self.player.proc.stdout.close()
        self.player = None

    def wait_for(self, prefix, timeout):
        """The player's wait_for, with a deadline also while the player says nothing:
        then the player is killed, and the wait fails with what it said last."""
        watchdog = threading.Timer(timeout, self.player.proc.kill)
        watchdog.start()
        try:
            return self.player.wait_for(prefix, timeout)
        finally:
            watchdog.cancel()

    def beside_track(self):
        return sorted(name for name in os.listdir(self.music) if name != os.path.basename(self.track))

    def files_beside(self):
        """{path: size} of the files beside the track; one may go while they are listed."""
        sizes = {}
        for name in self.beside_track():
            try:
                sizes[os.path.join(self.music, name)] = os.path.getsize(os.path.join(self.music, name))
            except FileNotFoundError:
                pass
        return sizes

    def largest_beside(self):
        """The largest file beside the track (the copy being made), or None."""
        sizes = self.files_beside()
        return max(sizes, key=sizes.get, default=None)

    def copy_size(self):
        return max(self.files_beside().values(), default=0)

    def choose_and_kill(self, held):
        """Chooses 4 stars for a fresh track and kills the player in the middle of the
        write's stage. Returns why the kill missed that stage, or None when it did not."""
        self.place_track()
        self.start_player(held)
        at_start = os.stat(self.track)
        self.player.command("choose 4")
        if held:
            # The copy back has begun when the track itself is written.
            wait_until(lambda: os.stat(self.track).st_mtime_ns != at_start.st_mtime_ns, 60,
                       "the copy is copied back over the held track")
        else:
            wait_until(lambda: self.copy_size() > len(self.original) // 4, 60, "a quarter of the copy is written")
        self.kill_player()
        if held:
            torn = read_bytes(self.track)
            copy = self.largest_beside()
            if torn == self.original:
                return "the copy back had not begun"
            if copy is None or torn == read_bytes(copy):
                return "the copy back had ended"
        else:
            if read_bytes(self.track) != self.original:
                return "the track was written before the copy was complete"
            if self.copy_size() >= len(self.original):
                return "the copy was complete"
        return None

    def rate_again_and_check(self, held, stage):
        self.start_player(held)
        self.player.command("choose 5")
        # Saved when the icon shows 5 stars and the tooltip no progress; a balloon says it was not.
        end = time.time() + 60
        while True:
            line = self.wait_for("tray ", end - time.time())
            self.assertNotIn("balloon=", line, stage)
            if line.startswith("tray modify stars=5 tip=\"A long track\""):
                break
        if held:
            self.player.command("release")
        self.player.quit()
        self.player.proc.stdout.close()
        self.player = None

        after = read_bytes(self.track)
        if self.extension == "m4a":
            differs = first_difference(mdat_payload(after), mdat_payload(self.original))
        else:
            differs = first_difference(after[tag_end(after):], self.original[tag_end(self.original):])
        self.assertIsNone(differs, "%s: the audio after the tag differs from byte %s on"
                          % (stage, differs))
        if self.extension == "wma":
            self.assertEqual(decoded(self.track), self.decoded, stage + ": decoded audio")
            self.assertEqual(ASF(self.track).tags["WM/SharedUserRating"], [99], stage + ": the rating")
            self.assertEqual(asf_attributes(self.track), self.attributes, stage + ": the other attributes")
        elif self.extension == "m4a":
            # Every chunk offset follows the media data: the decoded audio is the same.
            self.assertEqual(decoded(self.track), self.decoded, stage + ": decoded audio")
            tags = MP4(self.track).tags
            self.assertEqual((tags["\xa9nam"], tags["\xa9ART"], tags["rate"]),
                             (["A long track"], ["The Stand-ins"], ["100"]), stage + ": items")
        elif self.extension == "flac":
            # STREAMINFO byte for byte, the fields as they were and the player's RATING for 5 stars.
            self.assertEqual(after[4:42], self.original[4:42], stage + ": STREAMINFO")
            tags = FLAC(self.track).tags
            self.assertEqual(list(tags), [("TITLE", "A long track"), ("ARTIST", "The Stand-ins"), ("RATING", "100")],
                             stage + ": fields")
        else:
            tags = ID3(self.track)
            self.assertEqual(str(tags["TIT2"]), "A long track", stage)
            self.assertEqual(str(tags["TPE1"]), "The Stand-ins", stage)
            self.assertEqual(sorted(tags.keys()), ["POPM:ID3Vimbrel", "TIT2", "TPE1"], stage + ": frames")
            self.assertEqual(tags["POPM:ID3Vimbrel"].rating, FIVE_STARS,
                             stage + ": the rating chosen after the restart")
        self.assertEqual(self.beside_track(), [], stage + ": files left beside the track")

    def test_killed_while_copying_then_while_copying_back(self):
        self.kill_in_both_stages()

    def test_flac_without_padding_killed_while_copying_then_while_copying_back(self):
        self.use_format("flac")
        self.kill_in_both_stages()

    def test_m4a_movie_first_without_room_killed_while_copying_then_while_copying_back(self):
        self.use_format("m4a")
        self.kill_in_both_stages()

    def test_wma_without_padding_killed_while_copying_then_while_copying_back(self):
        self.use_format("wma")
        self.kill_in_both_stages()

    def kill_in_both_stages(self):
        for held, stage in [(False, "killed while the copy was written"),
                            (True, "killed while the copy was copied back over the held track")]:
            stage = self.extension + ", " + stage
            with self.subTest(stage):
                # The kill races the write: a kill that comes too early or too late is tried again.
                for _ in range(3):
                    if self.player is not None:
                        self.kill_player()
                    missed = self.choose_and_kill(held)
                    if missed is None:
                        break
                self.assertIsNone(missed, stage + ": the kill never came in time")
                self.rate_again_and_check(held, stage)


if __name__ == "__main__":
    unittest.main()
