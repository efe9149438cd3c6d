# SPDX-License-Identifier: LGPL-2.1-or-later
"""The rating store against the corpus (tests/fixtures/make_corpus.py).

For every corpus file and every star count, after writeRating either the file
is byte for byte as it was, or everything after its ID3v2 tag is, every frame
but the one POPM keeps its content (through mutagen and through the strict
reader), and the rating reads back as written. Also: a full disk, and the
ID3v2.4 files mutagen writes.
    python3 rating_corpus_test.py BUILD_DIR
Runs tests/rating_tool.exe under Wine (CTest passes WINEPREFIX etc.) and uses
VIMBREL_SCRATCH for its files. The full-disk test mounts a small tmpfs, which
needs root.
"""
import os
import shutil
import subprocess
import sys
import unittest
import zlib

try:
    from mutagen.id3 import ID3, POPM, TIT2
    from mutagen.id3._util import unsynch  # mutagen's own decoding, flag contradicted or not
except ImportError:
    # Debian's python3-mutagen belongs to the system interpreter; another
    # python3 may come first on the PATH.
    if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    raise

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures"))
import make_corpus as mc  # noqa: E402
import make_fixtures as fx  # noqa: E402
import rating_tool_run as rt  # noqa: E402
from rating_tool_run import winpath  # noqa: E402

SCALE = [0, 1, 64, 128, 160, 255]
# The id3lib hazards of tags made to crash id3lib (kId3libHazardCompressedMetaFrame and
# kId3libHazardDecompressionBomb): ID3v2.2 and ID3v2.3 tags with them count as unrated.
CRAFTED = 4 | 8


# The lowest rating byte of 1..5 stars, as the player itself and most taggers read them.
LOWEST_BYTE_OF_STARS = [1, 32, 96, 160, 224]


def stars_of(rating_byte):
    return sum(1 for lowest in LOWEST_BYTE_OF_STARS if rating_byte >= lowest)


def check(stars, paths, held=False):
    """rating_tool check (or check-held): {path: {key: value}} for each file."""
    reports = {}
    command = "check-held" if held else "check"
    for block in rt.tool(command, stars, *[winpath(p) for p in paths]).strip().split("\n\n"):
        fields = dict(line.split("=", 1) for line in block.splitlines() if "=" in line)
        reports[fields["file"]] = fields
    return reports


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def tag_size(report, prefix):
    """The ID3v2 tag's size as the strict reader saw it (0: none it vouches for)."""
    return int(report[prefix + ".tagSize"]) if report[prefix + ".wellFormed"] == "1" else 0


def mutagen_frames(path):
    """(every frame but POPM as text, the POPM frames as (owner, rating, count)), or None."""
    try:
        tags = ID3(path, load_v1=False)
    except Exception:
        return None
    others = sorted(repr(frame) for key, frame in tags.items() if not key.startswith("POPM"))
    popms = [(f.email, f.rating, getattr(f, "count", None)) for f in tags.getall("POPM")]
    return others, popms


def be(value, width=4):
    return value.to_bytes(width, "big")


def deunsynchronise(data):
    """As mutagen decodes: bytes that unsynchronisation cannot have left are taken as stored."""
    try:
        return unsynch.decode(data)
    except ValueError:
        return data


def raw_frames(data, tag_end=None):
    """The ID3v2 tag's frames as (id, flags, body) with unsynchronisation undone, or None.
    tag_end: where the tag ends when it claims more than that (as the strict reader found)."""
    if len(data) < 10 or data[:3] != b"ID3" or data[3] not in (2, 3, 4):
        return None
    version, flags = data[3], data[5]
    size = (data[6] << 21) | (data[7] << 14) | (data[8] << 7) | data[9]
    area = data[10:10 + size if tag_end is None else min(10 + size, tag_end)]
    if version < 4 and flags & 0x80:
        area = deunsynchronise(area)
    if version >= 3 and flags & 0x40:
        extended = int.from_bytes(area[:4], "big") + 4 if version == 3 else \
            (area[0] << 21) | (area[1] << 14) | (area[2] << 7) | area[3]
        area = area[extended:]
    head = 6 if version == 2 else 10
    frames, at = [], 0
    while at + head <= len(area) and area[at] != 0:
        if version == 2:
            frame_id, length, frame_flags = area[at:at + 3], int.from_bytes(area[at + 3:at + 6], "big"), 0
        else:
            frame_id, frame_flags = area[at:at + 4], int.from_bytes(area[at + 8:at + 10], "big")
            length = int.from_bytes(area[at + 4:at + 8], "big") if version == 3 else \
                (area[at + 4] << 21) | (area[at + 5] << 14) | (area[at + 6] << 7) | area[at + 7]
        body = area[at + head:at + head + length]
        if version == 4 and (frame_flags & 0x0002 or flags & 0x80):
            body, frame_flags = deunsynchronise(body), frame_flags & ~0x0002
        frames.append((frame_id, frame_flags, body))
        at += head + length
    return frames


def without_first_popm(frames):
    popm = next((i for i, f in enumerate(frames) if f[0] in (b"POPM", b"POP")), None)
    return frames if popm is None else frames[:popm] + frames[popm + 1:]


def fill(folder):
    """Fills the volume holding `folder` with a file named "filler"."""
    with open(os.path.join(folder, "filler"), "wb", buffering=0) as f:
        try:
            while f.write(bytes(4096)) > 0:
                pass
        except OSError:
            pass


class Corpus(unittest.TestCase):
    def setUp(self):
        self.dir = os.path.join(rt.SCRATCH, "rating_corpus", self._testMethodName)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)

    def place(self, folder, name, data):
        path = os.path.join(self.dir, folder, name + ".mp3")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def assert_written_well(self, what, before, after, report, wanted, decision, before_frames, after_frames):
        self.assertEqual(report["read"], str(SCALE.index(wanted)), what + ": rating not read back")
        self.assertEqual(report["after.wellFormed"], "1", what)
        self.assertEqual(int(report["after.popmRating"]), wanted, what)
        added = report["before.popmFound"] == "0"
        self.assertEqual(int(report["after.frameCount"]), int(report["before.frameCount"]) + (1 if added else 0),
                         what + ": frame count")
        # The editor may leave a tag that no longer breaks the rule it was tolerated for.
        tolerated_hazard = 16 if decision in mc.EDITOR else 0
        self.assertEqual(int(report["after.hazards"]) & ~tolerated_hazard,
                         int(report["before.hazards"]) & ~tolerated_hazard, what)
        # Everything after the ID3v2 tag (audio, trailing tags) is as it was.
        self.assertEqual(after[tag_size(report, "after"):], before[tag_size(report, "before"):],
                         what + ": bytes after the tag changed")
        if decision in mc.IN_PLACE:
            self.assertEqual(len(after), len(before), what + ": size changed")
            differing = sum(1 for a, b in zip(before, after) if a != b)
            if decision == "RatingByte":
                self.assertEqual(differing, 1, what)
            else:
                self.assertLessEqual(differing, 22, what)
                self.assertEqual(int(report["after.paddingSize"]),
                                 int(report["before.paddingSize"]) - (18 if report["before.version"] == "2" else 22),
                                 what)
        # Byte for byte: every other frame keeps its bytes and flags (decoded where the
        # editor removed unsynchronisation), and the editor keeps the version.
        if decision not in mc.ID3LIB:
            self.assertEqual(without_first_popm(raw_frames(after)),
                             without_first_popm(raw_frames(before, tag_size(report, "before")) or []),
                             what + ": raw frames changed")
        if decision in mc.EDITOR and report["before.present"] == "1":
            self.assertEqual(report["after.version"], report["before.version"], what + ": version changed")
            self.assert_crc_holds(what, after)
        # Through mutagen: the other frames keep their content, the first POPM (or a new
        # one of ours) holds the rating, any other POPM is untouched.
        self.assertIsNotNone(after_frames, what + ": mutagen cannot read the written tag")
        if before_frames is None:
            # No tag, or (repaired by the editor) one that claimed more than the file held:
            # the raw frames above were compared byte for byte.
            self.assertIn(decision, ("Id3libNewTag", "EditorNewTag", "EditorToleratedTag"),
                          what + ": mutagen could not read the tag before")
            if decision == "EditorToleratedTag":
                self.assertEqual(after_frames[1][-1][1], wanted, what)
                return
            before_frames = ([], [])
        self.assertEqual(after_frames[0], before_frames[0], what + ": other frames changed")
        before_popms, after_popms = before_frames[1], after_frames[1]
        if added:
            self.assertEqual(after_popms[:-1], before_popms, what)
            self.assertEqual(after_popms[-1][:2], ("ID3Vimbrel", wanted), what)
            self.assertIn(after_popms[-1][2], (None, 0), what)
        else:
            self.assertEqual(len(after_popms), len(before_popms), what)
            self.assertEqual(after_popms[0], (before_popms[0][0], wanted, before_popms[0][2]), what)
            self.assertEqual(after_popms[1:], before_popms[1:], what)

    def assert_crc_holds(self, what, data):
        """An extended header's CRC covers the frames (and in ID3v2.4 the padding) as they are."""
        version, flags = data[3], data[5]
        if not flags & 0x40:
            return
        size = (data[6] << 21) | (data[7] << 14) | (data[8] << 7) | data[9]
        if version == 3 and data[10:14] == be(10):
            padding = int.from_bytes(data[16:20], "big")
            stored, covered = int.from_bytes(data[20:24], "big"), data[24:10 + size - padding]
        elif version == 4 and data[15] & 0x20:
            at = 16 + (1 if data[15] & 0x40 else 0) + 1
            stored = sum(b << (7 * (4 - i)) for i, b in enumerate(data[at:at + 5]))
            extended = (data[10] << 21) | (data[11] << 14) | (data[12] << 7) | data[13]
            covered = data[10 + extended:10 + size]
        else:
            return
        self.assertEqual(stored, zlib.crc32(covered), what + ": CRC")

    def assert_read_as_mutagen(self, what, report, frames):
        """In a tag the strict reader vouches for, its rating is mutagen's and the store's."""
        if report["before.wellFormed"] != "1" or report["before.popmRating"] == "-1" or frames is None:
            return
        if report["before.version"] != "4" and int(report["before.hazards"]) & CRAFTED:
            return
        first_popm = frames[1][0]
        self.assertEqual(first_popm[1], int(report["before.popmRating"]), what + ": mutagen reads another rating")
        self.assertEqual(report["read"], str(stars_of(first_popm[1])), what + ": the store reads another rating")

    def test_every_file_every_star_count(self):
        self.check_corpus(held=False)

    def test_every_file_every_star_count_held_by_the_player(self):
        # The player holds the playing file open (reading, sharing read and write):
        # no copy can replace it: the store copies the new file back over it.
        self.check_corpus(held=True)

    def check_corpus(self, held):
        files = mc.corpus()
        self.assertEqual(len({name for name, _, _ in files}), len(files), "corpus names repeat")
        written = 0
        for stars in range(6):
            wanted = SCALE[stars]
            folder = "stars%d" % stars
            paths = {name: self.place(folder, name, data) for name, data, _ in files}
            before_frames = {name: mutagen_frames(path) for name, path in paths.items()}
            reports = check(stars, list(paths.values()), held)
            for name, data, decision in files:
                what = "%s, %d stars%s" % (name, stars, ", held" if held else "")
                self.assertEqual(reports[winpath(paths[name])]["held"], "1" if held else "0", what)
                path = paths[name]
                report = reports[winpath(path)]
                after = read_bytes(path)
                self.assertFalse(os.path.exists(path + ".XXXXXX"), what + ": leftover")
                if report["plan"] == "AlreadyStored":
                    self.assertEqual(int(report["before.popmRating"]), wanted, what)
                else:
                    self.assertEqual(report["plan"], decision, what)
                self.assertEqual(report["before.tolerated"], "1" if name.startswith("tolerated_") else "0", what)
                if report["plan"] in mc.NOTHING or name in mc.REFUSED_EDITS:
                    self.assertEqual(after, data, what + ": a file the guard refused changed")
                    self.assertEqual(report["after.popmRating"], report["before.popmRating"], what)
                    self.assert_read_as_mutagen(what, report, before_frames[name])
                    continue
                written += 1
                self.assert_written_well(what, data, after, report, wanted, decision, before_frames[name],
                                         mutagen_frames(path))
        self.assertGreater(written, 100)

    def test_other_players_rating_in_a_mutagen_v24_tag(self):
        # mutagen saves ID3v2.4 by default; another player's POPM holds 200.
        path = os.path.join(self.dir, "v24.mp3")
        with open(path, "wb") as f:
            f.write(fx.mpeg_audio(6))
        tags = ID3()
        tags.add(TIT2(encoding=3, text="A title \u00e9"))
        tags.add(POPM(email="Windows Media Player 9 Series", rating=200, count=12))
        tags.save(path)
        self.assertEqual(ID3(path).version[:2], (2, 4))
        before = read_bytes(path)
        self.assertEqual(rt.tool("read", winpath(path)).strip(), "4")
        rt.tool("write", winpath(path), 2)
        after = read_bytes(path)
        self.assertEqual(len(after), len(before))
        differing = [i for i, (a, b) in enumerate(zip(before, after)) if a != b]
        self.assertEqual(len(differing), 1, differing)
        self.assertEqual((before[differing[0]], after[differing[0]]), (200, 64))
        (popm,) = ID3(path).getall("POPM")
        self.assertEqual((popm.email, popm.rating, popm.count), ("Windows Media Player 9 Series", 64, 12))
        self.assertEqual(rt.tool("read", winpath(path)).strip(), "2")

    def test_full_disk(self):
        mount_point = os.path.join(self.dir, "full")
        os.makedirs(mount_point)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", mount_point],
                                 capture_output=True, text=True)
        if mounted.returncode != 0:
            self.skipTest("a full disk needs a small tmpfs, and mount failed (%s); run the tests as root"
                          % mounted.stderr.strip())
        try:
            self.run_full_disk(mount_point)
        finally:
            subprocess.run(["umount", mount_point], capture_output=True)

    def run_full_disk(self, folder):
        samples = {name: data for name, data, _ in mc.corpus()}
        cases = [("tagless", "Id3libNewTag"), ("v23_no_padding", "Id3libAddsFrame"),
                 ("m23_rich_no_padding", "Id3libAddsFrame"), ("v24_padding", "FrameInPadding"),
                 ("v23_popm_no_padding", "RatingByte")]
        paths = {}
        for name, _ in cases:
            paths[name] = os.path.join(folder, name + ".mp3")
            with open(paths[name], "wb") as f:
                f.write(samples[name])
        fill(folder)
        free = shutil.disk_usage(folder).free
        self.assertLess(free, 8192, "the tmpfs is not full")
        for stars in (4, 1):
            reports = check(stars, list(paths.values()))
            for name, decision in cases:
                what = "%s on a full disk, %d stars" % (name, stars)
                report = reports[winpath(paths[name])]
                self.assertFalse(os.path.exists(paths[name] + ".XXXXXX"), what + ": leftover")
                if decision in mc.ID3LIB:
                    # No room for the new file id3lib's tag needs: nothing is written.
                    self.assertEqual(read_bytes(paths[name]), samples[name], what)
                else:
                    self.assertEqual(report["read"], str(stars), what + ": written in place")
                    self.assertEqual(len(read_bytes(paths[name])), len(samples[name]), what)

        # A copy the journal does not name is never put over the file, with room or without.
        os.remove(os.path.join(folder, "filler"))
        song = os.path.join(folder, "song.mp3")
        song_bytes = os.urandom(100 * 1024)
        leftover_bytes = os.urandom(130 * 1024)
        with open(song, "wb") as f:
            f.write(song_bytes)
        with open(song + ".XXXXXX", "wb") as f:
            f.write(leftover_bytes)
        fill(folder)
        rt.tool("recover", winpath(song))
        self.assertEqual(read_bytes(song), song_bytes, "the file was cut by a copy that did not fit")
        self.assertEqual(read_bytes(song + ".XXXXXX"), leftover_bytes)
        os.remove(os.path.join(folder, "filler"))
        rt.tool("recover", winpath(song))
        self.assertEqual(read_bytes(song), song_bytes, "a copy no journal names was used")
        self.assertEqual(read_bytes(song + ".XXXXXX"), leftover_bytes)


if __name__ == "__main__":
    sys.exit(rt.main(os.path.basename(__file__)))
