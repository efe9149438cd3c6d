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

FLAC, Ogg Vorbis and Opus inputs are ffmpeg's files and those tests/fixtures/make_flac_ogg.py
builds around them, and mutations of block lengths, last-block flags, lacing values, page
sizes, CRCs and lengths. mutagen never saves here (it checks no Ogg CRC and moves FLAC padding
about on its own saves); the judge walks the files itself. Such a case fails when
- the input is no FLAC, Ogg Vorbis or Opus file the judge can trust (a length past its block
  or the file, a Vorbis comment or PICTURE whose lengths do not fill its block exactly (mutagen
  reads those by their content and the next block from where they end, libFLAC by the block's
  length), a last-block flag missing or early, a bad CRC, lacing that does not add up, a packet
  that never ends, a gap in the sequence numbers, Ogg FLAC, a multiplexed or chained stream,
  mutagen cannot load it...) and it changed;
- it was saved and: the file written is not sound in the same sense; a FLAC block other than
  the comment and the padding, the ID3v2 tag before fLaC or an audio byte changed; an Ogg
  packet other than the comment packet, an audio page (granule position included) or Opus
  binary data after the comments changed; a field other than the rating fields changed its
  bytes, place or name, or the vendor changed; RATING does not hold stars x 20 (stars, where
  the first RATING held a whole 1-5), FMPS_RATING or RATING:<e-mail> fields that were there do
  not hold stars / 5 or were created, a rating field is left for 0 stars; the player's rule
  does not read the stars back; mutagen reads other fields, blocks or stream facts; ffmpeg
  decodes other audio (every --decode-every-th case, and every seed or file).

M4A, WAV, AIFF and ADTS inputs are ffmpeg's files and those tests/fixtures/make_mp4_riff.py
builds around them, and mutations of atom sizes (64-bit and 0 too), chunk offsets and counts,
data atoms, RIFF and chunk sizes, pad bytes and length. mutagen never saves them either. Such a
case fails when
- the input is no M4A, WAV or AIFF the judge can trust (an atom or chunk size past its parent or
  the file, a size 0 but for the last top-level atom, a fragmented file, not one moov, a chunk
  offset outside mdat, a RIFF or FORM size other than the file's less 8, RF64, two ID3 chunks,
  mutagen cannot load it) and it changed;
- an M4A was saved and: the file written is not sound in the same sense; the mdat payload, the
  sample bytes behind a stco or co64 entry, an atom off the moov/udta/meta/ilst path (free atoms
  aside; a new meta must have its hdlr of type mdir) or an ilst item but rate and the freeform
  RATING and FMPS_Rating changed; rate is not one UTF-8 text of stars x 20 (or is there at 0
  stars); an existing RATING or FMPS_Rating does not hold stars x 20 or stars / 5, or one was
  made; the player's rule does not read the stars back; mutagen reads other items;
- a WAV or AIFF was saved and: it is not sound; another chunk changed or moved; the ID3 chunk
  was renamed, or a new one is not `id3 ` (WAV) or `ID3 ` (AIFF); its tag breaks the MP3 rules
  above; mutagen's wave or aiff reads a POPM of other stars;
- an ADTS file breaks the MP3 rules (the frames after the tag are the bytes after it);
- ffmpeg decodes other audio.

usage:
  mutagen_write_fuzz.py [--seconds S] [--jobs J]    mutated inputs for S seconds
  mutagen_write_fuzz.py --seeds                     every seed once with each star count
  mutagen_write_fuzz.py --files DIR                 a fresh copy of each file under DIR that
                                                    holds an ID3v2 tag, is MPEG audio, FLAC or
                                                    Ogg, with each star count (the peer trial)
  mutagen_write_fuzz.py --replay FILE --stars N     one file, judged, with mutagen's view
                                                    before and after (FILE.written)
  mutagen_write_fuzz.py --self-test [--files DIR]   the FLAC and Ogg judge proven: writes by
                                                    the rules made here pass on every seed
                                                    (and file), each damage fails; the M4A,
                                                    WAV, AIFF and ADTS judge likewise on
                                                    mutagen's own saves
  mutagen_write_fuzz.py --media-self-test [--files DIR]   that last part alone
  mutagen_write_fuzz.py --reference [--seconds S]   the fuzz run with those writes in place of
                                                    the store's: no case may fail (M4A
                                                    written by make_mp4_riff's writer,
                                                    WAV, AIFF and ADTS by mutagen)
Failing inputs are kept, the smallest per kind and shape of failure, with a note, in
build-fuzz/artifacts/mutagen_write_fuzz/ (--files mode keeps notes only). Exits 1 when any
case failed.
"""
import argparse
import base64
import collections
import fractions
import hashlib
import io
import multiprocessing
import os
import random
import re
import select
import shutil
import struct
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
from mutagen.aiff import AIFF  # noqa: E402
from mutagen.flac import FLAC  # noqa: E402
from mutagen.id3 import ID3, POPM, ID3NoHeaderError  # noqa: E402
from mutagen.mp4 import MP4, MP4FreeForm  # noqa: E402
from mutagen.oggopus import OggOpus  # noqa: E402
from mutagen.oggvorbis import OggVorbis  # noqa: E402
from mutagen.wave import WAVE  # noqa: E402
from mutagen.id3._tags import ID3Header, read_frames  # noqa: E402
from mutagen.id3._util import unsynch  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [HERE, os.path.join(ROOT, "tests", "fixtures")]
import make_corpus  # noqa: E402
import make_fixtures  # noqa: E402
import make_flac_ogg as flac_ogg  # noqa: E402
import make_mp4_riff as mp4  # noqa: E402
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
    if isinstance(old, VorbisOld):
        return judge_vorbis(before, old, after, stars, result)
    if isinstance(old, Mp4Old):
        return judge_mp4(before, old, after, stars, result)
    if isinstance(old, RiffOld):
        return judge_riff(before, old, after, stars, result)
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


def describe_any(data):
    """describe() for an MP3 or ADTS, the Vorbis comment and the structure for FLAC and Ogg,
    the items for M4A, the chunks and tag for WAV and AIFF."""
    if song_name(data) in ID3_NAMES:
        return describe(mutagen_view(data))
    if song_name(data) == "song.m4a":
        _, state, why = mp4_old(data)
        if state is None:
            return "M4A the judge does not trust: %s" % why
        lines = ["M4A, %d top-level atoms, %d media atoms, chunks per track %s" % (
            len(state.top), len(state.media), [len(c) for c in state.chunks])]
        lines += ["  %r: %r" % (key, [(t, v[:40]) for t, v in item_values(c)])
                  for key, items in sorted(state.ratings.items()) for c in items]
        lines += ["  %r" % (c[0],) for c in state.items]
        return "\n".join(lines)
    if song_name(data) in ("song.wav", "song.aiff"):
        _, state, why = riff_old(data)
        if state is None:
            return "%s the judge does not trust: %s" % (song_name(data)[5:], why)
        return "%s (%s), chunks %s, ID3 chunk %r:\n%s" % (
            state.kind, state.form.decode("latin-1"), [c[0].decode("latin-1") for c in state.others], state.tag_id,
            describe(state.view))
    codec, state, why = vorbis_state(data)
    if state is None:
        return "%s the judge does not trust: %s" % (codec, why)
    lines = ["%s, vendor %r, %d other blocks or packets" % (codec, state.vendor, len(state.blocks))]
    lines += ["  %r" % (field if len(field) < 100 else field[:97] + b"...") for field in state.fields or []]
    return "\n".join(lines)


def tag_label(data):
    """Version and tag flags from the header bytes, for telling failures apart."""
    if song_name(data) not in ID3_NAMES:
        return song_name(data)[5:] + (" after ID3v2" if data[:3] == b"ID3" else "")
    if len(data) < 10 or data[:3] != b"ID3":
        return "no tag"
    names = [name for bit, name in ((0x80, "unsync"), (0x40, "ext"), (0x20, "exp"), (0x10, "footer"))
             if data[5] & bit]
    return " ".join(["v2.%d" % data[3]] + names)


# ---- FLAC, Ogg Vorbis and Opus: the Vorbis comment's rating ----------------------------------
#
# mutagen reads the fields and blocks; it checks no Ogg CRC and would move FLAC padding about on
# a save of its own, so it never saves here, and the structure is walked by make_flac_ogg's
# strict walks: every block but the comment and the padding, every Ogg packet but the comment
# packet, every audio byte and page stay, the CRCs and sequence numbers hold, and the fields
# obey the rating's rules.

RATING_NAMES = (b"rating", b"fmps_rating")
ALL_CHECKS = frozenset(["bytes", "fields", "mutagen", "decode"])
FRACTION_TEXT = re.compile(rb"[0-9]+(\.[0-9]+)?")


def field_name(field):
    return field.split(b"=", 1)[0].lower() if b"=" in field else None


def rating_kind(field):
    """"rating" for RATING, "fraction" for FMPS_RATING and RATING:<anything> (names without
    case), None for every other field; a field without "=" is no rating field."""
    name = field_name(field)
    if name == b"rating":
        return "rating"
    if name == b"fmps_rating" or (name is not None and name.startswith(b"rating:")):
        return "fraction"
    return None


def ambiguous_field(field):
    """A field without "=" whose whole text is a rating name: one reader takes it for an empty
    rating field, another for no field; a writer may keep it or drop it."""
    return b"=" not in field and (field.lower() in RATING_NAMES or field.lower().startswith(b"rating:"))


def field_stars(field):
    """Stars by the player's rule for one rating field: 0 for no rating, None when the value does
    not parse (the next field is tried)."""
    kind, value = rating_kind(field), field.split(b"=", 1)[1]
    if re.fullmatch(rb"[0-9]+", value) and kind == "rating":
        n = int(value)
        return 0 if n == 0 else n if n <= 5 else min(5, -(-n // 20))
    if re.fullmatch(rb"[0-9]*\.[0-9]+|[0-9]+\.[0-9]*", value) or (kind == "fraction" and value.isdigit()):
        f = fractions.Fraction(value.decode())
        if f == 0:
            return 0
        if f <= 1:
            return max(1, int(f * 5 + fractions.Fraction(1, 2)))
    return None


def read_stars(fields):
    """The rating as the player reads it: the first rating field whose value parses."""
    for field in fields:
        if rating_kind(field) is not None:
            stars = field_stars(field)
            if stars is not None:
                return stars
    return 0


def already_rated(fields, stars):
    """Whether a file needs no write for `stars`: every rating field reads that many (none for 0
    stars, or only fields that read 0), so that a writer may leave it as it is."""
    ratings = [field_stars(f) for f in (fields or []) if rating_kind(f)]
    return all(r == stars for r in ratings) and (bool(ratings) or stars == 0)


def check_fields(before, after, stars):
    """(kind, detail, text) where the fields written break the rating's rules, or None."""
    before = [f for f in before if not ambiguous_field(f)]
    after = [f for f in after if not ambiguous_field(f)]
    whole_after = after
    ratings = [f for f in before if rating_kind(f) == "rating"]
    if stars == 0:
        left = [f for f in after if rating_kind(f)]
        if left:
            return "rating-field-left", rating_kind(left[0]), "0 stars, yet %r is still there" % left[0][:60]
        expected = [("keep", f) for f in before if not rating_kind(f)]
    else:
        expected = [("keep", f) if not rating_kind(f) else (rating_kind(f), f.split(b"=", 1)[0]) for f in before]
        if not ratings:
            added = [i for i, f in enumerate(after) if rating_kind(f) == "rating"]
            if len(added) != 1:
                return "rating-field-wrong", "added %d" % len(added), "%d RATING fields where one was due" % len(added)
            if after[added[0]].split(b"=", 1)[1] != b"%d" % (stars * 20):
                return "rating-field-wrong", "new value", "new field %r, %d stars" % (after[added[0]][:40], stars)
            after = after[:added[0]] + after[added[0] + 1:]
    if read_stars(whole_after) != stars:
        return "rating-not-read", "", "the player's rule reads %d stars, %d written" % (read_stars(whole_after), stars)
    values = {b"%d" % (stars * 20)}
    if ratings:
        first = ratings[0].split(b"=", 1)[1]
        if re.fullmatch(rb"[1-5]", first.lstrip(b"0")) and first.isdigit():
            values = {b"%d" % stars}
        elif re.fullmatch(rb"\s*\+?0*[1-5]\s*", first):  # whole or not, as a reader takes it
            values.add(b"%d" % stars)
    for i, (how, what) in enumerate(expected):
        if i >= len(after):
            return "field-changed", "lost", "field %d (%r) lost" % (i, what[:40])
        field = after[i]
        if how == "keep":
            if field != what:
                return "field-changed", "changed", "field %d %r became %r" % (i, what[:40], field[:40])
        elif field.split(b"=", 1)[0] != what:
            return "field-changed", "rating name", "rating field %d %r became %r" % (i, what[:40], field[:40])
        elif how == "rating" and field.split(b"=", 1)[1] not in values:
            return "rating-field-wrong", "RATING", "%r for %d stars (due: %s)" % (
                field[:40], stars, b" or ".join(sorted(values)).decode())
        elif how == "fraction" and not (FRACTION_TEXT.fullmatch(field.split(b"=", 1)[1]) and fractions.Fraction(
                field.split(b"=", 1)[1].decode()) == fractions.Fraction(stars, 5)):
            return "rating-field-wrong", "fraction", "%r for %d stars" % (field[:60], stars)
    if len(after) > len(expected):
        extra = after[len(expected)]
        kind = "rating-field-created" if rating_kind(extra) else "field-changed"
        return kind, "added", "field %r added" % extra[:60]
    return None


VorbisState = collections.namedtuple("VorbisState", "codec vendor fields blocks audio tail mutagen")


def mutagen_vorbis(data, codec):
    """mutagen's reading: (fields but the rating fields, blocks but comment and padding, stream
    facts); raises when mutagen cannot load the file."""
    kind = {"flac": FLAC, "vorbis": OggVorbis, "opus": OggOpus}[codec]
    loaded = kind(io.BytesIO(data))
    tags = [(re.sub(r"^unknown\d+$", "unknown", key), value) for key, value in (loaded.tags or [])
            if not rating_kind(key.encode("utf-8", "replace") + b"=")]
    blocks = []
    if codec == "flac":
        for block in loaded.metadata_blocks:
            if block.code not in (PADDING_CODE, COMMENT_CODE):
                try:
                    blocks.append((block.code, block.write()))
                except Exception as error:  # a block mutagen reads but cannot write again
                    blocks.append((block.code, repr(error)))
    info = loaded.info
    return tags, blocks, (getattr(info, "sample_rate", None), info.channels, round(info.length, 6))


PADDING_CODE, COMMENT_CODE = flac_ogg.PADDING, flac_ogg.VORBIS_COMMENT


def flac_state(data):
    """The FLAC as the judge compares it; ValueError when it is no FLAC a writer can trust."""
    layout = flac_ogg.flac_walk(data)
    comments = [b for b in layout.blocks if b.code == COMMENT_CODE]
    comment = flac_ogg.parse_comment(comments[0].body) if comments else None
    blocks = [(b.code, b.body) for b in layout.blocks if b.code != PADDING_CODE and not (comments and b is comments[0])]
    return VorbisState("flac", comment.vendor if comment else None, comment.fields if comment else None, blocks,
                       (layout.prefix, data[layout.audio_offset:]), None, None)


def ogg_state(data):
    """The Ogg Vorbis or Opus stream as the judge compares it; ValueError when it is none a writer
    can trust: a page cut short or with a bad CRC, lacing that does not add up, a packet that
    never ends, sequence numbers with a gap, more than one stream (multiplexed or chained),
    another codec (Ogg FLAC, Speex...), headers not on the pages they belong on."""
    pages = flac_ogg.ogg_pages(data)
    if not pages:
        raise ValueError("no page")
    for i, page in enumerate(pages):
        if not page.crc_ok:
            raise ValueError("a page's CRC is wrong")
        if page.serial != pages[0].serial:
            raise ValueError("more than one stream (multiplexed or chained)")
        if page.seq != (pages[0].seq + i) & 0xFFFFFFFF:
            raise ValueError("a gap in the sequence numbers")
        if bool(page.flags & flac_ogg.BOS) != (i == 0) or page.flags & ~7:
            raise ValueError("a page's flags are wrong")
        if page.flags & flac_ogg.EOS and i != len(pages) - 1:
            raise ValueError("pages after the end of the stream")
        open_packet = i > 0 and bool(pages[i - 1].lacing) and pages[i - 1].lacing[-1] == 255
        if bool(page.flags & flac_ogg.CONTINUED) != open_packet:
            raise ValueError("a continued flag that does not match the lacing before it")
    packets = flac_ogg.ogg_packets(pages)
    if not packets or not packets[-1].complete:
        raise ValueError("a packet that never ends")
    head = packets[0].data
    if head.startswith(b"\x01vorbis") and len(head) == 30:
        codec, headers, magic = "vorbis", 3, b"\x03vorbis"
    elif head.startswith(b"OpusHead") and len(head) >= 19 and head[8] < 16:
        codec, headers, magic = "opus", 2, b"OpusTags"
    else:
        raise ValueError("not Ogg Vorbis or Opus")
    if len(packets) < headers or packets[0].last_page != 0 or packets[1].first_page != 1:
        raise ValueError("the identification header is not alone on the first page")
    comment = packets[1].data
    if not comment.startswith(magic) or (codec == "vorbis" and not packets[2].data.startswith(b"\x05vorbis")):
        raise ValueError("the header packets are not where they belong")
    last = packets[headers - 1].last_page
    if len(packets) > headers and packets[headers].first_page <= last:
        raise ValueError("audio begins on a page of the headers")
    parsed = flac_ogg.parse_comment(comment, len(magic))
    tail = comment[parsed.end:]
    if codec == "vorbis" and not (tail and tail[0] & 1):
        raise ValueError("the framing bit is not set")
    others = [p.data for i, p in enumerate(packets) if i != 1]
    audio = [(p.flags, p.granule, p.lacing, p.body) for p in pages[last + 1:]]
    return VorbisState(codec, parsed.vendor, parsed.fields, others, (pages[0].serial, audio), tail, None)


VorbisOld = collections.namedtuple("VorbisOld", "codec state why")


def vorbis_state(data):
    """(codec, state or None, why it is none a writer can trust)."""
    codec = "flac" if flac_ogg.is_flac(data) else "ogg"
    try:
        state = flac_state(data) if codec == "flac" else ogg_state(data)
    except ValueError as error:  # any other error is the judge's own, and shows as such
        return VorbisOld(codec, None, str(error))
    try:
        mutagen_facts = mutagen_vorbis(data, state.codec)
    except Exception as error:  # any reason mutagen gives up
        return VorbisOld(codec, None, "mutagen cannot load it: %s" % type(error).__name__)
    return VorbisOld(state.codec, state._replace(mutagen=mutagen_facts), "")


def judge_vorbis(before, old, after, stars, result, checks=ALL_CHECKS):
    """(kind, detail, text) of the first rule the write broke, or None, for a FLAC or Ogg file;
    `old` is vorbis_state(before). `checks` leaves some out (the self-test proves each alone)."""
    codec, state, why = old
    if state is None:
        if after != before:
            return "malformed-input-changed", why.split(":")[0], "%s, yet the file changed" % why
        return None
    if result != "Saved" or (after == before and already_rated(state.fields, stars)):
        return None
    _, new, why_after = vorbis_state(after)
    if new is None:
        return "structure-after", why_after.split(":")[0], "the file written is no longer sound: %s" % why_after
    if "bytes" in checks:
        if new.audio != state.audio:
            if codec == "flac":
                if new.audio[0] != state.audio[0]:
                    return "prefix-changed", "", "the ID3v2 tag before fLaC changed"
                return "audio-changed", "", "the audio after the metadata changed (%d bytes before, %d after)" % (
                    len(state.audio[1]), len(new.audio[1]))
            return ogg_audio_difference(state.audio, new.audio)
        if new.blocks != state.blocks:
            return other_blocks_difference(state, new)
        old_data = state.codec == "opus" and state.tail[:1] and state.tail[0] & 1  # else padding, free
        if old_data and new.tail != state.tail:
            return "opus-data-changed", "", "the binary data after the comments changed"
        if state.codec == "opus" and not old_data and new.tail[:1] and new.tail[0] & 1:
            return "opus-data-changed", "added", "padding became binary data after the comments"
    if "fields" in checks:
        if state.fields is not None and new.vendor != state.vendor:
            return "vendor-changed", "", "vendor %r became %r" % (state.vendor[:40], (new.vendor or b"")[:40])
        if state.fields is None and new.fields is not None and stars == 0:
            return "comment-block-added", "", "a comment block added for 0 stars"
        failure = check_fields(state.fields or [], new.fields or [], stars)
        if failure is not None:
            return failure
    if "mutagen" in checks:
        old_tags, old_blocks, old_info = state.mutagen
        new_tags, new_blocks, new_info = new.mutagen
        if old_tags != new_tags:
            return "mutagen-fields-changed", "", "mutagen reads other fields: %r -> %r" % (old_tags[:4], new_tags[:4])
        if old_blocks != new_blocks or old_info != new_info:
            return "mutagen-blocks-changed", "", "mutagen reads other blocks or stream facts"
    return None


def ogg_audio_difference(old, new):
    (old_serial, old_pages), (new_serial, new_pages) = old, new
    if old_serial != new_serial:
        return "serial-changed", "", "serial %d became %d" % (old_serial, new_serial)
    if len(old_pages) != len(new_pages):
        return "audio-page-changed", "count", "%d audio pages became %d" % (len(old_pages), len(new_pages))
    i = next(i for i, (a, b) in enumerate(zip(old_pages, new_pages)) if a != b)
    if old_pages[i][1] != new_pages[i][1]:
        return "granule-changed", "", "audio page %d: granule %d became %d" % (i, old_pages[i][1], new_pages[i][1])
    return "audio-page-changed", "", "audio page %d changed" % i


def other_blocks_difference(old, new):
    if old.codec != "flac":
        i = next((i for i, (a, b) in enumerate(zip(old.blocks, new.blocks)) if a != b), None)
        return "packet-changed", "", "packet %s (not counting the comment packet) changed, %d -> %d packets" % (
            i, len(old.blocks), len(new.blocks))
    names = [flac_ogg.BLOCK_NAMES.get(code, "type %d" % code) for code, _ in old.blocks]
    i = next((i for i, (a, b) in enumerate(zip(old.blocks, new.blocks)) if a != b), min(len(old.blocks),
                                                                                       len(new.blocks)))
    what = names[i] if i < len(names) else flac_ogg.BLOCK_NAMES.get(new.blocks[i][0], "a block")
    return "block-changed", what, "%s (block %d not counting comment and padding) changed, added or lost" % (what, i)


FFMPEG = shutil.which("ffmpeg")


def decoded_audio(data, folder, cache):
    """ffmpeg's MD5 of the decoded audio (its error text when it gives none), cached by input. The
    decoder's warnings are not part of it: they name offsets in the file, which a longer comment
    moves."""
    key = hashlib.sha1(data).digest()
    if key not in cache:
        path = os.path.join(folder, "decode.bin")
        with open(path, "wb") as out:
            out.write(data)
        run = subprocess.run([FFMPEG, "-nostdin", "-v", "error", "-i", path, "-map", "0:a", "-f", "md5", "-"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        os.remove(path)
        errors = re.sub(rb" @ 0x[0-9a-f]+", b"", run.stderr.strip())[:300]  # addresses differ per run
        digest = run.stdout.strip()
        cache[key] = (run.returncode, (digest if digest.startswith(b"MD5=") else digest + b" " + errors).strip()
                      .decode("latin-1"))
        if len(cache) > 64:
            cache.pop(next(iter(cache)))
    return cache[key]


# ---- MP4 (M4A): the ilst's rating items --------------------------------------------------------
#
# mutagen reads the items (it hides a `rate` of data type 0, which the judge reads from the atoms
# itself) and never saves; the judge walks the atoms: the media data, the sample bytes every
# chunk offset points at, every atom off the moov/udta/meta/ilst path (free atoms aside) and every
# item but the rating items stay, and the rating items follow the writing rules.

RATING_ITEMS = (b"rate", b"----:com.apple.iTunes:RATING", b"----:com.apple.iTunes:FMPS_Rating")
RATING_KEYS = ("rate", "----:com.apple.iTunes:RATING", "----:com.apple.iTunes:FMPS_Rating")
RATING_LOWER = {key.lower() for key in RATING_ITEMS}
PATH_BELOW = {b"moov": b"udta", b"udta": b"meta", b"meta": b"ilst"}
MP4_CHECKS = frozenset(["media", "chunks", "atoms", "items", "rating", "mutagen"])

Mp4Old = collections.namedtuple("Mp4Old", "codec state why")
Mp4State = collections.namedtuple("Mp4State", "top moov media chunks items ratings mutagen")


def item_key(data, item):
    """An ilst item's name as mutagen keys it: "----:mean:name" for a freeform item."""
    if item.kind != b"----":
        return item.kind
    parts = {c.kind: mp4.body(data, c)[4:] for c in item.children if c.kind in (b"mean", b"name")}
    return b"----:" + parts.get(b"mean", b"") + b":" + parts.get(b"name", b"")


def item_content(data, item):
    """An item as compared: its key and each child's kind and body (sizes follow), or its body
    where its children do not add up."""
    if item.children is None:
        return item.kind, ((b"bytes", mp4.body(data, item)),)
    return item_key(data, item), tuple((c.kind, mp4.body(data, c)) for c in item.children)


def rating_key(key):
    """Whether an item is a rating item: `rate`, or a freeform RATING or FMPS_Rating under
    com.apple.iTunes, in any case (a store may take the name without case, or leave such an
    item as it is)."""
    return key == RATING_ITEMS[0] or (key.startswith(b"----:") and key.lower() in RATING_LOWER)


def item_values(content):
    """(data type, payload) of each data atom of an item."""
    return [(int.from_bytes(b[:4], "big") & 0xFFFFFF, b[8:]) for kind, b in content[1] if kind == b"data"]


def mp4_number(payload):
    """The player's reading of `rate`: ASCII digits as a decimal, else a 1-, 2- or 4-byte integer."""
    if payload and payload.isdigit():
        return int(payload)
    if len(payload) in (1, 2, 4):
        return int.from_bytes(payload, "big")
    return None


def player_stars(ratings):
    """The rating the player's MP4 decoder reads: from `rate` alone, 100 and above 5, 1-99
    ceil(v/20)."""
    rate = ratings.get(b"rate")
    if not rate or not item_values(rate[0]):
        return 0
    value = mp4_number(item_values(rate[0])[0][1])
    return 0 if not value else 5 if value >= 100 else -(-value // 20)


def mp4_chunks(data, trak):
    """(offset, size) of each chunk of a track, from its chunk offsets, stsc and stsz; size None
    where stsc or stsz are missing or do not add up (the judge then compares a chunk's first
    bytes)."""
    stbl = mp4.find(trak.children, b"mdia", b"minf", b"stbl")
    tables = [a for a in (stbl.children if stbl else []) if a.kind in (b"stco", b"co64")]
    if len(tables) > 1:
        raise ValueError("two chunk offset tables in a track")
    if not tables:
        return []
    offsets = mp4.read_offsets(data, tables[0])
    if len(mp4.body(data, tables[0])) != 8 + len(offsets) * (8 if tables[0].kind == b"co64" else 4):
        raise ValueError("a chunk offset table whose count does not fill it")
    try:
        return list(zip(offsets, chunk_sizes(data, stbl, len(offsets))))
    except (ValueError, struct.error):
        return [(offset, None) for offset in offsets]


def chunk_sizes(data, stbl, count_of_chunks):
    """The byte size of each chunk, from stsc and stsz."""
    stsc, stsz = mp4.find(stbl.children, b"stsc"), mp4.find(stbl.children, b"stsz")
    if stsc is None or stsz is None:
        raise ValueError("a sample table without stsc or stsz")
    raw = mp4.body(data, stsc)
    count = struct.unpack(">I", raw[4:8])[0] if len(raw) >= 8 else -1
    if count < 0 or 8 + 12 * count > len(raw):
        raise ValueError("an stsc count larger than its atom")
    runs = [struct.unpack(">III", raw[8 + 12 * i:20 + 12 * i])[:2] for i in range(count)]
    raw = mp4.body(data, stsz)
    if len(raw) < 12:
        raise ValueError("an stsz cut short")
    uniform, samples = struct.unpack(">II", raw[4:12])
    if samples > 1 << 24:
        raise ValueError("more samples than the judge counts")
    if not uniform and 12 + 4 * samples > len(raw):
        raise ValueError("an stsz count larger than its atom")
    sizes = [uniform] * samples if uniform else list(struct.unpack(">%dI" % samples, raw[12:12 + 4 * samples]))
    chunks, sample = [], 0
    for index in range(count_of_chunks):
        per = next((n for first, n in reversed(runs) if first <= index + 1), 0)
        chunks.append(sum(sizes[sample:sample + per]))
        sample += per
    return chunks


def atom_form(a):
    return (a.kind, a.form)


def canonical(data, a):
    """An atom off the rating's path as compared: a chunk offset table is its count (the sample
    bytes are compared apart; stco may become co64), a container its size form and children."""
    if a.kind in (b"stco", b"co64"):
        try:
            return (b"offsets", len(mp4.read_offsets(data, a)))
        except ValueError:  # one off the sample tables, which nobody reads: its bytes
            pass
    if a.children is not None and a.kind != b"ilst":
        head = mp4.body(data, a)[:4] if a.kind == b"meta" else b""
        return (a.kind, a.form, head, tuple(canonical(data, c) for c in a.children))
    return (a.kind, a.form, hashlib.sha1(mp4.body(data, a)).digest())


def mp4_state(data):
    """The M4A as the judge compares it; ValueError when it is none a writer can trust: sizes that
    do not add up, a fragmented file, not one moov, no media, a chunk outside the media..."""
    top = mp4.walk_atoms(data, 0, len(data), top=True)
    kinds = [a.kind for a in top]
    if mp4.FRAGMENTED & set(kinds):
        raise ValueError("a fragmented file")
    if kinds.count(b"moov") != 1 or b"mdat" not in kinds:
        raise ValueError("not one moov atom and media")
    moov = top[kinds.index(b"moov")]
    media = [a for a in top if a.kind == b"mdat"]
    chunks = []
    for trak in (a for a in moov.children if a.kind == b"trak"):
        track = []
        for offset, size in mp4_chunks(data, trak):
            within = [m for m in media if m.offset + m.header <= offset < m.offset + m.size]
            if size is None and within:  # sizes unknown: the chunk's first bytes
                size = min(16, within[0].offset + within[0].size - offset)
            if not within or offset + size > within[0].offset + within[0].size:
                raise ValueError("a chunk offset that does not point into the media")
            track.append(hashlib.sha1(data[offset:offset + size]).digest())
        chunks.append(track)
    if not chunks:
        raise ValueError("no track")
    path, at = [moov], moov
    while at.kind in PATH_BELOW:
        below = [c for c in at.children if c.kind == PATH_BELOW[at.kind]]
        if len(below) > 1:
            raise ValueError("two %s atoms" % PATH_BELOW[at.kind].decode())
        if not below:
            break
        at = below[0]
        path.append(at)
    if path[-1].kind == b"meta" and mp4.body(data, path[-1])[:4] != bytes(4):
        raise ValueError("a meta atom that is no full box of version 0")
    ilst = path[-1] if path[-1].kind == b"ilst" else None
    items = [item_content(data, i) for i in (ilst.children if ilst else [])]
    ratings = collections.defaultdict(list)
    for content in items:
        if rating_key(content[0]):
            ratings[content[0]].append(content)
    others = sorted(c for c in items if not rating_key(c[0]))
    try:
        loaded = MP4(io.BytesIO(data))
    except Exception:  # any reason mutagen gives up (no audio track...): the walks alone judge
        loaded = None
    tags = loaded.tags if loaded is not None else None
    seen = sorted((key, repr(value)) for key, value in (tags.items() if tags is not None else [])
                  if not rating_key(key.encode("utf-8", "replace")))
    seen += sorted((key, repr(value)) for key, value in (tags._failed_atoms.items() if tags is not None else [])
                   if not rating_key(key.encode("utf-8", "replace")))
    facts = (seen, round(loaded.info.length, 6), loaded.info.channels, getattr(loaded.info, "sample_rate", None)
             ) if loaded is not None else None
    return Mp4State([canonical(data, a) if a.kind != b"moov" else b"moov" for a in top if a.kind not in mp4.FREE],
                    (data, path), [hashlib.sha1(mp4.body(data, m)).digest() for m in media], chunks, others,
                    dict(ratings), facts)


def mp4_old(data):
    try:
        return Mp4Old("m4a", mp4_state(data), "")
    except (ValueError, struct.error) as error:
        return Mp4Old("m4a", None, str(error))
    except Exception as error:  # any reason mutagen gives up
        return Mp4Old("m4a", None, "mutagen cannot load it: %s" % type(error).__name__)


def path_difference(old_data, old_path, new_data, new_path):
    """Where the moov/udta/meta path's atoms differ in more than size and free atoms, or None:
    every atom off the path keeps its bytes; a path atom made anew holds only what it must."""
    for depth, kind in enumerate((b"moov", b"udta", b"meta")):
        if depth >= len(new_path):
            return "%s lost" % kind.decode() if depth < len(old_path) else None
        new = new_path[depth]
        below = PATH_BELOW[kind]
        new_rest = [canonical(new_data, c) for c in new.children if c.kind not in mp4.FREE + (below,)]
        if depth < len(old_path):
            old = old_path[depth]
            if old.form != new.form and old.form != "0":
                return "%s's size form %s became %s" % (kind.decode(), old.form, new.form)
            old_rest = [canonical(old_data, c) for c in old.children if c.kind not in mp4.FREE + (below,)]
            if kind == b"meta":
                old_rest.insert(0, mp4.body(old_data, old)[:4])
                new_rest.insert(0, mp4.body(new_data, new)[:4])
        else:  # made anew: a meta has its hdlr of type mdir
            old_rest = []
            if kind == b"meta":
                hdlr = [c for c in new.children if c.kind == b"hdlr"]
                if len(hdlr) != 1 or mp4.body(new_data, hdlr[0])[8:12] != b"mdir":
                    return "a new meta without its hdlr of type mdir"
                new_rest = [r for r in new_rest if r[0] != b"hdlr"]
        if old_rest != new_rest:
            return "an atom in %s other than %s and free changed" % (kind.decode(), below.decode())
    return None


def rating_rules(old, new, stars):
    """(kind, detail, text) where the rating items written break the writing rules, or None."""
    rate = new.get(b"rate", [])
    failure = variant_rules(old, new, stars)
    if failure is not None:
        return failure
    if stars == 0:
        left = [k for k in RATING_ITEMS if new.get(k)]
        if left:
            return "rating-item-left", left[0].decode()[-12:], "0 stars, yet %r is still there" % left[0]
        return None
    if not rate or any(item_values(r) != [(1, b"%d" % (stars * 20))] and not (
            r in old.get(b"rate", []) and holds_number(r, stars * 20)) for r in rate):
        return "rate-wrong", "", "rate %r for %d stars (due: each one data atom, type 1, %d, or one that held " \
            "that number as it was)" % ([item_values(r) for r in rate], stars, stars * 20)
    for key, text in ((RATING_ITEMS[1], b"%d" % (stars * 20)), (RATING_ITEMS[2], b"%.1f" % (stars / 5))):
        if not old.get(key) and new.get(key):
            return "rating-item-created", key.decode()[-12:], "%r created" % key
        if old.get(key) and not freeform_follows(old[key], new.get(key, []), key == RATING_ITEMS[1], text, stars * 20):
            return "rating-item-wrong", key.decode()[-12:], "%r holds %r for %d stars" % (
                key, [item_values(n) for n in new.get(key, [])], stars)
    return None


def freeform_follows(olds, news, integer_allowed, text, number):
    """Whether each RATING or FMPS_Rating item holds the rating in its own data type: text
    (type 0 or 1) as `text`, a RATING's integer (type 21, 1, 2 or 4 bytes) as `number`. One of
    another type (or a broken integer) the rules do not write stays as it was."""
    if len(news) != len(olds):
        return False
    for old_item, new_item in zip(olds, news):
        old_values, new_values = item_values(old_item), item_values(new_item)
        kind = old_values[0][0] if old_values else None
        integer = integer_allowed and kind == 21 and len(old_values[0][1]) in (1, 2, 4)
        if kind not in (0, 1) and not integer:
            if new_item != old_item:
                return False
            continue
        if len(new_values) != len(old_values) or new_values[1:] != old_values[1:] or new_values[0][0] != kind:
            return False
        payload = new_values[0][1]
        if (int.from_bytes(payload, "big") != number or len(payload) not in (1, 2, 4)) if integer else payload != text:
            return False
    return True


def variant_rules(old, new, stars):
    """(kind, detail, text) where a freeform RATING or FMPS_Rating named in another case broke
    the rules, or None: each may stay as it was or hold what the rules write (or go at 0 stars);
    none is made."""
    for key in set(old) | set(new):
        if key in RATING_ITEMS:
            continue
        olds, news = old.get(key, []), new.get(key, [])
        due = b"%d" % (stars * 20) if key.lower() == RATING_ITEMS[1].lower() else b"%.1f" % (stars / 5)
        if len(news) > len(olds) or (stars and len(news) < len(olds)):
            return "rating-item-wrong", "case", "%d items %r became %d" % (len(olds), key, len(news))
        for item in news:
            # In the item's own text type (0 or 1), as the rules write a RATING or FMPS_Rating.
            if item not in olds and not (stars and item_values(item) in ([(0, due)], [(1, due)])):
                return "rating-item-wrong", "case", "%r holds %r for %d stars" % (key, item_values(item), stars)
    return None


def holds_number(content, number):
    """Whether an item holds the number as text or as an integer (of several data atoms, the
    first is read; a type 0 item, which Kid3 does not read, holds none)."""
    values = item_values(content)[:1]
    if len(values) != 1 or values[0][0] not in (1, 21):
        return False
    kind, payload = values[0]
    if kind == 1:
        return FRACTION_TEXT.fullmatch(payload) is not None and fractions.Fraction(payload.decode()) == number
    return len(payload) in (1, 2, 4, 8) and int.from_bytes(payload, "big") == number


def already_stored(ratings, stars):
    """Whether an M4A needs no write for `stars`: `rate`, and every RATING and FMPS_Rating there,
    hold the very number the write would, as text or as an integer, so that a writer may leave
    it as it is."""
    holds = holds_number
    rate = ratings.get(RATING_ITEMS[0], [])
    if not stars or not rate or not all(holds(r, stars * 20) for r in rate):
        return False
    return all(holds(c, stars * 20) for c in ratings.get(RATING_ITEMS[1], [])) and all(
        holds(c, fractions.Fraction(stars, 5)) for c in ratings.get(RATING_ITEMS[2], []))


def judge_mp4(before, old, after, stars, result, checks=MP4_CHECKS):
    """(kind, detail, text) of the first rule the write broke, or None, for an M4A; `old` is
    mp4_old(before). `checks` leaves some out (the self-test proves each alone)."""
    _, state, why = old
    if state is None:
        if after != before:
            return "malformed-input-changed", why.split(":")[0], "%s, yet the file changed" % why
        return None
    if result != "Saved":
        return None
    if after == before:
        failure = rating_rules(state.ratings, state.ratings, stars)
        if failure is None or already_stored(state.ratings, stars):
            return None
        return "rating-not-written", failure[0], "saved unchanged: " + failure[2]
    _, new, why_after = mp4_old(after)
    if new is None:
        return "structure-after", why_after.split(":")[0], "the file written is no longer sound: %s" % why_after
    if "media" in checks and new.media != state.media:
        return "media-changed", "", "the media data (mdat) changed"
    if "chunks" in checks and new.chunks != state.chunks:
        track = next(i for i, (a, b) in enumerate(zip(state.chunks + [None], new.chunks + [None])) if a != b)
        return "chunk-offset-moved", "", "track %d: a chunk offset points at other sample bytes" % track
    if "atoms" in checks:
        if new.top != state.top:
            return "atom-changed", "top", "a top-level atom other than moov and free changed"
        difference = path_difference(*state.moov, *new.moov)
        if difference:
            return "atom-changed", difference.split(" ")[-1], difference
    if "items" in checks and new.items != state.items:
        lost = [c[0] for c in state.items if c not in new.items] + [c[0] for c in new.items if c not in state.items]
        return "item-changed", "", "ilst items other than the rating's changed: %r" % lost[:3]
    if "rating" in checks:
        failure = rating_rules(state.ratings, new.ratings, stars)
        if failure is not None:
            return failure
        if player_stars(new.ratings) != stars:
            return "rating-not-read", "", "the player's rule reads %d stars, %d written" % (
                player_stars(new.ratings), stars)
    if state.mutagen is not None and new.mutagen is None:
        return "unloadable-after", "", "mutagen loads the input but not the file written"
    # An input mutagen cannot load is judged by the walks alone, even where the write (of a
    # rating item it choked on) makes it one mutagen loads.
    if "mutagen" in checks and state.mutagen is not None and new.mutagen != state.mutagen:
        return "mutagen-items-changed", "", "mutagen reads other items or stream facts: %r -> %r" % (
            state.mutagen[0][:3], new.mutagen[0][:3])
    return None


# ---- WAV and AIFF: the POPM of the ID3 chunk ---------------------------------------------------

RiffOld = collections.namedtuple("RiffOld", "codec state why")
RiffState = collections.namedtuple("RiffState", "kind form others tag_id tag view popm slip loaded")
TAG_CHUNKS = (b"id3 ", b"ID3 ")


def popm_stars(rating):
    return 0 if not rating else 1 if rating < 32 else 2 if rating < 96 else 3 if rating < 160 else \
        4 if rating < 224 else 5


def riff_state(data):
    """The WAV or AIFF as the judge compares it; ValueError when it is none a writer can trust
    (sizes that do not add up, RF64, two ID3 chunks, a tag that claims more than its chunk,
    mutagen cannot load it)."""
    kind, form, layout, slip = mp4.riff_layout(data)
    chunks = [(c.cid, data[c.offset + 8:c.offset + 8 + c.size]) for c in layout]
    tags = [c for c in chunks if c[0] in TAG_CHUNKS]
    if len(tags) > 1:
        raise ValueError("two ID3 chunks")
    try:
        loaded = (WAVE if kind == "wav" else AIFF)(io.BytesIO(data))
    except Exception:  # any reason mutagen gives up: only the rating byte may change, as in an MP3
        loaded = None
    popm = next((f for f in (loaded.tags.values() if loaded is not None and loaded.tags is not None else [])
                 if isinstance(f, POPM)), None)
    tag = tags[0][1] if tags else None
    if tag is not None and declared_tag_end(tag) > len(tag):
        raise ValueError("the ID3 chunk's tag claims more than the chunk")
    return RiffState(kind, form, [c for c in chunks if c[0] not in TAG_CHUNKS], tags[0][0] if tags else None, tag,
                     mutagen_view(tag) if tag is not None else View(None, [], [], 0), popm, slip, loaded is not None)


def riff_old(data):
    try:
        return RiffOld("riff", riff_state(data), "")
    except (ValueError, struct.error) as error:
        return RiffOld("riff", None, str(error))
    except Exception as error:
        return RiffOld("riff", None, "mutagen cannot load it: %s" % type(error).__name__)


def judge_riff(before, old, after, stars, result):
    """(kind, detail, text) of the first rule the write broke, or None, for a WAV or AIFF."""
    _, state, why = old
    if state is None:
        if after != before:
            return "malformed-input-changed", why.split(":")[0], "%s, yet the file changed" % why
        return None
    if result != "Saved" and after == before:
        return None
    if state.view is None or not state.loaded:  # mutagen cannot load it: only the rating byte may change
        failure = judge(before, None, after, stars, result, [])
        if failure is not None and not state.loaded:
            return failure[0], "mutagen.%s" % state.kind, "mutagen's %s cannot load the input; %s" % (
                state.kind, failure[2].split("; ", 1)[-1])
        return failure
    if after == before and stars == 0 and state.tag is None:
        return None  # no tag reads as no rating already
    _, new, why_after = riff_old(after)
    if new is None:
        return "structure-after", why_after.split(":")[0], "the file written is no longer sound: %s" % why_after
    if new.slip and not (len(after) == len(before) and new.slip == state.slip):
        return "structure-after", "slip", "the RIFF or FORM size is not the file's size less 8 (%s)" % new.slip
    if not new.loaded:
        return "unloadable-after", "", "mutagen loads the input but not the file written"
    if new.others != state.others:
        return "chunk-changed", "", "a chunk other than the ID3 chunk changed, moved, was added or lost"
    if new.tag is None:
        return "tag-chunk-lost" if state.tag is not None else "rating-not-read", "", "no ID3 chunk after the write"
    if state.tag_id is not None and new.tag_id != state.tag_id:
        return "chunk-changed", "id", "the ID3 chunk's id %r became %r" % (state.tag_id, new.tag_id)
    if state.tag_id is None and new.tag_id != (b"id3 " if state.kind == "wav" else b"ID3 "):
        return "chunk-changed", "new id", "a new ID3 chunk named %r" % new.tag_id
    failure = judge(state.tag or b"", state.view, new.tag, stars, result, [])
    if failure is not None:
        return failure
    if new.popm is None or popm_stars(new.popm.rating) != stars:
        return "rating-not-read", "mutagen.%s" % state.kind, "mutagen's %s reads %s, %d stars written" % (
            state.kind, "no POPM" if new.popm is None else "POPM %d" % new.popm.rating, stars)
    return None


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


# ---- FLAC, Ogg Vorbis and Opus inputs -------------------------------------------------------

_VORBIS_POOL = []


def vorbis_seed_pool():
    """(name, bytes) of the FLAC, Ogg Vorbis and Opus seeds: the fixture generator's files,
    around ffmpeg's own when ffmpeg is there. Made once per run."""
    if not _VORBIS_POOL:
        _VORBIS_POOL.extend(("flac-ogg " + name, data) for name, data in flac_ogg.samples(flac_ogg.ffmpeg_sources()))
    return _VORBIS_POOL


RATING_VALUES = [b"0", b"1", b"3", b"5", b"6", b"20", b"60", b"99", b"100", b"101", b"255", b"-1", b"abc", b"",
                 b"0.5", b"0.05", b"0.8", b"1.0", b"1", b"1.5", b" 3", b"03", b"3 ", b"+3", b"0.", b".6", b"4.0",
                 b"999999999999999999999", b"\xff"]
RATING_FIELD_NAMES = [b"RATING", b"rating", b"Rating", b"FMPS_RATING", b"fmps_rating", b"RATING:someone@example.org",
                      b"rating:x", b"RATING:", b"RATINGS", b"FMPS_RATING_USER"]


def random_fields(rng):
    fields = []
    for _ in range(rng.choice([0, 1, 2, 3, 5, 8])):
        draw = rng.random()
        if draw < 0.45:
            fields.append(rng.choice(RATING_FIELD_NAMES) + b"=" + rng.choice(RATING_VALUES))
        elif draw < 0.9:
            fields.append(rng.choice(flac_ogg.OTHER_FIELDS + [b"title=lower", b"COMMENT=" + b"c" * rng.randint(0, 700),
                                                              b"NOEQUALS", b"rating", b"=x", b"\xff\xfe=bad"]))
        else:
            fields.append(flac_ogg.picture_field(flac_ogg.picture_bytes(rng.randint(10, 3000))))
    return fields


def structured_vorbis_file(rng, pool):
    """(how, bytes): a FLAC, Ogg Vorbis or Opus file around a seed's stream, with random fields
    and (FLAC) blocks, padding and an ID3v2 tag before it, or (Ogg) pages of random sizes and
    data after the comments."""
    how, base = rng.choice(pool)
    fields = random_fields(rng)
    made = ["fields %d" % len(fields)]
    if flac_ogg.is_flac(base):
        try:
            layout = flac_ogg.flac_walk(base)
        except ValueError:
            return how, base
        vendor = rng.choice([flac_ogg.VENDOR, b"", b"reference libFLAC 1.4.2 20221022"])
        blocks = [(b.code, b.body) for b in layout.blocks[1:] if b.code not in (PADDING_CODE, COMMENT_CODE)]
        if rng.random() < 0.85:
            blocks.insert(rng.randint(0, len(blocks)), (COMMENT_CODE, flac_ogg.vorbis_comment(vendor, fields)))
        else:
            made.append("no comment block")
        for _ in range(rng.choice([0, 1, 1, 1, 2])):
            padding = bytes(rng.choice([0, 1, 10, 100, 1024, 8192]))
            blocks.insert(rng.randint(0, len(blocks)), (PADDING_CODE, padding))
        if rng.random() < 0.15:
            blocks.append((flac_ogg.APPLICATION, b"abcd" + bytes(rng.randint(0, 30))))
        prefix = flac_ogg.id3_tag() if rng.random() < 0.12 else b""
        made.append("%d blocks%s" % (len(blocks) + 1, ", ID3v2 first" if prefix else ""))
        return how + "; " + ", ".join(made), flac_ogg.flac_file(
            [(flac_ogg.STREAMINFO, layout.blocks[0].body)] + blocks, base[layout.audio_offset:], prefix)
    try:
        stream = flac_ogg.split_ogg(base)
        vendor = flac_ogg.parse_comment(stream.comment, 7 if stream.codec == "vorbis" else 8).vendor
    except (ValueError, IndexError, struct.error):
        return how, base
    extra = rng.choice([b"", b"", bytes(rng.randint(1, 300)), b"\x01binary data", b"\x00\x01pad"])
    if stream.codec == "vorbis":
        packet = flac_ogg.vorbis_comment_packet(vendor, fields, extra)
    else:
        packet = flac_ogg.opus_comment_packet(vendor, fields, extra)
    segments = rng.choice([255, 255, 1, 2, 7, 64])
    made.append("%d lacing values a page" % segments)
    return how + "; " + ", ".join(made), flac_ogg.join_ogg(stream, packet, segments_per_page=segments)


def vorbis_mutated(rng, data):
    """(what was done, bytes) after one change that knows FLAC blocks or Ogg pages; Ogg pages
    changed get a fresh CRC most of the time, so that the change reaches past the CRC check."""
    data = bytearray(data)
    if flac_ogg.is_flac(data):
        heads, at = [], flac_ogg.id3_prefix_size(data) + 4
        while at + 4 <= len(data) and len(heads) < 64:
            heads.append(at)
            if data[at] & 0x80:
                break
            at += 4 + int.from_bytes(data[at + 1:at + 4], "big")
        if not heads:
            return "truncate", bytes(data[:rng.randrange(len(data) + 1)])
        head = rng.choice(heads)
        op = rng.choice(["length", "length", "last", "type", "comment", "comment", "truncate", "drop", "audio"])
        if op == "length":
            size = int.from_bytes(data[head + 1:head + 4], "big")
            size = rng.choice([size + rng.randint(-4, 4), size * 2, 0, rng.randrange(1 << 24)]) % (1 << 24)
            data[head + 1:head + 4] = size.to_bytes(3, "big")
        elif op == "last":
            data[head] ^= 0x80
        elif op == "type":
            data[head] = (data[head] & 0x80) | rng.choice([0, 1, 2, 3, 4, 5, 6, 7, 126, 127])
        elif op == "comment":
            comments = [h for h in heads if data[h] & 0x7F == flac_ogg.VORBIS_COMMENT]
            if comments:
                field = comments[0] + 4 + rng.choice([0, 0, 4 + int.from_bytes(data[comments[0] + 4:comments[0] + 8],
                                                                                  "little")])
                if field + 4 <= len(data):
                    value = int.from_bytes(data[field:field + 4], "little")
                    value = rng.choice([value + rng.randint(-3, 3), 0xFFFFFFFF, 1 << 31, value * 2]) % (1 << 32)
                    data[field:field + 4] = value.to_bytes(4, "little")
                    head = field
        elif op == "truncate":
            del data[rng.randint(head, min(len(data), head + 200)):]
        elif op == "drop" and len(heads) > 1:
            end = head + 4 + int.from_bytes(data[head + 1:head + 4], "big")
            del data[head:end]
        elif op == "audio" and at < len(data):
            head = rng.randrange(at, len(data))
            data[head] ^= 0xFF
        return "flac-%s@%d" % (op, head), bytes(data)
    try:
        pages = flac_ogg.ogg_pages(bytes(data))
    except ValueError:
        pages = []
    if not pages:
        return "truncate", bytes(data[:rng.randrange(len(data) + 1)])
    index = rng.choice([0, 1, 1, 2, rng.randrange(len(pages))]) % len(pages)
    page = pages[index]
    op = rng.choice(["lacing", "lacing", "size", "crc", "seq", "granule", "flags", "truncate", "serial", "drop"])
    flags, granule, serial, seq, body = page.flags, page.granule, page.serial, page.seq, page.body
    lacing = list(page.lacing)
    if op == "lacing" and lacing:
        i = rng.randrange(len(lacing))
        lacing[i] = rng.choice([0, 255, (lacing[i] + 1) % 256, (lacing[i] - 1) % 256, rng.randrange(256)])
    elif op == "size":
        body = body[:rng.randrange(len(body) + 1)] if rng.random() < 0.5 else body + bytes(rng.randint(1, 300))
        if rng.random() < 0.5:
            lacing = flac_ogg.lacing_of(body)[:255]
    elif op == "seq":
        seq = rng.choice([seq + 1, seq - 1, 0, seq + 1000]) & 0xFFFFFFFF
    elif op == "granule":
        granule = rng.choice([0, flac_ogg.NO_GRANULE, granule + 1, granule * 2]) % (1 << 64)
    elif op == "flags":
        flags ^= rng.choice([1, 2, 4, 8])
    elif op == "serial":
        serial ^= 1
    rebuilt = flac_ogg.ogg_page(flags, granule, serial, seq, lacing, body)
    if op == "crc" or rng.random() < 0.25:
        rebuilt = rebuilt[:22] + bytes([rebuilt[22] ^ 0x5A]) + rebuilt[23:]
    end = page.offset + 27 + len(page.lacing) + len(page.body)
    if op == "truncate":
        return "ogg-truncate@%d" % page.offset, bytes(data[:rng.randint(page.offset, end)])
    if op == "drop":
        rebuilt = b""
    return "ogg-%s@page %d" % (op, index), bytes(data[:page.offset]) + rebuilt + bytes(data[end:])


def fuzz_input(rng, pool, vorbis_pool=None, media_pool=None):
    if media_pool and rng.random() < 0.34:
        if rng.random() < 0.4:
            how, data = rng.choice(media_pool)
        else:
            how, data = structured_media_file(rng, media_pool)
        for _ in range(rng.choice([0, 0, 1, 1, 2, 3])):
            try:
                step, data = media_mutated(rng, data) if rng.random() < 0.8 else mutated(rng, data)
            except (ValueError, IndexError, OverflowError, struct.error) as error:  # the mutator's own slip
                step = "no mutation (%s)" % type(error).__name__
            how += "; " + step
        return how, data
    if vorbis_pool and rng.random() < 0.5:
        if rng.random() < 0.4:
            how, data = rng.choice(vorbis_pool)
        else:
            how, data = structured_vorbis_file(rng, vorbis_pool)
        for _ in range(rng.choice([0, 0, 1, 1, 2, 3])):
            step, data = vorbis_mutated(rng, data) if rng.random() < 0.75 else mutated(rng, data)
            how += "; " + step
        return how, data
    if rng.random() < 0.35:
        how, data = rng.choice(pool)
    else:
        how, data = structured_file(rng)
    for _ in range(rng.choice([0, 0, 1, 1, 2, 3])):
        step, data = mutated(rng, data)
        how += "; " + step
    return how, data


# ---- MP4, WAV, AIFF and ADTS inputs -----------------------------------------------------------

_MEDIA_POOL = []


def media_seed_pool():
    """(name, bytes) of the M4A, WAV, AIFF and ADTS seeds: tests/fixtures/make_mp4_riff.py's
    files around ffmpeg's (none without ffmpeg). Made once per run."""
    if not _MEDIA_POOL:
        _MEDIA_POOL.extend(("media " + name, data) for name, data in mp4.samples(mp4.ffmpeg_sources()))
    return _MEDIA_POOL


def atom_heads(data, start=0, end=None, parents=(), found=None, depth=0):
    """(offset, ancestors' offsets) of the atom headers a lenient walk finds, for mutations."""
    found = [] if found is None else found
    end = len(data) if end is None else end
    at = start
    while at + 8 <= end and len(found) < 300 and depth < 10:
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        header = 8
        if size == 1 and at + 16 <= end:
            size, header = struct.unpack(">Q", data[at + 8:at + 16])[0], 16
        elif size == 0:
            size = end - at
        if size < header:
            break
        found.append((at, parents))
        if kind in mp4.ANY_CONTAINER:
            first = at + header + (4 if kind == b"meta" else 0)
            atom_heads(data, first, min(at + size, end), parents + (at,), found, depth + 1)
        at += size
    return found


def grow_parents(data, parents, by):
    """Ancestors' sizes grown by `by` (32-bit or 64-bit as they are)."""
    for at in parents:
        if data[at:at + 4] == b"\0\0\0\1":
            data[at + 8:at + 16] = (int.from_bytes(data[at + 8:at + 16], "big") + by).to_bytes(8, "big")
        elif data[at:at + 4] != b"\0\0\0\0":
            data[at:at + 4] = ((int.from_bytes(data[at:at + 4], "big") + by) % (1 << 32)).to_bytes(4, "big")


MP4_RATE_VALUES = [b"0", b"1", b"20", b"80", b"99", b"100", b"101", b"255", b"abc", b"", b"0.8", b"\x50",
                   b"\x00\x50", b"\x00\x00\x00\x50", b"\x01\x00\x00", b"\xff" * 8, b"999999999999"]


def random_items(rng):
    """ilst items: rating items of every data type and value, others taggers write."""
    items = []
    for _ in range(rng.choice([0, 1, 2, 3, 5])):
        draw = rng.random()
        if draw < 0.35:
            items.append(mp4.text_item(b"rate", rng.choice(MP4_RATE_VALUES), rng.choice([0, 1, 1, 21, 2, 13])))
        elif draw < 0.55:
            items.append(mp4.freeform(rng.choice([b"RATING", b"FMPS_Rating", b"rating", b"FMPS_RATING"]),
                                      rng.choice(MP4_RATE_VALUES), rng.choice([b"com.apple.iTunes"] * 4 + [b"org.x"])))
        elif draw < 0.65:
            items.append(mp4.item(b"rate", *[mp4.data_atom(1, b"%d" % (20 * rng.randint(0, 5)))
                                             for _ in range(rng.randint(0, 2))]))
        elif draw < 0.75:
            items.append(mp4.item(b"rtng", mp4.data_atom(21, bytes([rng.randrange(3)]))))
        elif draw < 0.85:
            items.append(mp4.item(b"covr", mp4.data_atom(rng.choice([13, 14]),
                                                         flac_ogg.picture_bytes(rng.randint(10, 5000)))))
        else:
            items.append(mp4.text_item(b"\xa9nam", rng.choice(["A title", "\u00e9t\u00e9", "x" * 300])))
    return items


def structured_media_file(rng, pool):
    """(how, bytes): an M4A around a seed's media with random ilst items and free room, or a seed
    of another kind as it is."""
    how, base = rng.choice(pool)
    if mp4.kind_of(base) != "m4a":
        return how, base
    try:
        items = random_items(rng)
        free = rng.choice([0, 0, 8, 40, 200, 4096])
        return how + "; %d items, free %d" % (len(items), free), mp4.with_ilst(base, items, free)
    except (ValueError, StopIteration, struct.error, AttributeError):
        return how, base


def media_mutated(rng, data):
    """(what was done, bytes) after one change that knows atoms or chunks: sizes (64-bit and 0
    too), chunk offsets and counts, data atoms, pad bytes, truncation."""
    data = bytearray(data)
    kind = mp4.kind_of(bytes(data))
    if kind == "m4a":
        heads = atom_heads(bytes(data))
        if not heads:
            return "truncate", bytes(data[:rng.randrange(len(data) + 1)])
        at, parents = rng.choice(heads)
        kinds = {bytes(data[h + 4:h + 8]): (h, p) for h, p in heads}
        op = rng.choice(["size", "size", "size0", "size64", "offset", "offset", "count", "data", "kind", "truncate",
                         "drop", "media", "free"])
        if op in ("offset", "count") and (b"stco" in kinds or b"co64" in kinds):
            at, parents = kinds.get(b"stco") or kinds.get(b"co64")
            if op == "count":
                field = at + 12
                value = rng.choice([0, 1, 0xFFFFFFFF, int.from_bytes(data[field:field + 4], "big") + 1]) % (1 << 32)
            else:
                width = 8 if data[at + 4:at + 8] == b"co64" else 4
                count = int.from_bytes(data[at + 12:at + 16], "big")
                field = at + 16 + width * rng.randrange(max(1, min(count, 64)))
                old = int.from_bytes(data[field:field + width], "big")
                value = rng.choice([old + 1, old - 1, old + 8, 0, len(data), old + rng.randint(-64, 64)])
                value %= 1 << (8 * width)
                data[field:field + width] = value.to_bytes(width, "big")
                return "mp4-offset@%d" % field, bytes(data)
            data[field:field + 4] = value.to_bytes(4, "big")
        elif op == "size":
            old = int.from_bytes(data[at:at + 4], "big")
            value = rng.choice([old + rng.randint(-9, 9), old * 2, 7, 8, 1 << 31, rng.randrange(1 << 32)]) % (1 << 32)
            data[at:at + 4] = value.to_bytes(4, "big")
        elif op == "size0":
            data[at:at + 4] = bytes(4)
        elif op == "size64" and data[at:at + 4] not in (b"\0\0\0\0", b"\0\0\0\1"):
            size = int.from_bytes(data[at:at + 4], "big")
            lie = rng.random() < 0.3
            data[at:at + 8] = b"\0\0\0\1" + data[at + 4:at + 8] + (size + 8 + (rng.randint(-4, 4) if lie else 0)
                                                                    ).to_bytes(8, "big")
            grow_parents(data, parents, 8)
        elif op == "data" and b"data" in kinds:
            at, parents = kinds[b"data"]
            data[at:at + 4] = rng.choice([8, 12, 15, 16, 17]).to_bytes(4, "big")
        elif op == "kind":
            data[at + 4:at + 8] = rng.choice([b"moof", b"free", b"moov", b"mdat", b"sidx", b"udta", b"ilst", b"meta",
                                              b"rate", b"----", b"co64", b"stco", b"\0\0\0\0"])
        elif op == "truncate":
            del data[rng.randint(at, len(data)):]
        elif op == "drop":
            size = int.from_bytes(data[at:at + 4], "big")
            if rng.random() < 0.5:
                grow_parents(data, parents, -size)
            del data[at:at + size]
        elif op == "media" and b"mdat" in kinds:
            at = kinds[b"mdat"][0] + 8 + rng.randrange(max(1, len(data) - kinds[b"mdat"][0] - 8))
            if at < len(data):
                data[at] ^= 0xFF
        elif op == "free":
            extra = mp4.atom(b"free", bytes(rng.choice([0, 1, 16, 300])))
            data[at:at] = extra
            grow_parents(data, parents, len(extra))
        return "mp4-%s@%d" % (op, at), bytes(data)
    if kind in ("wav", "aiff"):
        order = "little" if kind == "wav" else "big"
        heads, at = [], 12
        while at + 8 <= len(data) and len(heads) < 64:
            heads.append(at)
            size = int.from_bytes(data[at + 4:at + 8], order)
            at += 8 + size + (size & 1)
        op = rng.choice(["form", "size", "size", "pad", "id", "truncate", "tag", "rf64"])
        at = rng.choice(heads) if heads else 12
        if op == "form":
            value = int.from_bytes(data[4:8], order)
            data[4:8] = (rng.choice([value + 1, value - 1, value + 2, 0xFFFFFFFF]) % (1 << 32)).to_bytes(4, order)
        elif op == "size" and heads:
            value = int.from_bytes(data[at + 4:at + 8], order)
            value = rng.choice([value + rng.randint(-3, 3), value * 2, 0, len(data)]) % (1 << 32)
            data[at + 4:at + 8] = value.to_bytes(4, order)
        elif op == "pad" and heads:
            size = int.from_bytes(data[at + 4:at + 8], order)
            end = at + 8 + size
            if size & 1:
                del data[end:end + 1]
            else:
                data[end:end] = b"\0"
        elif op == "id" and heads:
            data[at:at + 4] = rng.choice([b"id3 ", b"ID3 ", b"data", b"fmt ", b"LIST", b"ds64", b"SSND"])
        elif op == "truncate":
            del data[rng.randint(12, len(data)):]
        elif op == "tag":
            tags = [h for h in heads if data[h:h + 4] in (b"id3 ", b"ID3 ")]
            if tags:
                at = tags[0] + 8 + 6
                data[at:at + 4] = rng.choice([b"\0\0\x7f\x7f", b"\0\0\0\0", b"\x7f\x7f\x7f\x7f", b"\0\0\1\0"])
        elif op == "rf64":
            data[0:4] = b"RF64"
        return "%s-%s@%d" % (kind, op, at), bytes(data)
    start = declared_tag_end(bytes(data))
    if start < len(data) and rng.random() < 0.5:
        at = rng.randrange(start, len(data))
        data[at] ^= rng.choice([0x01, 0xFF, 0x10])
        return "adts-frame@%d" % at, bytes(data)
    return mutated(rng, bytes(data))


# ---- Cases and workers ---------------------------------------------------------------------

WELL_FORMED = ("flac", "vorbis", "opus", "m4a", "wav", "wav with ID3 chunk", "aiff", "aiff with ID3 chunk",
               "aac without tag", "aac")
Case = collections.namedtuple("Case", "result plan failure loadable after form decoded", defaults=(False,))


def song_name(data):
    """The name the input is rated under: by its bytes, as a tagger would name it."""
    if flac_ogg.is_flac(data):
        return "song.flac"
    if data[:4] == b"OggS":
        return "song.opus" if b"OpusHead" in data[:100] else "song.ogg"
    kind = mp4.kind_of(data)
    if kind is None and mp4.is_adts(data[declared_tag_end(data):declared_tag_end(data) + 7]):
        kind = "adts"
    return {"m4a": "song.m4a", "wav": "song.wav", "aiff": "song.aiff", "adts": "song.aac"}.get(kind, "song.mp3")


ID3_NAMES = ("song.mp3", "song.aac")
FLAC_OGG_NAMES = ("song.flac", "song.ogg", "song.opus")  # judged by the ID3v2 tag at the file's start


def old_state(data):
    """The judge's view of the input, of its kind."""
    name = song_name(data)
    if name in ID3_NAMES:
        return mutagen_view(data)
    if name == "song.m4a":
        return mp4_old(data)
    if name in ("song.wav", "song.aiff"):
        return riff_old(data)
    return vorbis_state(data)


def form_of(name, old):
    """What the judge took the input for, for the statistics."""
    if name in ID3_NAMES:
        return name[5:] + (" unloadable" if old is None else "" if old.version is not None else " without tag")
    if isinstance(old, (Mp4Old, RiffOld)):
        return ("" if old.state is not None else "malformed ") + (name[5:] if old.state is None or name != "song.wav"
                                                                  else "wav") + (
            " with ID3 chunk" if isinstance(old, RiffOld) and old.state is not None and old.state.tag else "")
    return (old.codec if old.state is not None else "malformed " + ("flac" if name == "song.flac" else "ogg"))


def run_case(tool, folder, data, stars, decode=False, cache=None):
    """Writes the input into the empty folder, lets the store rate it and judges the file; with
    `decode`, a FLAC or Ogg file saved is also decoded before and after (ffmpeg)."""
    name = song_name(data)
    song = os.path.join(folder, name)
    for entry in os.listdir(folder):
        path = os.path.join(folder, entry)
        shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
    with open(song, "wb") as out:
        out.write(data)
    old = old_state(data)
    loadable = old is not None if name in ID3_NAMES else old.state is not None
    form = form_of(name, old)
    result, plan = tool.ask(stars, song)
    if result in ("crash", "hang"):
        return Case(result, "-", (result, plan.split("|")[0].strip()[:80], plan), loadable, None, form)
    with open(song, "rb") as written:
        after = written.read()
    if result == "leak":
        return Case(result, plan, ("leak", "", tool.report()), loadable, after, form)
    leftovers = sorted(entry for entry in os.listdir(folder) if entry != name)
    failure = judge(data, old, after, stars, result, leftovers)
    decoded = failure is None and decode and name != "song.mp3" and loadable and after != data and FFMPEG is not None
    decoded = decoded and result == "Saved"
    if decoded:
        failure = judge_decoded(data, after, os.path.dirname(folder), cache if cache is not None else {})
    return Case(result, plan, failure, loadable, after, form, decoded)


def judge_decoded(before, after, folder, cache):
    """The decoded audio of both, by ffmpeg: a failure where the input decodes and the file
    written decodes otherwise."""
    if FFMPEG is None:
        return None
    old, new = decoded_audio(before, folder, cache), decoded_audio(after, folder, cache)
    if old[0] == 0 and new != old:
        return "decoded-audio-changed", "", "ffmpeg decodes %s, before %s" % (new[1][:60], old[1][:60])
    return None


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
    return recent[-1] + (Case("leak", "-", ("leak", "not found again", "the leak did not recur"), True, None, "-"),)


def worker(index, args, tasks, queue):
    """Runs cases (the given tasks, or fuzz inputs until the deadline); sends failures and,
    at the end, its statistics to the queue."""
    base = tempfile.mkdtemp(prefix="vimbrel-mwf-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    folder = os.path.join(base, "song")
    os.mkdir(folder)
    tool = ReferenceTool() if args.reference else Tool(args.tool, base, LEAK_CHECK_EVERY if tasks is None else 1)
    rng = random.Random("%d/%d" % (args.seed, index))
    pool = seed_pool() if tasks is None else None
    vorbis_pool = vorbis_seed_pool() if tasks is None else None
    media_pool = media_seed_pool() if tasks is None else None
    cache = {}
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
                (how, data), stars = fuzz_input(rng, pool, vorbis_pool, media_pool), rng.randrange(6)
            recent.append((how, data, stars))
            decode = tasks is not None or stats["cases"] % args.decode_every == 0
            try:
                case = run_case(tool, folder, data, stars, decode, cache)
            except Exception:  # the harness's own fault: kept like any other, and the run goes on
                case = Case("-", "-", ("harness-error", "", traceback.format_exc()), True, None, "-")
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
            stats["form " + case.form] += 1
            stats["decoded"] += case.decoded
            stats["well-formed refused"] += case.form in WELL_FORMED and case.result != "Saved"
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
    extension = os.path.splitext(song_name(data))[1]
    if known and save_input and os.path.exists(path + extension) and os.path.getsize(path + extension) <= len(data):
        return
    if save_input:
        with open(path + extension, "wb") as out:
            out.write(data)
    with open(path + ".txt", "w") as note:
        note.write("kind: %s\nstars: %d (rating byte %d)\nresult: %s\nplan: %s\ninput: %s (%d bytes, %s)\n"
                   "what: %s\n" % (kind, stars, RATING_BYTES[stars], case.result, case.plan, how, len(data),
                                   tag_label(data), text))
        if len(data) < 2048:
            note.write("base64: %s\n" % base64.b64encode(data).decode())
        note.write("\nmutagen before the write:\n%s\n" % describe_any(data))
        if case.after is not None:
            note.write("\nmutagen after the write:\n%s\n" % describe_any(case.after))


def candidate_files(folder):
    """Files under `folder` that start with an ID3v2 tag, an MPEG audio frame header, fLaC,
    OggS, an MP4 atom, RIFF WAVE or FORM AIFF, or are named as MPEG audio, FLAC, Ogg, Opus, M4A,
    WAV, AIFF or AAC."""
    found = []
    for root, _, names in os.walk(folder):
        for name in sorted(names):
            path = os.path.join(root, name)
            if not os.path.isfile(path) or os.path.islink(path):
                continue
            with open(path, "rb") as f:
                head = f.read(12)
            mpeg = len(head) >= 4 and head[0] == 0xFF and head[1] & 0xE0 == 0xE0
            if head[:3] == b"ID3" or mpeg or head[:4] in (b"fLaC", b"OggS") or mp4.kind_of(head) or \
                    name.lower().endswith((".mp3", ".mp2", ".mpa", ".id3", ".flac", ".ogg", ".oga", ".opus", ".m4a",
                                           ".m4b", ".mp4", ".wav", ".aif", ".aiff", ".aac")):
                found.append(path)
    return sorted(found)


# ---- The self-test: the FLAC and Ogg judge proven both ways ---------------------------------
#
# A writer made here by the rules (reference_write) rates every FLAC, Ogg Vorbis and Opus seed
# with each star count: the judge must pass each file. Then each kind of damage a store could
# do is done to those files: the judge must fail each, for the damage's reason.

def reference_fields(fields, stars):
    """The fields after a write by the rules."""
    ratings = [f for f in fields if rating_kind(f) == "rating"]
    first = ratings[0].split(b"=", 1)[1] if ratings else b""
    value = b"%d" % (stars if first.isdigit() and 1 <= int(first) <= 5 else stars * 20)
    out = []
    for field in fields:
        kind = rating_kind(field)
        if kind is None:
            out.append(field)
        elif stars:
            out.append(field.split(b"=", 1)[0] + b"=" + (value if kind == "rating" else b"%.1f" % (stars / 5)))
    return out + ([b"RATING=%d" % (stars * 20)] if stars and not ratings else [])


def reference_write(data, stars, fields_hook=None, vendor=None):
    """The file rated by the rules (the comment block in place of the old, its growth taken
    from the padding after it; Ogg headers paginated anew), or None for a file to refuse."""
    old = vorbis_state(data)
    if old.state is None:
        return None
    fields = reference_fields(old.state.fields or [], stars)
    fields = fields_hook(fields) if fields_hook else fields
    vendor = old.state.vendor if vendor is None else vendor
    if old.codec == "flac":
        layout = flac_ogg.flac_walk(data)
        blocks = [(b.code, b.body) for b in layout.blocks]
        at = next((i for i, b in enumerate(blocks) if b[0] == COMMENT_CODE), None)
        if at is None and (stars or fields_hook):
            blocks.insert(1, (COMMENT_CODE, b""))
            at, vendor = 1, flac_ogg.VENDOR
        if at is not None:
            body = flac_ogg.vorbis_comment(vendor, fields)
            grow = len(body) - len(blocks[at][1])
            blocks[at] = (COMMENT_CODE, body)
            if at + 1 < len(blocks) and blocks[at + 1][0] == PADDING_CODE and len(blocks[at + 1][1]) >= grow:
                blocks[at + 1] = (PADDING_CODE, bytes(len(blocks[at + 1][1]) - grow))
        return flac_ogg.flac_file(blocks, data[layout.audio_offset:], layout.prefix)
    stream = flac_ogg.split_ogg(data)
    magic = b"\x03vorbis" if old.codec == "vorbis" else b"OpusTags"
    packet = magic + flac_ogg.vorbis_comment(vendor, fields) + old.state.tail
    return flac_ogg.join_ogg(stream, packet, first_seq=flac_ogg.ogg_pages(data)[0].seq)


class ReferenceTool:
    """rating_write_cli's stand-in for the self-test: writes by reference_write, then does a
    damage to the file (or reports another result, or leaves a file beside it)."""

    def __init__(self, damage=None):
        self.damage = damage

    def ask(self, stars, path):
        with open(path, "rb") as f:
            before = f.read()
        media = song_name(before) in MEDIA_NAMES
        if song_name(before) == "song.m4a" and self.damage is None:  # the fuzz run's: keeps every item
            try:
                after = own_mp4_write(before, stars, free=512)
            except (ValueError, struct.error):  # a file the writer cannot rebuild: refused
                after = None
        else:
            after = mutagen_write(before, stars) if media else reference_write(before, stars)
        result = "Saved" if after is not None else "TagRefused"
        if self.damage is not None:
            damaged = self.damage(before, after if after is not None else before, stars, path)
            if damaged is None:
                return "n/a", "-"
            after, result = damaged if isinstance(damaged, tuple) else (damaged, result)
        if after is not None:
            with open(path, "wb") as f:
                f.write(after)
        return result, "Reference"

    def stop(self):
        pass


def _pages_changed(after, change):
    """The Ogg file with page `change(index, page)` (a Page, or None to keep) written anew,
    fresh CRC."""
    pages = flac_ogg.ogg_pages(after)
    out = []
    for i, page in enumerate(pages):
        new = change(i, page, len(pages))
        out.append(flac_ogg.page_bytes(new or page))
    return b"".join(out)


def _audio_pages(after):
    old = vorbis_state(after)
    return len(flac_ogg.ogg_pages(after)) - len(old.state.audio[1])


def _flip_audio(before, after, stars, path):
    if vorbis_state(before).state is None:
        return None
    if flac_ogg.is_flac(after):
        audio = len(after) - flac_ogg.flac_walk(after).audio_offset
        if not audio:
            return None  # metadata only
        at = len(after) - 1 - audio // 2  # a sample, mid-audio
        return after[:at] + bytes([after[at] ^ 0x01]) + after[at + 1:]
    first = _audio_pages(after)
    return _pages_changed(after, lambda i, p, n: p._replace(body=p.body[:-1] + bytes([p.body[-1] ^ 1]))
                          if i == n - 1 and i >= first and p.body else None)


def _with_fields(change):
    def damage(before, after, stars, path):
        if vorbis_state(before).state is None:
            return None
        fields = reference_fields(vorbis_state(before).state.fields or [], stars)
        changed = change(list(fields), stars)
        return None if changed is None else reference_write(before, stars, lambda _: changed)
    return damage


def _other_field(fields, stars):
    at = next((i for i, f in enumerate(fields) if not rating_kind(f) and b"=" in f), None)
    if at is None:
        return None
    fields[at] = fields[at] + b"x"
    return fields


def _field_case(fields, stars):
    at = next((i for i, f in enumerate(fields) if not rating_kind(f) and f[:1].isalpha()
               and f.split(b"=")[0].swapcase() != f.split(b"=")[0]), None)
    if at is None:
        return None
    name, rest = fields[at].split(b"=", 1)
    fields[at] = name.swapcase() + b"=" + rest
    return fields


def _field_order(fields, stars):
    others = [i for i, f in enumerate(fields) if not rating_kind(f)]
    if len(others) < 2 or fields[others[0]] == fields[others[1]]:
        return None
    fields[others[0]], fields[others[1]] = fields[others[1]], fields[others[0]]
    return fields


def _rating_value(fields, stars):
    at = next((i for i, f in enumerate(fields) if rating_kind(f) == "rating"), None)
    if at is None or not stars:
        return None
    fields[at] = fields[at].split(b"=")[0] + b"=%d" % (stars * 20 + 1)
    return fields


def _five_scale_ignored(fields, stars):
    at = next((i for i, f in enumerate(fields) if rating_kind(f) == "rating"), None)
    if at is None or not stars or fields[at].split(b"=")[1] != b"%d" % stars:
        return None
    fields[at] = fields[at].split(b"=")[0] + b"=%d" % (stars * 20)
    return fields


def _fraction_created(fields, stars):
    if not stars or any(rating_kind(f) == "fraction" for f in fields):
        return None
    return fields + [b"FMPS_RATING=%.1f" % (stars / 5)]


def _rating_left(fields, stars):
    return None if stars else fields + [b"RATING=0"]


def _flac_blocks(change):
    def damage(before, after, stars, path):
        if not flac_ogg.is_flac(after) or vorbis_state(before).state is None:
            return None
        layout = flac_ogg.flac_walk(after)
        blocks = [[b.code, b.body, b.last] for b in layout.blocks]
        if not change(blocks):
            return None
        out = layout.prefix + b"fLaC" + b"".join(flac_ogg.flac_block(code, body, last) for code, body, last in blocks)
        return out + after[layout.audio_offset:]
    return damage


def _first_of(code, flip_at):
    def change(blocks):
        block = next((b for b in blocks if b[0] == code and b[1]), None)
        if block is None:
            return False
        at = flip_at % len(block[1])
        block[1] = block[1][:at] + bytes([block[1][at] ^ 0x10]) + block[1][at + 1:]
        return True
    return change


def _last_flag_early(blocks):
    if len(blocks) < 2:
        return False
    blocks[0][2] = True
    return True


def _last_flag_missing(blocks):
    blocks[-1][2] = False
    return True


def _prefix(before, after, stars, path):
    start = flac_ogg.id3_prefix_size(after) if flac_ogg.is_flac(after) else 0
    if start < 20 or vorbis_state(before).state is None:
        return None
    return after[:15] + bytes([after[15] ^ 0x20]) + after[16:]


def _ogg_crc(before, after, stars, path):
    if flac_ogg.is_flac(after) or vorbis_state(before).state is None:
        return None
    pages = flac_ogg.ogg_pages(after)
    at = pages[1].offset + 22
    return after[:at] + bytes([after[at] ^ 0x01]) + after[at + 1:]


def _ogg_seq(before, after, stars, path):
    if flac_ogg.is_flac(after) or vorbis_state(before).state is None:
        return None
    return _pages_changed(after, lambda i, p, n: p._replace(seq=p.seq + 1) if i == n - 1 and n > 2 else None)


def _granule(before, after, stars, path):
    if flac_ogg.is_flac(after) or vorbis_state(before).state is None or _audio_pages(after) >= len(
            flac_ogg.ogg_pages(after)):
        return None
    return _pages_changed(after, lambda i, p, n: p._replace(granule=p.granule + 1) if i == n - 1 else None)


def _setup_packet(before, after, stars, path):
    old = vorbis_state(before)
    if old.state is None or old.codec != "vorbis":
        return None
    stream = flac_ogg.split_ogg(after)
    setup = stream.setup[:-1] + bytes([stream.setup[-1] ^ 0x01])
    return flac_ogg.join_ogg(stream._replace(setup=setup), first_seq=flac_ogg.ogg_pages(after)[0].seq)


def _opus_data(before, after, stars, path):
    old = vorbis_state(before)
    if old.state is None or old.codec != "opus" or not (old.state.tail[:1] and old.state.tail[0] & 1):
        return None
    stream = flac_ogg.split_ogg(after)
    return flac_ogg.join_ogg(stream._replace(comment=stream.comment[:-1] + bytes([stream.comment[-1] ^ 0x40])),
                             first_seq=flac_ogg.ogg_pages(after)[0].seq)


def _serial(before, after, stars, path):
    if flac_ogg.is_flac(after) or vorbis_state(before).state is None:
        return None
    return _pages_changed(after, lambda i, p, n: p._replace(serial=p.serial ^ 0x100))


def _opus_padding_to_data(before, after, stars, path):
    old = vorbis_state(before)
    if old.state is None or old.codec != "opus" or not old.state.tail or old.state.tail[0] & 1:
        return None
    stream = flac_ogg.split_ogg(after)
    at = len(stream.comment) - len(old.state.tail)
    comment = stream.comment[:at] + bytes([stream.comment[at] | 1]) + stream.comment[at + 1:]
    return flac_ogg.join_ogg(stream._replace(comment=comment), first_seq=flac_ogg.ogg_pages(after)[0].seq)


def _fraction_dropped(fields, stars):
    at = next((i for i, f in enumerate(fields) if rating_kind(f) == "fraction"), None)
    return None if at is None else fields[:at] + fields[at + 1:]


def _skipped(before, after, stars, path):
    old = vorbis_state(before)
    if old.state is None or already_rated(old.state.fields, stars):
        return None
    return before, "Saved"


def _vendor(before, after, stars, path):
    old = vorbis_state(before)
    if old.state is None or old.state.fields is None:
        return None
    return reference_write(before, stars, vendor=old.state.vendor + b" (changed)")


def _left_beside(before, after, stars, path):
    with open(path + ".tmp", "wb") as f:
        f.write(b"x")
    return after


def _changed_not_saved(before, after, stars, path):
    return (after, "TagRefused") if after != before else None


def _malformed_changed(before, after, stars, path):
    if vorbis_state(before).state is not None:
        return None
    return (before[:-1] + bytes([before[-1] ^ 0x01]), "Saved") if before else None


DAMAGES = [
    ("a page's CRC", _ogg_crc, {"structure-after"}),
    ("a page's sequence number", _ogg_seq, {"structure-after"}),
    ("an audio page's granule position", _granule, {"granule-changed"}),
    ("an audio byte", _flip_audio, {"audio-changed", "audio-page-changed"}),
    ("the setup header", _setup_packet, {"packet-changed"}),
    ("Opus binary data after the comments", _opus_data, {"opus-data-changed"}),
    ("Opus padding made binary data", _opus_padding_to_data, {"opus-data-changed"}),
    ("the serial number", _serial, {"serial-changed"}),
    ("another field's value", _with_fields(_other_field), {"field-changed"}),
    ("another field's name case", _with_fields(_field_case), {"field-changed"}),
    ("the order of other fields", _with_fields(_field_order), {"field-changed"}),
    ("the vendor string", _vendor, {"vendor-changed"}),
    ("a RATING value", _with_fields(_rating_value), {"rating-field-wrong", "rating-not-read"}),
    ("the 1-5 scale not kept", _with_fields(_five_scale_ignored), {"rating-field-wrong"}),
    ("an FMPS_RATING created", _with_fields(_fraction_created), {"rating-field-created"}),
    ("an FMPS_RATING or RATING:<e-mail> dropped", _with_fields(_fraction_dropped), {"field-changed"}),
    ("a RATING left at 0 stars", _with_fields(_rating_left), {"rating-field-left", "comment-block-added"}),
    ("a last-block flag too early", _flac_blocks(_last_flag_early), {"structure-after"}),
    ("no last-block flag", _flac_blocks(_last_flag_missing), {"structure-after"}),
    ("a STREAMINFO byte", _flac_blocks(_first_of(flac_ogg.STREAMINFO, 20)), {"block-changed"}),
    ("a PICTURE byte", _flac_blocks(_first_of(flac_ogg.PICTURE, -1)), {"block-changed"}),
    ("a SEEKTABLE byte", _flac_blocks(_first_of(flac_ogg.SEEKTABLE, 3)), {"block-changed"}),
    ("the ID3v2 tag before fLaC", _prefix, {"prefix-changed"}),
    ("a write skipped though the rating differs", _skipped, {"rating-not-read", "rating-field-wrong",
                                                              "rating-field-left"}),
    ("a file left beside", _left_beside, {"left-beside"}),
    ("a change reported as not saved", _changed_not_saved, {"changed-not-saved"}),
    ("a file the judge does not trust changed", _malformed_changed, {"malformed-input-changed"}),
]


# (fields before, stars, fields after, the failure's kind or None): the writing rules by hand.
FIELD_CASES = [
    ([b"RATING=4"], 2, [b"RATING=2"], None),
    ([b"RATING=4"], 2, [b"RATING=40"], "rating-field-wrong"),
    ([b"RATING=80"], 2, [b"RATING=40"], None),
    ([b"RATING=80"], 2, [b"RATING=2"], "rating-field-wrong"),
    ([b"RATING= 4"], 2, [b"RATING=2"], None),
    ([b"RATING= 4"], 2, [b"RATING=40"], None),
    ([b"rating=60", b"Rating=20"], 3, [b"rating=60", b"Rating=60"], None),
    ([b"rating=60", b"Rating=20"], 3, [b"rating=60"], "field-changed"),
    ([b"rating=60", b"Rating=20"], 3, [b"RATING=60", b"Rating=60"], "field-changed"),
    ([b"rating=60", b"Rating=20"], 3, [b"rating=60", b"Rating=20"], "rating-field-wrong"),
    ([b"FMPS_RATING=0.8"], 1, [b"FMPS_RATING=0.2", b"RATING=20"], None),
    ([b"FMPS_RATING=0.8"], 1, [b"RATING=20", b"FMPS_RATING=0.2"], None),  # a new RATING goes anywhere
    ([b"FMPS_RATING=0.8"], 1, [b"FMPS_RATING=0.2"], "rating-field-wrong"),
    ([b"FMPS_RATING=0.8"], 5, [b"FMPS_RATING=1", b"RATING=100"], None),
    ([b"FMPS_RATING=0.8"], 5, [b"FMPS_RATING=1.0", b"RATING=100"], None),
    ([b"FMPS_RATING=0.8"], 5, [b"FMPS_RATING=5", b"RATING=100"], "rating-field-wrong"),
    ([b"RATING:x@y.org=0.6", b"TITLE=a"], 0, [b"TITLE=a"], None),
    ([b"RATING:x@y.org=0.6", b"TITLE=a"], 0, [b"RATING:x@y.org=0", b"TITLE=a"], "rating-field-left"),
    ([b"TITLE=a", b"RATING=80"], 5, [b"TITLE=a", b"RATING=100"], None),
    ([b"TITLE=a", b"RATING=80"], 5, [b"RATING=100", b"TITLE=a"], "field-changed"),
    ([b"TITLE=a"], 4, [b"TITLE=a", b"RATING=80"], None),
    ([b"TITLE=a"], 4, [b"RATING=80", b"TITLE=a"], None),
    ([b"TITLE=a"], 4, [b"TITLE=a", b"RATING=80", b"FMPS_RATING=0.8"], "rating-field-created"),
    ([b"TITLE=a"], 4, [b"TITLE=a", b"RATING=4"], "rating-field-wrong"),
    ([b"TITLE=a"], 0, [b"TITLE=a"], None),
    ([b"TITLE=a", b"RATING"], 3, [b"TITLE=a", b"RATING=60"], None),
    ([b"RATING=abc", b"FMPS_RATING=0.4"], 4, [b"RATING=80", b"FMPS_RATING=0.8"], None),
]


def self_test(args):
    """Every seed written by the rules passes; every damage fails for its reason; the decoded
    audio check fails alone on a changed audio byte; the player's rule reads the issue's
    examples. Exits 1 when any of it does not hold."""
    base = tempfile.mkdtemp(prefix="vimbrel-mwf-")
    folder = os.path.join(base, "song")
    os.mkdir(folder)
    seeds = vorbis_seed_pool() + [(n, d) for n, d in seed_pool() if song_name(d) in FLAC_OGG_NAMES]
    if args.files:  # other projects' files too (the peer trial's), to see the judge pass them
        for path in candidate_files(args.files):
            with open(path, "rb") as f:
                data = f.read()
            if song_name(data) in FLAC_OGG_NAMES:
                seeds.append((os.path.relpath(path, args.files), data))
    problems, cache = [], {}
    examples = {b"RATING=80": 4, b"RATING=4": 4, b"rating=60": 3, b"FMPS_RATING=0.8": 4,
                b"RATING:someone@example.org=0.6": 3, b"RATING=255": 5, b"RATING=0": 0, b"FMPS_RATING=1": 5,
                b"RATING=0.1": 1, b"RATING=99": 5, b"RATING=21": 2, b"RATING=1.5": 0}
    for field, stars in examples.items():
        if read_stars([field]) != stars:
            problems.append("the player's rule reads %r as %d stars, not %d" % (field, read_stars([field]), stars))
    if read_stars([b"RATING=abc", b"FMPS_RATING=0.4"]) != 2:
        problems.append("a value that does not parse is not skipped")
    for before, stars, after, kind in FIELD_CASES:
        failure = check_fields(before, after, stars)
        if (failure[0] if failure else None) != kind:
            problems.append("fields %r -> %r at %d stars judged %s, not %s" % (
                before, after, stars, failure[0] if failure else "sound", kind or "sound"))
    print("self-test: the player's rule on %d values, the writing rules on %d cases" % (
        len(examples) + 1, len(FIELD_CASES)))
    try:
        clean = 0
        for index, (name, data) in enumerate(seeds):
            for stars in range(6):
                case = run_case(ReferenceTool(), folder, data, stars, decode=index % 4 == 0 and stars in (0, 4),
                                cache=cache)
                clean += 1
                if case.failure is not None:
                    problems.append("a write by the rules fails: %s, %d stars: %s" % (name, stars, case.failure[2]))
        for name, data in seeds:  # a file that reads the stars asked for already may be left as it is
            old = vorbis_state(data)
            for stars in range(6):
                if old.state is not None and already_rated(old.state.fields, stars):
                    clean += 1
                    failure = judge(data, old, data, stars, "Saved", [])
                    if failure is not None:
                        problems.append("a write left out fails: %s, %d stars: %s" % (name, stars, failure[2]))
        print("self-test: %d writes by the rules of %d seeds judged" % (clean, len(seeds)))
        for title, damage, kinds in DAMAGES:
            tried = caught = 0
            for index, (name, data) in enumerate(seeds):
                for stars in (index % 6, 4 if index % 6 == 0 else 0):
                    case = run_case(ReferenceTool(damage), folder, data, stars)
                    if case.result == "n/a":
                        continue
                    tried += 1
                    if case.failure is not None and case.failure[0] in kinds:
                        caught += 1
                    elif len(problems) < 60:
                        problems.append("damage %r (%s, %d stars) judged %s" % (
                            title, name, stars, case.failure[0] if case.failure else "sound"))
            print("  %-45s caught %d of %d" % (title, caught, tried))
            if not tried and FFMPEG is not None:  # without ffmpeg there is no Ogg Vorbis seed
                problems.append("damage %r never tried" % title)
        decoded, per_codec = 0, collections.Counter()
        for name, data in seeds if FFMPEG is not None else []:
            written = reference_write(data, 3)
            codec = vorbis_state(data).codec
            if written is None or per_codec[codec] >= 2 or "silence" in name:  # empty Opus frames decode alike
                continue
            per_codec[codec] += 1
            damaged = _flip_audio(data, written, 3, None)
            if judge_decoded(data, damaged, base, cache) is None:
                problems.append("the decoded audio check misses a changed audio byte in %s" % name)
            elif judge_decoded(data, written, base, cache) is not None:
                problems.append("the decoded audio check fails a write by the rules of %s" % name)
            decoded += 1
        print("  %-45s caught on %d seeds (%s)" % ("an audio byte, by the decoded audio alone", decoded,
                                                   ", ".join(sorted(per_codec))))
        alone = 0
        for name, data in seeds:  # mutagen's reading alone, without the walks
            old = vorbis_state(data)
            if old.state is None or not old.state.fields or old.codec != "flac" or alone >= 4:
                continue
            for title, damage, kind in (("another field's value", _with_fields(_other_field), "mutagen-fields-changed"),
                                        ("a STREAMINFO byte", _flac_blocks(_first_of(flac_ogg.STREAMINFO, 20)),
                                         "mutagen-blocks-changed")):
                damaged = damage(data, reference_write(data, 2), 2, None)
                verdict = judge_vorbis(data, old, damaged, 2, "Saved", checks={"mutagen"}) if damaged else None
                if damaged is not None and (verdict is None or verdict[0] != kind):
                    problems.append("mutagen's reading alone misses %s in %s" % (title, name))
            alone += 1
        print("  %-45s caught on %d seeds" % ("a field or a block, by mutagen's reading alone", alone))
        media_self_test(base, folder, cache, problems, args.files)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print("self-test: %s" % ("passes" if not problems else "%d problems" % len(problems)))
    for problem in problems:
        print("  " + problem)
    return 1 if problems else 0


# ---- The self-test for M4A, WAV, AIFF and ADTS: mutagen's own saves pass, damages fail ------------
#
# mutagen saves by the rules here (it moves the ilst, grows or shrinks its free atom and shifts
# the chunk offsets as a careful writer does); the judge must pass its files, with the ilst's
# room or without (padding 0: the ilst grows), moov before the media and after. Each damage a
# store could do is then done to those files: the judge must fail each, for its reason.

def mutagen_write(data, stars, padding=None):
    """The file as mutagen saves it with the rating of `stars` (None for a file to refuse)."""
    name = song_name(data)
    if name == "song.m4a" and mp4_old(data).state is None:
        return None
    old = riff_old(data) if name in ("song.wav", "song.aiff") else None
    if old is not None and (old.state is None or old.state.view is None or old.state.slip or (
            old.state.tag and old.state.tag[old.state.view.end:])):
        return None  # mutagen would keep a size slip, or drop bytes after the tag in its chunk
    if name == "song.aac" and mutagen_view(data) is None:
        return None
    folder = tempfile.mkdtemp(prefix="vimbrel-mwf-ref-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    path = os.path.join(folder, name)
    try:
        with open(path, "wb") as out:
            out.write(data)
        if name == "song.m4a":
            loaded = MP4(path)
            if loaded.tags is None:
                loaded.add_tags()
            tags = loaded.tags
            tags._failed_atoms.pop("rate", None)
            tags.pop("rate", None)
            if stars:
                tags["rate"] = ["%d" % (stars * 20)]
            for key, text in ((RATING_KEYS[1], b"%d" % (stars * 20)), (RATING_KEYS[2], b"%.1f" % (stars / 5))):
                if key in tags:
                    if stars:
                        tags[key] = [MP4FreeForm(text)]
                    else:
                        del tags[key]
            loaded.save(padding=padding)
        else:
            loaded = (WAVE(path) if name == "song.wav" else AIFF(path)) if name != "song.aac" else None
            tags = loaded.tags if loaded is not None else (ID3(path) if data[:3] == b"ID3" else None)
            if tags is None:
                tags = ID3()
                if loaded is not None:
                    loaded.add_tags()
                    tags = loaded.tags
            version = tags.version[1] if data[:3] == b"ID3" or (loaded is not None and loaded.tags.version[1]) else 3
            popm = next((f for f in tags.getall("POPM")), None)
            if popm is None:
                tags.add(POPM(email="ID3Vimbrel", rating=RATING_BYTES[stars]))
            else:
                popm.rating = RATING_BYTES[stars]
            if loaded is not None:
                loaded.save(v2_version=version if version in (3, 4) else 3, padding=padding)
            else:
                tags.save(path, v2_version=version if version in (3, 4) else 3, padding=padding)
        with open(path, "rb") as f:
            return f.read()
    except Exception:  # mutagen gives up on the file: a reference that refuses it
        return None
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def own_mp4_write(data, stars, free=512):
    """The M4A rated by the rules with make_mp4_riff's writer, as a careful store writes it: every
    other item's bytes and place kept, `rate` as text at the end, RATING and FMPS_Rating set where
    they are, `free` bytes of room after the ilst, the chunk offsets shifted where moov precedes
    the media (None for a file to refuse)."""
    if mp4_old(data).state is None:
        return None
    items = []
    for raw in mp4.items_of(data):
        key = item_key(raw, mp4.ilst_item(raw, mp4.walk_atoms(raw, 0, len(raw))[0]))
        if key == RATING_ITEMS[0] or (key in RATING_ITEMS and not stars):
            continue
        if key in RATING_ITEMS:
            raw = mp4.freeform(key.split(b":")[-1], b"%d" % (stars * 20) if key == RATING_ITEMS[1] else
                               b"%.1f" % (stars / 5))
        items.append(raw)
    if stars:
        items.append(mp4.text_item(b"rate", b"%d" % (stars * 20)))
    return mp4.with_ilst(data, items, free)


def _mp4_after(change):
    """A damage that changes the M4A written: change(bytes, stars) -> bytes or None."""
    def damage(before, after, stars, path):
        if song_name(before) != "song.m4a" or mp4_old(before).state is None:
            return None
        return change(bytearray(after), stars)
    return damage


def _first_atom(data, kind):
    return next((at for at, _ in atom_heads(bytes(data)) if data[at + 4:at + 8] == kind), None)


def _chunk_offset(data, stars):
    at = _first_atom(data, b"stco") or _first_atom(data, b"co64")
    width = 8 if data[at + 4:at + 8] == b"co64" else 4
    field = at + 16
    data[field:field + width] = (int.from_bytes(data[field:field + width], "big") + 1).to_bytes(width, "big")
    return bytes(data)


def _media_byte(data, stars):
    media = next(a for a in mp4.walk_atoms(bytes(data), 0, len(data), top=True) if a.kind == b"mdat")
    data[media.offset + media.header + (media.size - media.header) // 2] ^= 0x01
    return bytes(data)


def _off_path_atom(data, stars):
    at = _first_atom(data, b"mvhd")
    data[at + 20] ^= 0x01  # the time scale's low byte
    return bytes(data)


def _ilst_change(change):
    def damage(data, stars):
        items = mp4.items_of(bytes(data))
        changed = change(items, stars)
        return None if changed is None else mp4.with_ilst(bytes(data), changed)
    return damage


def _other_item(items, stars):
    at = next((i for i, raw in enumerate(items) if raw[4:8] not in (b"rate", b"----")), None)
    if at is None:
        return None
    items[at] = items[at][:-1] + bytes([items[at][-1] ^ 0x01])
    return items


def _rate_type_0(items, stars):
    if not stars:
        return None
    return [raw for raw in items if raw[4:8] != b"rate"] + [mp4.text_item(b"rate", b"%d" % (stars * 20), 0)]


def _rating_item_created(items, stars):
    if not stars or any(raw[4:8] == b"----" and b"RATING" in raw for raw in items):
        return None
    return items + [mp4.freeform(b"RATING", b"%d" % (stars * 20))]


def _rating_item_off(items, stars):
    """An existing RATING item holding another number than the rules write."""
    at = next((i for i, raw in enumerate(items) if raw[4:8] == b"----" and raw.endswith(b"%d" % (stars * 20))
               and b"RATING" in raw), None)
    if not stars or at is None:
        return None
    items[at] = items[at][:-1] + b"5"
    return items


def _rate_left(items, stars):
    return None if stars else items + [mp4.text_item(b"rate", b"0")]


def _riff_after(change):
    def damage(before, after, stars, path):
        if song_name(before) not in ("song.wav", "song.aiff") or riff_old(before).state is None or \
                riff_old(before).state.view is None or after == before:
            return None
        return change(bytearray(after), stars)
    return damage


def _riff_size(data, stars):
    order = "little" if data[:4] == b"RIFF" else "big"
    data[4:8] = (int.from_bytes(data[4:8], order) + 2).to_bytes(4, order)
    return bytes(data)


def _other_chunk(data, stars):
    kind, form, chunks, _ = mp4.riff_layout(bytes(data))
    chunk = next(c for c in chunks if c.cid not in TAG_CHUNKS and c.size)
    data[chunk.offset + 8 + chunk.size - 1] ^= 0x01
    return bytes(data)


def _pad_dropped(data, stars):
    kind, form, chunks, _ = mp4.riff_layout(bytes(data))
    odd = next((c for c in chunks if c.size & 1), None)
    if odd is None:
        return None
    at = odd.offset + 8 + odd.size
    order = "little" if kind == "wav" else "big"
    data[4:8] = (int.from_bytes(data[4:8], order) - 1).to_bytes(4, order)
    return bytes(data[:at] + data[at + 1:])


def _mp4_skipped(before, after, stars, path):
    old = mp4_old(before) if song_name(before) == "song.m4a" else None
    if old is None or old.state is None or already_stored(old.state.ratings, stars) or \
            rating_rules(old.state.ratings, old.state.ratings, stars) is None:
        return None
    return before, "Saved"


def _adts_frame(before, after, stars, path):
    if song_name(before) != "song.aac" or mutagen_view(before) is None or not after:
        return None
    return after[:-1] + bytes([after[-1] ^ 0x01])


MEDIA_DAMAGES = [
    ("a chunk offset shifted", _mp4_after(_chunk_offset), {"chunk-offset-moved", "structure-after"}),
    ("a byte of the media data", _mp4_after(_media_byte), {"media-changed"}),
    ("an atom off the path (mvhd)", _mp4_after(_off_path_atom), {"atom-changed"}),
    ("an ilst item other than the rating's", _mp4_after(_ilst_change(_other_item)), {"item-changed"}),
    ("rate written as data type 0", _mp4_after(_ilst_change(_rate_type_0)), {"rate-wrong", "rating-not-written"}),
    ("a RATING item created", _mp4_after(_ilst_change(_rating_item_created)), {"rating-item-created"}),
    ("a RATING item holding another number", _mp4_after(_ilst_change(_rating_item_off)), {"rating-item-wrong"}),
    ("a rate left at 0 stars", _mp4_after(_ilst_change(_rate_left)), {"rating-item-left"}),
    ("an M4A write skipped though the rating differs", _mp4_skipped, {"rating-not-written"}),
    ("a wrong RIFF or FORM size", _riff_after(_riff_size), {"structure-after"}),
    ("another chunk's byte", _riff_after(_other_chunk), {"chunk-changed"}),
    ("a pad byte dropped", _riff_after(_pad_dropped), {"structure-after"}),
    ("an ADTS frame byte", _adts_frame, {"outside-tag-changed"}),
    ("a file left beside", _left_beside, {"left-beside"}),
    ("a change reported as not saved", _changed_not_saved, {"changed-not-saved"}),
]


MEDIA_NAMES = ("song.m4a", "song.wav", "song.aiff", "song.aac")
# What mutagen's own save may do to another project's file: it renders every ilst item anew
# (gnre as \xa9gen, odd covers, disk...) and ID3 frames in its own way.
MUTAGEN_RERENDERS = ("item-changed", "mutagen-items-changed", "frames-changed", "unknown-frames-changed",
                     "popm-changed")


def media_files(folder):
    """(name, bytes) of the M4A, WAV, AIFF and ADTS files under `folder` (None: none)."""
    found = []
    for path in candidate_files(folder) if folder else []:
        with open(path, "rb") as f:
            data = f.read()
        if song_name(data) in MEDIA_NAMES:
            found.append((os.path.relpath(path, folder), data))
    return found


def media_self_test(base, folder, cache, problems, files=None):
    """The M4A, WAV, AIFF and ADTS judge proven: mutagen's saves pass, each damage fails, a store
    that refuses leaves them byte-identical and passes; the player's rule reads the issue's
    examples. `files`: other projects' files, whose saves by mutagen must pass too."""
    seeds = media_seed_pool()
    peers = media_files(files)
    rerendered = set()  # other projects' files whose items or frames mutagen's save renders anew
    examples = [(mp4.text_item(b"rate", b"80", 0), 4), (mp4.text_item(b"rate", b"80", 1), 4),
                (mp4.item(b"rate", mp4.data_atom(21, b"\x50")), 4), (mp4.text_item(b"rate", b"100"), 5),
                (mp4.text_item(b"rate", b"250"), 5), (mp4.text_item(b"rate", b"1"), 1),
                (mp4.text_item(b"rate", b"0"), 0)]
    for raw, stars in examples:
        data = raw  # one item: walked as an ilst's child
        walked = mp4.ilst_item(data, mp4.walk_atoms(data, 0, len(data))[0])
        if player_stars({b"rate": [item_content(data, walked)]}) != stars:
            problems.append("the player's rule does not read %r as %d stars" % (raw[-6:], stars))
    clean = 0
    for index, (name, data) in enumerate(seeds + peers):
        for stars in range(6):
            for padding in (None, lambda info: 0) if name.endswith("m4a") or ".m4a " in name else (None,):
                written = mutagen_write(data, stars, padding)
                result = "Saved" if written is not None else "TagRefused"
                case_old = old_state(data)
                failure = judge(data, case_old, written if written is not None else data, stars, result, [])
                if failure is None and written is not None and index % 5 == 0 and stars == 3:
                    failure = judge_decoded(data, written, base, cache)
                clean += 1
                if padding is None and song_name(data) == "song.m4a":
                    own = own_mp4_write(data, stars, free=512 if index % 2 else 0)
                    verdict = judge(data, case_old, own if own is not None else data, stars,
                                    "Saved" if own is not None else "TagRefused", [])
                    clean += 1
                    if verdict is not None:
                        problems.append("make_mp4_riff's writer fails: %s, %d stars: %s" % (name, stars, verdict[2]))
                if failure is not None and index >= len(seeds) and failure[0] in MUTAGEN_RERENDERS:
                    rerendered.add(name)  # mutagen's fault, not the judge's: shown below
                elif failure is not None:
                    problems.append("mutagen's save fails: %s, %d stars%s: %s" % (
                        name, stars, "" if padding is None else ", no padding", failure[2]))
    print("self-test: %d saves by mutagen (and M4A writes by make_mp4_riff's writer) of %d M4A, WAV, AIFF and "
          "ADTS seeds and %d other projects' files judged "
          "(%s)" % (clean, len(seeds), len(peers), ", ".join("%s %d" % kv for kv in sorted(collections.Counter(
              form_of(song_name(d), old_state(d)) for _, d in seeds + peers).items()))))
    for name in sorted(rerendered):
        print("  mutagen's own save renders items or frames anew (judged as a store's would be): %s" % name)
    for name, data in peers:
        old = old_state(data)
        if getattr(old, "state", True) is None:
            print("  not trusted, to be left byte-identical: %s: %s" % (name, old.why))
    seeds = seeds + [(name, data) for name, data in peers if name not in rerendered]
    for title, damage, kinds in MEDIA_DAMAGES:
        tried = caught = 0
        for index, (name, data) in enumerate(seeds):
            for stars in (index % 6, 4 if index % 6 == 0 else 0):
                case = run_case(ReferenceTool(damage), folder, data, stars)
                if case.result == "n/a":
                    continue
                tried += 1
                if case.failure is not None and case.failure[0] in kinds:
                    caught += 1
                elif len(problems) < 80:
                    problems.append("damage %r (%s, %d stars) judged %s" % (
                        title, name, stars, "%s: %s" % (case.failure[0], case.failure[2]) if case.failure
                        else "sound"))
        print("  %-45s caught %d of %d" % (title, caught, tried))
        if not tried and seeds:
            problems.append("damage %r never tried" % title)
    alone = 0
    for name, data in seeds:  # each M4A check alone
        old = old_state(data)
        if not isinstance(old, Mp4Old) or old.state is None or alone >= 4:
            continue
        written = mutagen_write(data, 2)
        for title, damage, check, kind in (
                ("a chunk offset", _chunk_offset, "chunks", "chunk-offset-moved"),
                ("a media byte", _media_byte, "media", "media-changed"),
                ("mvhd", _off_path_atom, "atoms", "atom-changed"),
                ("another item", _ilst_change(_other_item), "items", "item-changed"),
                ("another item, by mutagen", _ilst_change(_other_item), "mutagen", "mutagen-items-changed"),
                ("rate type 0", _ilst_change(_rate_type_0), "rating", "rate-wrong")):
            damaged = damage(bytearray(written), 2)
            if damaged is None:
                continue
            verdict = judge_mp4(data, old, damaged, 2, "Saved", checks={check})
            if verdict is not None and verdict[0] == "structure-after":
                continue  # a chunk that fills the media: shifted, it runs out of it
            if verdict is None or verdict[0] != kind:
                problems.append("the %s check alone misses %s in %s (%s)" % (check, title, name, verdict))
        alone += 1
    print("  %-45s caught on %d seeds" % ("each M4A check alone", alone))


def media_self_test_alone(files):
    base = tempfile.mkdtemp(prefix="vimbrel-mwf-")
    folder = os.path.join(base, "song")
    os.mkdir(folder)
    problems = []
    try:
        media_self_test(base, folder, {}, problems, files)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print("self-test: %s" % ("passes" if not problems else "%d problems" % len(problems)))
    for problem in problems:
        print("  " + problem)
    return 1 if problems else 0


def replay(args):
    """One input rated once, for a look by hand: the verdict, mutagen's view before and after,
    and the file as written, beside the input as INPUT.written."""
    base = tempfile.mkdtemp(prefix="vimbrel-mwf-")
    folder = os.path.join(base, "song")
    os.mkdir(folder)
    tool = Tool(args.tool, base, 1)
    try:
        data = open(args.replay, "rb").read()
        case = run_case(tool, folder, data, args.stars, True)
    finally:
        tool.stop()
        shutil.rmtree(base, ignore_errors=True)
    print("result %s, plan %s: %s" % (case.result, case.plan, "; ".join(case.failure) if case.failure else "passes"))
    print("before:\n%s\n%s" % (describe_any(data), mutagen_refusal(data) if song_name(data) in ID3_NAMES else ""))
    if case.after is not None:
        print("after:\n%s" % describe_any(case.after))
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
    parser.add_argument("--decode-every", type=int, default=8,
                        help="decode a FLAC or Ogg file saved before and after in every N-th fuzz case")
    parser.add_argument("--self-test", action="store_true",
                        help="prove the FLAC and Ogg judge: writes made here pass, damaged ones fail")
    parser.add_argument("--media-self-test", action="store_true",
                        help="prove the M4A, WAV, AIFF and ADTS judge alone (also part of --self-test)")
    parser.add_argument("--reference", action="store_true",
                        help="the writer by the rules made here in place of the store: no case may fail")
    parser.add_argument("--tool", default=os.path.join(ROOT, "build-fuzz", "rating_write_cli"))
    parser.add_argument("--artifacts", default=os.path.join(ROOT, "build-fuzz", "artifacts", "mutagen_write_fuzz"))
    args = parser.parse_args()
    if args.replay:
        return replay(args)
    if args.self_test:
        return self_test(args)
    if args.media_self_test:
        return media_self_test_alone(args.files)
    os.makedirs(args.artifacts, exist_ok=True)

    tasks = None
    if args.seeds:
        large = [("flac-ogg " + name, data) for name, data in flac_ogg.samples(large=True) if "8 MB" in name]
        large += [("media " + name, data) for name, data in mp4.samples(mp4.ffmpeg_sources(), large=True)
                  if "8 MB" in name]
        tasks = [(name, data, stars) for name, data in seed_pool() + vorbis_seed_pool() + media_seed_pool() + large
                 for stars in range(6)]
    elif args.files:
        tasks = [(path, path, stars) for path in candidate_files(args.files) for stars in range(6)]
    if tasks is None:
        vorbis_seed_pool()  # ffmpeg runs once, before the workers fork
        media_seed_pool()
    shares = [None] * args.jobs if tasks is None else [tasks[i::args.jobs] for i in range(args.jobs)]
    if FFMPEG is None:
        print("mutagen_write_fuzz: no ffmpeg (tools/install-deps.sh): no ffmpeg seeds, decoded audio not compared")
    print("mutagen_write_fuzz: %s, %d job(s), seed %d" % (
        "%d cases" % len(tasks) if tasks is not None else "%g s" % args.seconds, args.jobs, args.seed), flush=True)
    started = time.time()
    queue = multiprocessing.Queue()
    workers = [multiprocessing.Process(target=worker, args=(i, args, share, queue)) for i, share in enumerate(shares)]
    for process in workers:
        process.start()
    stats, kinds, kept, files = collections.Counter(), collections.Counter(), collections.defaultdict(set), {}
    inputs = collections.Counter()
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
            inputs[tag_label(data) if song_name(data) not in ID3_NAMES else song_name(data)[5:]] += 1
            keep_failure(args.artifacts, kept, case, how, data, stars, not args.files)
    for process in workers:
        process.join()
    elapsed = time.time() - started

    cases = stats["cases"]
    print("cases: %d in %.0f s (%.1f per second)" % (cases, elapsed, cases / max(elapsed, 1e-9)))
    print("results: " + ", ".join("%s %d" % (k[7:], v) for k, v in stats.most_common() if k.startswith("result ")))
    print("plans: " + ", ".join("%s %d" % (k[5:], v) for k, v in stats.most_common() if k.startswith("plan ")))
    print("inputs: " + ", ".join("%s %d" % (k[5:], v) for k, v in stats.most_common() if k.startswith("form ")))
    print("cases whose input mutagen cannot load (FLAC, Ogg: or the judge does not trust): %d" % stats["unloadable"])
    print("well-formed FLAC, Ogg Vorbis, Opus, M4A, WAV, AIFF and ADTS inputs not saved: %d" % (
        stats["well-formed refused"]))
    print("files written whose decoded audio was compared (all but MP3): %d" % stats["decoded"])
    if files:
        saved = sum(1 for runs in files.values() if all(r[1] == "Saved" for r in runs))
        damaged = {p: runs for p, runs in files.items() if any(r[3] for r in runs)}
        refused = {p: runs for p, runs in files.items() if p not in damaged and any(r[1] != "Saved" for r in runs)}
        print("files: %d tried, %d saved with every star count, %d refused, %d damaged" % (
            len(files), saved, len(refused), len(damaged)))
        forms = collections.defaultdict(collections.Counter)
        for path, runs in files.items():
            with open(path, "rb") as f:
                form = song_name(f.read())[5:]
            forms[form]["tried"] += 1
            forms[form]["damaged"] += path in damaged
            forms[form]["saved"] += all(r[1] == "Saved" for r in runs)
        print("by format: " + ", ".join("%s %d tried, %d saved, %d damaged" % (
            form, c["tried"], c["saved"], c["damaged"]) for form, c in sorted(forms.items())))
        for title, group in (("damaged", damaged), ("refused", refused)):
            for path, runs in sorted(group.items()):
                how = sorted({"%s/%s%s" % (r[1], r[2], ": " + r[3][0] + " " + r[3][1] if r[3] else "")
                              for r in runs})
                with open(path, "rb") as f:
                    data = f.read()
                why = "" if song_name(data) in ID3_NAMES else old_state(data).why
                print("  %s %s: stars %s: %s%s" % (title, os.path.relpath(path, args.files),
                                                    "".join(str(r[0]) for r in sorted(runs) if r[3] or r[1] != "Saved"),
                                                    "; ".join(how), " (to be left alone: %s)" % why if why else ""))
    print("failures: %d" % sum(kinds.values()) + "".join("\n  %s: %d" % kv for kv in kinds.most_common()))
    if kinds:
        print("failures by input: " + ", ".join("%s %d" % kv for kv in inputs.most_common()))
    if kinds:
        print("kept in %s" % args.artifacts)
    return 1 if kinds else 0


if __name__ == "__main__":
    sys.exit(main())
