# SPDX-License-Identifier: LGPL-2.1-or-later
"""Cross-check of the rating store with mutagen.

The store runs under Wine behind tests/rating_tool.exe; mutagen (Debian's
python3-mutagen) writes the files the store reads and reads the files the
store writes.
    python3 rating_crosscheck_test.py BUILD_DIR
Needs WINEPREFIX etc. in the environment (CTest passes them) and uses
VIMBREL_SCRATCH for its files.
"""
import os
import shutil
import sys
import unittest

try:
    from mutagen.id3 import ID3, POPM, TIT2, TPE1, TALB, TRCK, COMM, USLT, APIC, TXXX, PRIV, UFID
except ImportError:
    # Debian's python3-mutagen belongs to the system interpreter; another
    # python3 may come first on the PATH.
    if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    raise

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures"))
import make_fixtures as fx  # noqa: E402
import rating_tool_run as rt  # noqa: E402
from rating_tool_run import winpath  # noqa: E402


def tool(*args):
    return rt.tool(*args).strip()


def read_stars(path):
    return int(tool("read", winpath(path)))


def write_stars(path, stars):
    tool("write", winpath(path), stars)


def v2_frames(path):
    """The ID3v2 frames as mutagen sees them, ID3v1 left out."""
    return ID3(path, load_v1=False)


def popms(path):
    return v2_frames(path).getall("POPM")


def audio_after_tag(path):
    with open(path, "rb") as f:
        data = f.read()
    try:
        return data[ID3(path, load_v1=False).size:]
    except Exception:
        return data


def described(tags, skip="POPM"):
    """Every frame but POPM, as comparable text."""
    return sorted(repr(frame) for key, frame in tags.items() if not key.startswith(skip))


def rich_tags(path):
    """A v2.3 tag with many kinds of frames, saved by mutagen."""
    tags = ID3()
    tags.add(TIT2(encoding=0, text="A title"))
    tags.add(TPE1(encoding=1, text="An artist \u00e9\u4e2d"))
    tags.add(TALB(encoding=0, text="An album"))
    tags.add(TRCK(encoding=0, text="3/12"))
    tags.add(COMM(encoding=0, lang="eng", desc="", text="A comment"))
    tags.add(USLT(encoding=1, lang="eng", desc="", text="Some lyrics\nover two lines"))
    tags.add(APIC(encoding=0, mime="image/png", type=3, desc="cover", data=bytes(range(256)) * 4))
    tags.add(TXXX(encoding=0, desc="KEY", text="value"))
    tags.add(PRIV(owner="owner", data=b"\x00\x01\xff"))
    tags.add(UFID(owner="http://example.org", data=b"id-1234"))
    return tags


class CrossCheck(unittest.TestCase):
    def setUp(self):
        self.dir = os.path.join(rt.SCRATCH, "rating_crosscheck", self._testMethodName)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.audio = fx.mpeg_audio()

    def path(self, name, content=None):
        path = os.path.join(self.dir, name)
        if content is not None:
            with open(path, "wb") as f:
                f.write(content)
        return path

    def assert_audio_kept(self, path, tail=b""):
        """After the ID3v2 tag: the audio, then `tail` (an ID3v1 tag the file had), nothing else."""
        rest = audio_after_tag(path)
        self.assertEqual(rest[:len(self.audio)], self.audio, "audio changed")
        self.assertEqual(rest[len(self.audio):], tail, "the bytes after the audio changed")

    def test_tagless_file_gets_one_popm_of_ours(self):
        path = self.path("tagless.mp3", self.audio)
        self.assertEqual(read_stars(path), 0)
        write_stars(path, 3)
        tags = v2_frames(path)
        self.assertEqual(tags.version[:2], (2, 3))
        self.assertEqual(len(tags), 1, list(tags.keys()))
        (popm,) = tags.getall("POPM")
        self.assertEqual((popm.email, popm.rating), ("ID3Vimbrel", 128))
        self.assert_audio_kept(path)
        self.assertFalse(os.path.exists(path + ".XXXXXX"))

    def test_other_owner_keeps_owner_and_counter(self):
        path = self.path("other.mp3", fx.SAMPLES["v23_other_owner_200.mp3"]())
        before = v2_frames(path)
        self.assertEqual(read_stars(path), 4)
        write_stars(path, 2)
        after = v2_frames(path)
        (popm,) = after.getall("POPM")
        self.assertEqual((popm.email, popm.rating, popm.count), ("someone@example.org", 64, 7))
        self.assertEqual(described(after), described(before))
        self.assert_audio_kept(path)

    def test_reads_rating_bytes_that_mutagen_wrote(self):
        expected = {0: 0, 1: 1, 31: 1, 32: 2, 95: 2, 96: 3, 159: 3, 160: 4, 196: 4, 223: 4, 224: 5, 255: 5}
        for rating, stars in expected.items():
            for count in (None, 3):
                path = self.path("m%d.mp3" % rating, self.audio)
                tags = ID3()
                tags.add(TIT2(encoding=3, text="utf-8 title \u00e9"))
                frame = POPM(email="mutagen@example.org", rating=rating)
                if count is not None:
                    frame.count = count
                tags.add(frame)
                tags.save(path, v2_version=3)
                self.assertEqual(read_stars(path), stars, "byte %d, count %s" % (rating, count))

    def test_choosing_zero_keeps_the_frame(self):
        path = self.path("zero.mp3", self.audio)
        tags = ID3()
        tags.add(POPM(email="ID3Vimbrel", rating=160, count=2))
        tags.save(path, v2_version=3)
        write_stars(path, 0)
        (popm,) = popms(path)
        self.assertEqual((popm.email, popm.rating, popm.count), ("ID3Vimbrel", 0, 2))
        self.assertEqual(read_stars(path), 0)

    def test_all_other_frames_survive(self):
        for padding in (0, 64, 5000):
            for with_popm in (False, True):
                what = "padding %d, %s POPM" % (padding, "with" if with_popm else "without")
                path = self.path("rich.mp3", self.audio)
                tags = rich_tags(path)
                if with_popm:
                    tags.add(POPM(email="x@y", rating=1, count=9))
                tags.save(path, v2_version=3, padding=lambda info: padding)
                before = v2_frames(path)
                write_stars(path, 4)
                after = v2_frames(path)
                self.assertEqual(described(after), described(before), what)
                self.assertEqual(len(after.getall("POPM")), 1, what)
                self.assertEqual(after.getall("POPM")[0].rating, 160, what)
                self.assert_audio_kept(path)
                self.assertEqual(read_stars(path), 4, what)
                self.assertFalse(os.path.exists(path + ".XXXXXX"), what)

    def test_frames_survive_beside_an_id3v1_tag(self):
        # Only the ID3v2 tag is read and written: the ID3v1 fields are not copied
        # into it, and the ID3v1 tag stays as it was.
        path = self.path("v1.mp3", fx.SAMPLES["v23_with_v1.mp3"]())
        before = described(v2_frames(path))
        write_stars(path, 1)
        after = described(v2_frames(path))
        self.assertEqual(after, before)
        self.assertEqual([(p.email, p.rating) for p in popms(path)], [("ID3Vimbrel", 1)])
        self.assert_audio_kept(path, tail=fx.id3v1())

    def test_v22_tag(self):
        path = self.path("v22.mp3", fx.SAMPLES["v22_pop_128.mp3"]())
        self.assertEqual(read_stars(path), 3)
        write_stars(path, 5)
        tags = v2_frames(path)
        self.assertEqual([(p.email, p.rating) for p in tags.getall("POPM")], [("x", 255)])
        self.assertEqual(str(tags["TIT2"]), "Old")
        self.assert_audio_kept(path)

    def test_names_in_other_scripts_and_long_paths(self):
        # The store opens the file by its own name, whatever the script and
        # length: in place for a POPM, with id3lib's tag when the tag must grow.
        # The second folder leaves the name at least 10 characters wherever the build lies.
        first_folder = os.path.join(self.dir, "a" * 100)
        long_folder = os.path.join(first_folder, "b" * min(100, 300 - len(winpath(first_folder)) - 16))
        os.makedirs(long_folder)
        names = [os.path.join(self.dir, "\u6771\u4eac.mp3"),
                 os.path.join(self.dir, "\u03a9\u03bc\u03ad\u03b3\u03b1 \ud55c\uad6d\uc5b4.mp3"),
                 os.path.join(long_folder, "c" * (300 - len(winpath(long_folder)) - 5) + ".mp3")]
        self.assertEqual(len(winpath(names[2])), 300)
        for path in names:
            for with_popm in (False, True):
                what = "%s, %s POPM" % (os.path.basename(path)[:12], "with" if with_popm else "without")
                with open(path, "wb") as f:
                    f.write(self.audio)
                tags = rich_tags(path)
                if with_popm:
                    tags.add(POPM(email="x@y", rating=1, count=9))
                tags.save(path, v2_version=3, padding=lambda info: 0)
                before = v2_frames(path)
                self.assertEqual(read_stars(path), 1 if with_popm else 0, what)
                self.assertEqual(tool("write", winpath(path), 4), "saved", what)
                after = v2_frames(path)
                self.assertEqual(described(after), described(before), what)
                self.assertEqual([p.rating for p in after.getall("POPM")], [160], what)
                self.assert_audio_kept(path)
                self.assertEqual(read_stars(path), 4, what)
                folder = os.path.dirname(path)
                files = [n for n in os.listdir(folder) if os.path.isfile(os.path.join(folder, n))]
                self.assertEqual(files, [os.path.basename(path)], what)
                os.remove(path)

    def test_a_name_no_8bit_form_reaches_is_written_too(self):
        # So deep in folders named in Japanese that even the short names are too long for
        # an 8-bit name: id3lib, which once opened the file by such a name and so wrote
        # nothing here, now only makes the tag in memory; the store writes it like any other.
        folder = os.path.join(self.dir, *["\u6771\u4eac" * 6] * 30)
        os.makedirs(folder)
        path = os.path.join(folder, "\u6771\u4eac.mp3")
        with open(path, "wb") as f:
            f.write(self.audio)
        rich_tags(path).save(path, v2_version=3, padding=lambda info: 0)
        before = v2_frames(path)
        self.assertEqual(tool("write", winpath(path), 4), "saved")
        after = v2_frames(path)
        self.assertEqual(described(after), described(before))
        self.assertEqual([p.rating for p in after.getall("POPM")], [160])
        self.assert_audio_kept(path)
        self.assertEqual(os.listdir(folder), [os.path.basename(path)])

if __name__ == "__main__":
    sys.exit(rt.main(os.path.basename(__file__)))
