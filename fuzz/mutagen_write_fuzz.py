#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Differential write fuzzer: the store's own writeRating (rating_write_cli, the native build
with ASan and UBSan) rates files, and mutagen, a reader that shares nothing with the store,
judges what it did.

Inputs are the fixtures, the corpus and the fuzz seeds, and files built here with the tag
features taggers get wrong (tag and frame flags, unsynchronisation true and false, syncsafe
and plain sizes, FF 00 / FF E0 pairs in a picture, padding that is not zero, frames after the
padding, truncated, duplicated and unknown frames, junk before the audio, trailing tags),
then mutated byte by byte. Each gets a random star count (0..5).

A case fails when
- the tool crashes, reports a sanitizer error or a leak, or hangs (10 s);
- anything is left beside the file;
- a write not reported as saved changed the file;
- mutagen could not load the file before the write and more than one byte changed, or the
  one byte is not the rating byte written;
- mutagen loaded it before, and afterwards: it cannot load it, the tag version changed, a
  byte after the tag (audio, ID3v1, APE...) changed, the frames but the first POPM (file
  order) differ in decoded content or order, the unknown frames differ, the first POPM's
  owner or counter changed, or (saved) the first POPM does not hold the rating byte.

usage:
  mutagen_write_fuzz.py [--seconds S] [--jobs J]    mutated inputs for S seconds
  mutagen_write_fuzz.py --seeds                     every seed once with each star count
  mutagen_write_fuzz.py --files DIR                 a fresh copy of each file under DIR that
                                                    holds an ID3v2 tag or is MPEG audio, with
                                                    each star count (the peer trial)
  mutagen_write_fuzz.py --replay FILE --stars N     one file, judged, with mutagen's view
                                                    before and after (FILE.written)
Failing inputs are kept, the smallest per kind and shape of failure, with a note, in
build-fuzz/artifacts/mutagen_write_fuzz/ (--files mode keeps notes only). Exits 1 when any
case failed.
"""
import argparse
import base64
import collections
import hashlib
import io
import multiprocessing
import os
import random
import select
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
import zlib

try:
    import mutagen  # noqa: F401
except ImportError:
    sys.path.append("/usr/lib/python3/dist-packages")  # Debian's python3-mutagen
from mutagen.id3 import ID3, POPM, ID3NoHeaderError  # noqa: E402
from mutagen.id3._tags import ID3Header, read_frames  # noqa: E402
from mutagen.id3._util import unsynch  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [HERE, os.path.join(ROOT, "tests", "fixtures")]
import make_corpus  # noqa: E402
import make_fixtures  # noqa: E402
import make_seed_corpus as seed_corpus  # noqa: E402

RATING_BYTES = [0, 1, 64, 128, 160, 255]
getattr(sys, "set_int_max_str_digits", int)(0)  # a play counter may be thousands of digits long
ANSWER_TIMEOUT = 10.0
LEAK_CHECK_EVERY = 64  # a leak check costs milliseconds: one per so many writes
KEPT_SHAPES_PER_KIND = 20


# ---- What mutagen reads ---------------------------------------------------------------

View = collections.namedtuple("View", "version frames unknown end")


def mutagen_view(data):
    """mutagen's reading of the file's ID3v2 tag: None when it cannot load it; version None
    for a file without one. frames are every frame in file order (mutagen's own dict keeps
    one per HashKey), end the offset after the tag and its footer."""
    try:
        ID3().load(io.BytesIO(data), translate=False, load_v1=False)
    except ID3NoHeaderError:
        return View(None, [], [], 0)
    except Exception:  # any reason mutagen gives up: the input is unloadable
        return None
    stream = io.BytesIO(data)
    header = ID3Header(stream)
    # mutagen reads as many bytes after an extended header as the tag holds after its header,
    # and so past the tag's end; what it finds there it loads as the tag's, and so must this.
    frames, unknown, _ = read_frames(header, stream.read(header.size - 10), header.known_frames)
    footer = 10 if header.version[1] == 4 and header.f_footer else 0
    return View(header.version[1], frames, [unknown_content(header, raw) for raw in unknown], header.size + footer)


def unknown_content(header, raw):
    """An unknown frame as mutagen keeps it (header and body as stored), decoded as mutagen
    decodes the frames it knows: ID, flags and body, the body without ID3v2.4
    unsynchronisation and that flag left out (the size follows from the body)."""
    if header.version[1] == 2:
        return raw[:3], b"", raw[6:]
    flags, body = int.from_bytes(raw[8:10], "big"), raw[10:]
    if header.version[1] == 4 and (flags & 0x0002 or header.f_unsynch):
        prefix = 4 if flags & 0x0009 else 0  # the data length indicator is never unsynchronised
        try:
            body = body[:prefix] + unsynch.decode(body[prefix:])
        except ValueError:
            pass  # bytes no unsynchronisation made: taken as stored, as mutagen does
        flags &= ~0x0002
    return raw[:4], flags.to_bytes(2, "big"), body


def mutagen_refusal(data):
    """Why mutagen cannot load the file's tag, in its own words."""
    try:
        ID3().load(io.BytesIO(data), translate=False, load_v1=False)
    except Exception as error:
        text = str(error).replace("<unknown>", "file")[:100]
        if text == str(OSError()):  # read_full's: fewer bytes than it asked for
            text = ("the tag claims more bytes than the file holds" if declared_tag_end(data) > len(data) else
                    "it reads as many bytes again as the extended header holds, past the tag, and the file ends first")
        return "%s: %s" % (type(error).__name__, text)
    return ""


def first_popm(frames):
    """(the first POPM in file order or None, the other frames as comparable text)."""
    index = next((i for i, frame in enumerate(frames) if isinstance(frame, POPM)), None)
    rest = [repr(frame) for i, frame in enumerate(frames) if i != index]
    return (frames[index] if index is not None else None), rest


def frame_id(text):
    return text.split("(", 1)[0]


def describe(view):
    """A short account of a mutagen view, for a note."""
    if view is None:
        return "mutagen cannot load it"
    if view.version is None:
        return "no ID3v2 tag"
    lines = ["ID3v2.%d, tag ends at %d, %d frames, %d unknown" % (view.version, view.end, len(view.frames),
                                                                  len(view.unknown))]
    lines += ["  " + (repr(frame) if len(repr(frame)) < 120 else repr(frame)[:117] + "...") for frame in view.frames]
    lines += ["  unknown %s flags %s %r" % (fid.decode("latin-1"), flags.hex(), body[:40])
              for fid, flags, body in view.unknown]
    return "\n".join(lines)


def judge(before, old, after, stars, result, leftovers):
    """(kind, shape detail, text) of the first rule the write broke, or None; `old` is
    mutagen's view of `before`."""
    if leftovers:
        return "left-beside", "", "left beside the file: %s" % " ".join(leftovers)
    if result != "Saved" and after != before:
        return "changed-not-saved", result, "reported %s, yet the file changed" % result
    if old is None:
        if after == before:
            return None
        changed = [i for i in range(min(len(before), len(after))) if before[i] != after[i]]
        if len(after) == len(before) and len(changed) == 1 and after[changed[0]] == RATING_BYTES[stars]:
            return None
        refusal = mutagen_refusal(before)
        return ("unloadable-input-changed", refusal.split(" ")[-1], "mutagen cannot load the input (%s); %d bytes "
                "changed, size %d -> %d" % (refusal, len(changed), len(before), len(after)))
    new = mutagen_view(after)
    if new is None:
        return "unloadable-after", "", "mutagen loads the input but not the file written (%s)" % mutagen_refusal(after)
    if old.version is not None and new.version != old.version:
        return "version-changed", "", "ID3v2.%d became ID3v2.%s" % (old.version, new.version)
    if after[new.end:] != before[old.end:]:
        return "outside-tag-changed", "", "the bytes after the tag changed (%d bytes before, %d after)" % (
            len(before) - old.end, len(after) - new.end)
    old_popm, old_rest = first_popm(old.frames)
    new_popm, new_rest = first_popm(new.frames)
    if old_rest != new_rest:
        i = next((i for i, (a, b) in enumerate(zip(old_rest, new_rest)) if a != b), min(len(old_rest), len(new_rest)))
        what = ("changed", frame_id(old_rest[i])) if i < len(old_rest) and i < len(new_rest) else (
            ("lost", frame_id(old_rest[i])) if i < len(old_rest) else ("added", frame_id(new_rest[i])))
        return "frames-changed", " ".join(what), "frame %d (not counting the first POPM) %s: %s" % (i, *what)
    if old.unknown != new.unknown:
        return "unknown-frames-changed", "", "unknown frames %d -> %d" % (len(old.unknown), len(new.unknown))
    if old_popm is not None and new_popm is not None and (old_popm.email, getattr(old_popm, "count", None)) != (
            new_popm.email, getattr(new_popm, "count", None)):
        return "popm-changed", "", "first POPM %r became %r" % (old_popm, new_popm)
    if result == "Saved" and (new_popm is None or new_popm.rating != RATING_BYTES[stars]):
        read = "no POPM" if new_popm is None else "rating %d" % new_popm.rating
        return "rating-not-read", read.split()[0], "mutagen reads %s, %d written" % (read, RATING_BYTES[stars])
    return None


def tag_label(data):
    """Version and tag flags from the header bytes, for telling failures apart."""
    if len(data) < 10 or data[:3] != b"ID3":
        return "no tag"
    names = [name for bit, name in ((0x80, "unsync"), (0x40, "ext"), (0x20, "exp"), (0x10, "footer"))
             if data[5] & bit]
    return " ".join(["v2.%d" % data[3]] + names)


# ---- The tool ----------------------------------------------------------------------------

class Tool:
    """rating_write_cli as a process that answers one line per file."""

    def __init__(self, path, folder, leak_check_every):
        self.command = [path, str(leak_check_every)]
        self.errors = os.path.join(folder, "tool-stderr.txt")  # outside the song's folder
        self.process = None

    def start(self):
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:allocator_may_return_null=1",
                   UBSAN_OPTIONS="print_stacktrace=1")
        with open(self.errors, "wb") as errors:
            self.process = subprocess.Popen(self.command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                            stderr=errors, env=env, bufsize=0)

    def stop(self):
        if self.process is not None:
            try:
                self.process.stdin.close()
            except BrokenPipeError:
                pass
            self.process.kill()
            self.process.wait()
            self.process.stdout.close()
            self.process = None

    def ask(self, stars, path):
        """(result, plan), or ("crash" / "hang", what the tool said); restarts after either."""
        if self.process is None:
            self.start()
        try:
            self.process.stdin.write(b"%d\t%s\n" % (stars, path.encode()))
        except BrokenPipeError:
            pass
        answer = b""
        deadline = time.time() + ANSWER_TIMEOUT
        while not answer.endswith(b"\n"):
            ready, _, _ = select.select([self.process.stdout], [], [], max(0.0, deadline - time.time()))
            piece = os.read(self.process.stdout.fileno(), 256) if ready else None
            if not piece:
                self.stop()
                return ("hang", "no answer within %g s" % ANSWER_TIMEOUT) if piece is None else ("crash", self.report())
            answer += piece
        result, plan = answer.decode().rstrip("\n").split("\t")
        return result, plan

    def report(self):
        """The sanitizer's summary line and the first frame of plugin code, from stderr."""
        with open(self.errors, "rb") as errors:
            text = errors.read().decode("utf-8", "replace")
        summary = next((line for line in text.splitlines() if line.startswith("SUMMARY:")), "")
        frame = next((line.strip() for line in text.splitlines() if "/rating/" in line), "")
        return (summary + " | " + frame).strip(" |") or "ended without a sanitizer report: %s" % text[-200:]


# ---- Inputs -------------------------------------------------------------------------------

def seed_pool():
    """(name, bytes) of the fixtures, the corpus and the fuzz seeds."""
    pool = [("fixture " + name, make()) for name, make in make_fixtures.SAMPLES.items()]
    pool += [("corpus " + name, data) for name, data, _ in make_corpus.corpus()]
    pool += [("seed " + name, data) for name, data in list(seed_corpus.seeds()) + list(seed_corpus.whole_files())]
    return pool


def jpeg_like(rng):
    """A picture that begins as every JFIF file does (FF D8 FF E0) and holds FF 00 pairs."""
    body = bytearray(b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01")
    for _ in range(rng.randint(1, 6)):
        body += bytes(rng.randrange(256) for _ in range(rng.randint(0, 40)))
        body += rng.choice([b"\xff\x00", b"\xff\xe0", b"\xff\xff\x00", b"\xff"])
    return bytes(body + b"\xff\xd9")


def text_body(rng, version):
    words = rng.choice(["Title", "An artist \u00e9", "\u00ff\u00ff", "x" * rng.randint(0, 300), ""])
    encoding = rng.choice([0, 1, 3] if version == 4 else [0, 1])
    if encoding == 0:
        return b"\x00" + words.encode("latin-1")
    if encoding == 1:
        return b"\x01" + words.encode("utf-16") + rng.choice([b"", b"\x00\x00"])
    return b"\x03" + words.encode("utf-8")


def popm_body(rng):
    owner = rng.choice([b"", b"a", b"rating@winamp.com", b"Windows Media Player 9 Series", b"ID3Vimbrel"])
    counter = rng.choice([b"", b"\x00\x00\x00\x05", b"\x01", b"\x00\x00\x00\x00\x09", b"\xff\x00\xff\xe0"])
    return owner + b"\x00" + bytes([rng.choice([0, 1, 64, 128, 196, 255, rng.randrange(256)])]) + counter


def random_frame(rng, version):
    """(ID, body) of a frame taggers write, or an odd one."""
    kind = rng.choice(["text", "text", "comment", "picture", "popm", "popm", "private", "unknown", "counter",
                       "chapter", "empty", "lower"])
    v22 = version == 2
    if kind == "text":
        return rng.choice(["TT2", "TP1", "TAL"] if v22 else ["TIT2", "TPE1", "TALB", "TXXX"]), text_body(rng, version)
    if kind == "comment":
        return ("COM" if v22 else "COMM"), b"\x00eng" + b"desc\x00" + b"A comment \xff"
    if kind == "picture":
        head = b"\x00JPG\x03\x00" if v22 else b"\x00image/jpeg\x00\x03cover\x00"
        return ("PIC" if v22 else "APIC"), head + jpeg_like(rng)
    if kind == "popm":
        return ("POP" if v22 else "POPM"), popm_body(rng)
    if kind == "private":
        return ("XPR" if v22 else "PRIV"), b"owner\x00" + bytes(rng.randrange(256) for _ in range(rng.randint(0, 20)))
    if kind == "unknown":
        return ("XYZ" if v22 else "XYZW"), bytes(rng.randrange(256) for _ in range(rng.randint(1, 30)))
    if kind == "counter":
        return ("CNT" if v22 else "PCNT"), b"\x00\x00\x00\x07"
    if kind == "chapter" and version == 4:
        sub = frame_bytes(4, "TIT2", b"\x00Chapter", 0, False)
        return "CHAP", b"ch%d\x00" % rng.randrange(10) + bytes(16) + sub
    if kind == "empty":
        return ("TP2" if v22 else "TPE2"), b""
    return ("tt2" if v22 else "tit2"), b"\x00lower case"


def frame_bytes(version, fid, body, flags, plain_size):
    if version == 2:
        return fid.encode() + len(body).to_bytes(3, "big") + body
    size = len(body).to_bytes(4, "big") if version == 3 or plain_size else seed_corpus.syncsafe(len(body))
    return fid.encode() + size + flags.to_bytes(2, "big") + body


def encoded_frame(rng, version, fid, body, plain_sizes, tag_unsync):
    """The frame with flags that change how its body is stored, now and then."""
    flags, draw = 0, rng.random()
    if version == 3:
        if draw < 0.06:
            flags, body = 0x0080, len(body).to_bytes(4, "big") + zlib.compress(body)
        elif draw < 0.09:
            flags, body = 0x0040, b"\x80" + body
        elif draw < 0.12:
            flags, body = 0x0020, b"\x05" + body
        elif draw < 0.16:
            flags = rng.choice([0x8000, 0x4000, 0x2000])
    elif version == 4:
        if draw < 0.06:
            flags, body = 0x0009, seed_corpus.syncsafe(len(body)) + zlib.compress(body)
        elif draw < 0.12:
            flags, body = 0x0001, seed_corpus.syncsafe(len(body)) + body
        elif draw < 0.2:
            flags, body = 0x0002, seed_corpus.unsynchronise(body)
        elif draw < 0.24:
            flags = 0x0002  # flagged, never unsynchronised
        elif draw < 0.27:
            flags, body = 0x0040, b"\x05" + body
        if tag_unsync == "true" and not flags & 0x0002:
            body = seed_corpus.unsynchronise(body)
    return frame_bytes(version, fid, body, flags, plain_sizes)


def structured_file(rng):
    """(how it was made, bytes): a tag with the features taggers get wrong, audio, trailing tags."""
    version = rng.choice([2, 3, 3, 4, 4, 4])
    made = ["v2.%d" % version]
    frames = [random_frame(rng, version) for _ in range(rng.randint(0, 6))]
    if frames and rng.random() < 0.15:
        frames.insert(rng.randrange(len(frames) + 1), rng.choice(frames))
        made.append("duplicate frame")
    plain = version == 4 and rng.random() < 0.2
    unsync = rng.choice(["none"] * 5 + ["true", "false"])
    if plain:
        made.append("plain sizes")
    if unsync != "none":
        made.append("unsync flag, bytes %s" % ("unsynchronised" if unsync == "true" else "as stored"))
    content = b"".join(encoded_frame(rng, version, fid, body, plain, unsync) for fid, body in frames)
    padding = rng.choice([b"", bytes(rng.randint(1, 64)), bytes(rng.randint(60, 600))])
    draw = rng.random()
    if draw < 0.1:
        padding += b"junk\xff\x00" * rng.randint(1, 4)
        made.append("non-zero padding")
    elif draw < 0.18:
        padding += encoded_frame(rng, version, *random_frame(rng, version), plain, "none")
        made.append("frame after padding")
    if frames and rng.random() < 0.08:
        content = content[:-rng.randint(1, 8)]
        made.append("last frame truncated")
    content += padding
    if version < 4 and unsync == "true":
        content = seed_corpus.unsynchronise(content)
    flags = 0x80 if unsync != "none" else 0
    if version > 2 and rng.random() < 0.15:
        crc = rng.random() < 0.4
        content = (make_corpus.ext23(len(padding), 0x12345678 if crc else None) if version == 3
                   else make_corpus.ext24(crc)) + content
        flags |= 0x40
        made.append("extended header" + (" with CRC" if crc else ""))
    claim = len(content) + (rng.choice([-8, -1, 1, 20, 4000]) if rng.random() < 0.08 else 0)
    tag = b"ID3" + bytes([version, 0]) + bytes([flags]) + seed_corpus.syncsafe(max(claim, 0)) + content
    if version == 4 and rng.random() < 0.08:
        tag = tag[:5] + bytes([flags | 0x10]) + tag[6:]
        tag += b"3DI" + tag[3:10]
        made.append("footer")
    if rng.random() < 0.08:
        tag = b""
        made = ["no tag"]
    if rng.random() < 0.1:
        tag = rng.choice([bytes(rng.randint(1, 3000)), b"\x00junk\xff" * rng.randint(1, 50), b"RIFF"]) + tag
        made.append("junk first")
    audio = seed_corpus.mpeg_frames(rng.choice([0, 1, 3]))
    end = rng.choice([b"", b"", seed_corpus.id3v1(), seed_corpus.ape_tag(), make_corpus.lyrics3_tag()
                      + seed_corpus.id3v1()])
    return ", ".join(made), tag + audio + end


def declared_tag_end(data):
    """Where the tag header says the tag ends (0 for no tag)."""
    if data[:3] != b"ID3" or len(data) < 10:
        return 0
    return 10 + ((data[6] & 0x7F) << 21 | (data[7] & 0x7F) << 14 | (data[8] & 0x7F) << 7 | (data[9] & 0x7F))


def tag_end_guess(data):
    return min(len(data), declared_tag_end(data) or 256)


def mutated(rng, data):
    """(what was done, bytes) after one byte-level change, mostly inside the tag."""
    data = bytearray(data)
    if not data:
        return "insert", bytes([rng.randrange(256)])
    end = tag_end_guess(data) if rng.random() < 0.8 else len(data)
    at = rng.randrange(max(end, 1))
    op = rng.choice(["flip", "byte", "insert", "delete", "copy", "size", "size", "header", "truncate"])
    if op == "flip":
        data[at] ^= 1 << rng.randrange(8)
    elif op == "byte":
        data[at] = rng.choice([0x00, 0xFF, 0x7F, 0x80, 0xE0, 0x01, rng.randrange(256)])
    elif op == "insert":
        data[at:at] = rng.choice([b"\xff\x00", b"\xff\xe0", b"\x00" * 4, bytes(rng.randrange(256)
                                                                                  for _ in range(rng.randint(1, 8)))])
    elif op == "delete":
        del data[at:at + rng.randint(1, 16)]
    elif op == "copy":
        start = rng.randrange(len(data))
        data[at:at] = data[start:start + rng.randint(1, 64)]
    elif op == "size":
        # A frame's size field: the 4 bytes after an ID of letters and digits, or the tag's.
        heads = [i for i in range(10, max(end - 10, 10)) if bytes(data[i:i + 4]).isalnum()]
        field = rng.choice(heads) + 4 if heads and rng.random() < 0.8 else 6
        value = int.from_bytes(data[field:field + 4], "big")
        value = rng.choice([value + rng.randint(-3, 3), value | 0x80, value ^ (0x80 << 8 * rng.randrange(4)),
                            rng.randrange(1 << 32)]) % (1 << 32)
        data[field:field + 4] = value.to_bytes(4, "big")
        at = field
    elif op == "header" and len(data) >= 6:
        at = rng.choice([3, 5, 5])
        data[at] = rng.choice([2, 3, 4]) if at == 3 else data[at] ^ rng.choice([0x80, 0x40, 0x20, 0x10, 0x01])
    else:
        del data[rng.randint(at, len(data)):]
    return "%s@%d" % (op, at), bytes(data)


def fuzz_input(rng, pool):
    if rng.random() < 0.35:
        how, data = rng.choice(pool)
    else:
        how, data = structured_file(rng)
    for _ in range(rng.choice([0, 0, 1, 1, 2, 3])):
        step, data = mutated(rng, data)
        how += "; " + step
    return how, data


# ---- Cases and workers ---------------------------------------------------------------------

Case = collections.namedtuple("Case", "result plan failure loadable after")


def run_case(tool, folder, data, stars):
    """Writes the input into the empty folder, lets the store rate it and judges the file."""
    song = os.path.join(folder, "song.mp3")
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
    with open(song, "wb") as out:
        out.write(data)
    old = mutagen_view(data)
    result, plan = tool.ask(stars, song)
    if result in ("crash", "hang"):
        return Case(result, "-", (result, plan.split("|")[0].strip()[:80], plan), old is not None, None)
    with open(song, "rb") as written:
        after = written.read()
    if result == "leak":
        return Case(result, plan, ("leak", "", tool.report()), old is not None, after)
    leftovers = sorted(name for name in os.listdir(folder) if name != "song.mp3")
    return Case(result, plan, judge(data, old, after, stars, result, leftovers), old is not None, after)


def find_leak(tool_path, folder, recent):
    """(how, data, stars, case) of the input among the recent ones that leaks, written again
    one at a time with a leak check after each."""
    tool = Tool(tool_path, os.path.dirname(folder), 1)
    try:
        for how, data, stars in recent:
            case = run_case(tool, folder, data, stars)
            if case.result == "leak":
                return how, data, stars, case
    finally:
        tool.stop()
    return recent[-1] + (Case("leak", "-", ("leak", "not found again", "the leak did not recur"), True, None),)


def worker(index, args, tasks, queue):
    """Runs cases (the given tasks, or fuzz inputs until the deadline); sends failures and,
    at the end, its statistics to the queue."""
    base = tempfile.mkdtemp(prefix="vimbrel-mwf-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    folder = os.path.join(base, "song")
    os.mkdir(folder)
    tool = Tool(args.tool, base, LEAK_CHECK_EVERY if tasks is None else 1)
    rng = random.Random("%d/%d" % (args.seed, index))
    pool = seed_pool() if tasks is None else None
    deadline = time.time() + args.seconds
    stats = collections.Counter()
    recent = collections.deque(maxlen=LEAK_CHECK_EVERY)
    try:
        while True:
            if tasks is not None:
                if not tasks:
                    break
                how, source, stars = tasks.pop()
                data = source if isinstance(source, bytes) else open(source, "rb").read()
            else:
                if time.time() >= deadline:
                    break
                (how, data), stars = fuzz_input(rng, pool), rng.randrange(6)
            recent.append((how, data, stars))
            try:
                case = run_case(tool, folder, data, stars)
            except Exception:  # the harness's own fault: kept like any other, and the run goes on
                case = Case("-", "-", ("harness-error", "", traceback.format_exc()), True, None)
            if case.result == "leak" and tasks is None:  # checked once in a while: which write was it?
                tool.stop()  # a leak stays reported until the process ends
                how, data, stars, case = find_leak(args.tool, folder, recent)
            if case.result in ("crash", "hang", "leak"):
                tool.stop()
                recent.clear()  # the writes since the tool's last leak check
            stats["cases"] += 1
            stats["result " + case.result] += 1
            stats["plan " + case.plan] += 1
            stats["unloadable"] += not case.loadable
            if case.failure is not None:
                queue.put(("failure", case, how, data, stars))
            if args.files:
                queue.put(("file", how, stars, case.result, case.plan, case.failure))
    finally:
        tool.stop()
        shutil.rmtree(base, ignore_errors=True)
        queue.put(("stats", stats))


def keep_failure(folder, kept, case, how, data, stars, save_input):
    """Keeps the smallest input for each kind and shape of failure, with a note."""
    kind, detail, text = case.failure
    shape = "%s|%s|%s|%s" % (kind, case.plan, tag_label(data), detail)
    name = "%s-%s" % (kind, hashlib.sha1(shape.encode()).hexdigest()[:8])
    kept[kind].add(name)
    path = os.path.join(folder, name)
    known = os.path.exists(path + ".txt")
    if not known and len(kept[kind]) > KEPT_SHAPES_PER_KIND:
        return
    if known and save_input and os.path.exists(path + ".mp3") and os.path.getsize(path + ".mp3") <= len(data):
        return
    if save_input:
        with open(path + ".mp3", "wb") as out:
            out.write(data)
    with open(path + ".txt", "w") as note:
        note.write("kind: %s\nstars: %d (rating byte %d)\nresult: %s\nplan: %s\ninput: %s (%d bytes, %s)\n"
                   "what: %s\n" % (kind, stars, RATING_BYTES[stars], case.result, case.plan, how, len(data),
                                   tag_label(data), text))
        if len(data) < 2048:
            note.write("base64: %s\n" % base64.b64encode(data).decode())
        note.write("\nmutagen before the write:\n%s\n" % describe(mutagen_view(data)))
        if case.after is not None:
            note.write("\nmutagen after the write:\n%s\n" % describe(mutagen_view(case.after)))


def candidate_files(folder):
    """Files under `folder` that start with an ID3v2 tag or an MPEG audio frame header, or
    are named as MPEG audio."""
    found = []
    for root, _, names in os.walk(folder):
        for name in sorted(names):
            path = os.path.join(root, name)
            if not os.path.isfile(path) or os.path.islink(path):
                continue
            with open(path, "rb") as f:
                head = f.read(4)
            mpeg = len(head) == 4 and head[0] == 0xFF and head[1] & 0xE0 == 0xE0 and head[1] & 0x06 != 0
            if head[:3] == b"ID3" or mpeg or name.lower().endswith((".mp3", ".mp2", ".mpa", ".id3")):
                found.append(path)
    return sorted(found)


def replay(args):
    """One input rated once, for a look by hand: the verdict, mutagen's view before and after,
    and the file as written, beside the input as INPUT.written."""
    base = tempfile.mkdtemp(prefix="vimbrel-mwf-")
    folder = os.path.join(base, "song")
    os.mkdir(folder)
    tool = Tool(args.tool, base, 1)
    try:
        data = open(args.replay, "rb").read()
        case = run_case(tool, folder, data, args.stars)
    finally:
        tool.stop()
        shutil.rmtree(base, ignore_errors=True)
    print("result %s, plan %s: %s" % (case.result, case.plan, "; ".join(case.failure) if case.failure else "passes"))
    print("before:\n%s\n%s" % (describe(mutagen_view(data)), mutagen_refusal(data)))
    if case.after is not None:
        print("after:\n%s\n%s" % (describe(mutagen_view(case.after)), mutagen_refusal(case.after)))
        with open(args.replay + ".written", "wb") as out:
            out.write(case.after)
    return 1 if case.failure else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--seeds", action="store_true", help="every seed once with each star count")
    parser.add_argument("--files", help="the peer trial: every file under this folder")
    parser.add_argument("--replay", help="rate this one file (--stars) and show what mutagen sees")
    parser.add_argument("--stars", type=int, default=3)
    parser.add_argument("--tool", default=os.path.join(ROOT, "build-fuzz", "rating_write_cli"))
    parser.add_argument("--artifacts", default=os.path.join(ROOT, "build-fuzz", "artifacts", "mutagen_write_fuzz"))
    args = parser.parse_args()
    if args.replay:
        return replay(args)
    os.makedirs(args.artifacts, exist_ok=True)

    tasks = None
    if args.seeds:
        tasks = [(name, data, stars) for name, data in seed_pool() for stars in range(6)]
    elif args.files:
        tasks = [(path, path, stars) for path in candidate_files(args.files) for stars in range(6)]
    shares = [None] * args.jobs if tasks is None else [tasks[i::args.jobs] for i in range(args.jobs)]
    print("mutagen_write_fuzz: %s, %d job(s), seed %d" % (
        "%d cases" % len(tasks) if tasks is not None else "%g s" % args.seconds, args.jobs, args.seed), flush=True)
    started = time.time()
    queue = multiprocessing.Queue()
    workers = [multiprocessing.Process(target=worker, args=(i, args, share, queue)) for i, share in enumerate(shares)]
    for process in workers:
        process.start()
    stats, kinds, kept, files = collections.Counter(), collections.Counter(), collections.defaultdict(set), {}
    running = len(workers)
    while running:
        message = queue.get()
        if message[0] == "stats":
            stats.update(message[1])
            running -= 1
        elif message[0] == "file":
            _, path, stars, result, plan, failure = message
            files.setdefault(path, []).append((stars, result, plan, failure))
        else:
            _, case, how, data, stars = message
            kinds[case.failure[0]] += 1
            keep_failure(args.artifacts, kept, case, how, data, stars, not args.files)
    for process in workers:
        process.join()
    elapsed = time.time() - started

    cases = stats["cases"]
    print("cases: %d in %.0f s (%.1f per second)" % (cases, elapsed, cases / max(elapsed, 1e-9)))
    print("results: " + ", ".join("%s %d" % (k[7:], v) for k, v in stats.most_common() if k.startswith("result ")))
    print("plans: " + ", ".join("%s %d" % (k[5:], v) for k, v in stats.most_common() if k.startswith("plan ")))
    print("cases whose input mutagen cannot load: %d" % stats["unloadable"])
    if files:
        saved = sum(1 for runs in files.values() if all(r[1] == "Saved" for r in runs))
        damaged = {p: runs for p, runs in files.items() if any(r[3] for r in runs)}
        refused = {p: runs for p, runs in files.items() if p not in damaged and any(r[1] != "Saved" for r in runs)}
        print("files: %d tried, %d saved with every star count, %d refused, %d damaged" % (
            len(files), saved, len(refused), len(damaged)))
        for title, group in (("damaged", damaged), ("refused", refused)):
            for path, runs in sorted(group.items()):
                how = sorted({"%s/%s%s" % (r[1], r[2], ": " + r[3][0] + " " + r[3][1] if r[3] else "")
                              for r in runs})
                print("  %s %s: stars %s: %s" % (title, os.path.relpath(path, args.files),
                                                  "".join(str(r[0]) for r in sorted(runs) if r[3] or r[1] != "Saved"),
                                                  "; ".join(how)))
    print("failures: %d" % sum(kinds.values()) + "".join("\n  %s: %d" % kv for kv in kinds.most_common()))
    if kinds:
        print("kept in %s" % args.artifacts)
    return 1 if kinds else 0


if __name__ == "__main__":
    sys.exit(main())
