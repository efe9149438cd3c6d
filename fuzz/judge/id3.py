# SPDX-License-Identifier: LGPL-2.1-or-later
"""MP3 and ADTS: the ID3v2 tag at the file's start, judged by mutagen's reading (by the rules the
ID3 chunk of a WAV or AIFF shares, riff); the tags built with the features taggers get wrong;
mutagen's own save of an ADTS file, proving the judge."""
import collections
import functools
import io
import sys
import zlib

from mutagen.id3 import ID3, POPM, ID3NoHeaderError
from mutagen.id3._tags import ID3Header, read_frames
from mutagen.id3._util import unsynch

import make_corpus
import make_mp4_riff
import make_seed_corpus as seed_corpus
from .core import Format, RATING_BYTES, Source, declared_tag_end, mutated, saved_by_mutagen, seed_pool, song_name

getattr(sys, "set_int_max_str_digits", int)(0)  # a play counter may be thousands of digits long


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


def judge_tag(before, old, after, stars, result):
    """(kind, shape detail, text) of the first rule the write broke, or None; `old` is
    mutagen's view of `before`."""
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


def label(data):
    """Version and tag flags from the header bytes, for telling failures apart."""
    if len(data) < 10 or data[:3] != b"ID3":
        return "no tag"
    names = [name for bit, name in ((0x80, "unsync"), (0x40, "ext"), (0x20, "exp"), (0x10, "footer"))
             if data[5] & bit]
    return " ".join(["v2.%d" % data[3]] + names)


def form(name, view):
    """What the judge took the input for, for the statistics."""
    return name[5:] + (" unloadable" if view is None else "" if view.version is not None else " without tag")


def claim_adts(data):
    """"song.aac" for ADTS audio, at the start or after an ID3v2 tag."""
    kind, end = make_mp4_riff.kind_of(data), declared_tag_end(data)
    return "song.aac" if kind == "adts" or (kind is None and make_mp4_riff.is_adts(data[end:end + 7])) else None


# ---- Inputs -------------------------------------------------------------------------------

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


def adts_mutated(rng, data):
    """(what was done, bytes) after one change of an ADTS frame byte after the tag, or a byte's."""
    data = bytearray(data)
    start = declared_tag_end(bytes(data))
    if start < len(data) and rng.random() < 0.5:
        at = rng.randrange(start, len(data))
        data[at] ^= rng.choice([0x01, 0xFF, 0x10])
        return "adts-frame@%d" % at, bytes(data)
    return mutated(rng, bytes(data))


# ---- mutagen's own save of an ADTS file, and a damage to it -----------------------------------

def rate_tags(tags, stars, version, save, padding):
    """Sets the rating of `stars` in the first POPM (a new one where there is none) and saves the
    tag by `save`: ID3v2.4 where it was, else ID3v2.3."""
    popm = next((f for f in tags.getall("POPM")), None)
    if popm is None:
        tags.add(POPM(email="ID3Vimbrel", rating=RATING_BYTES[stars]))
    else:
        popm.rating = RATING_BYTES[stars]
    save(v2_version=version if version in (3, 4) else 3, padding=padding)


def mutagen_save(data, stars, padding=None):
    """The ADTS file as mutagen saves it with the rating of `stars` (None for a file to refuse)."""
    if mutagen_view(data) is None:
        return None

    def save(path):
        tags = ID3(path) if data[:3] == b"ID3" else ID3()
        rate_tags(tags, stars, tags.version[1] if data[:3] == b"ID3" else 3, functools.partial(tags.save, path),
                  padding)
    return saved_by_mutagen("song.aac", data, save)


def _adts_frame(before, after, stars, path):
    if song_name(before) != "song.aac" or mutagen_view(before) is None or not after:
        return None
    return after[:-1] + bytes([after[-1] ^ 0x01])


# What mutagen's own save may do to another project's file: it renders ID3 frames in its own way.
RERENDERS = ("frames-changed", "unknown-frames-changed", "popm-changed")
ID3_TAG = dict(state=mutagen_view, loadable=lambda view: view is not None, form=form, judge=judge_tag,
               describe=lambda data: describe(mutagen_view(data)), label=label, refusal=mutagen_refusal)
ADTS = Format(names=("song.aac",), titles=("ADTS",), claim=claim_adts, extensions=(".aac",),
              sniff=lambda head: make_mp4_riff.kind_of(head) == "adts", decoded=True, write=mutagen_save,
              mutagen_save=mutagen_save, damages=[("an ADTS frame byte", _adts_frame, {"outside-tag-changed"})],
              rerenders=RERENDERS, **ID3_TAG)
# Last in the table: an MP3 is what no other format claims.
MP3 = Format(names=("song.mp3",), titles=("MP3",), claim=lambda data: "song.mp3",
             extensions=(".mp3", ".mp2", ".mpa", ".id3"),
             sniff=lambda head: head[:3] == b"ID3" or (len(head) >= 4 and head[0] == 0xFF and head[1] & 0xE0 == 0xE0),
             decoded=False, source=Source(0.33, seed_pool, 0.35, lambda rng, pool: structured_file(rng), mutated),
             **ID3_TAG)
