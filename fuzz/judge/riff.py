# SPDX-License-Identifier: LGPL-2.1-or-later
"""WAV and AIFF: every chunk but the ID3 chunk stays, and the ID3 chunk's tag is judged as an
MP3's (id3), its POPM read back through mutagen's wave and aiff; the chunk mutations; mutagen's
own save, proving the judge. Their fuzz inputs are make_mp4_riff's, which mp4 draws."""
import collections
import io
import struct

from mutagen.aiff import AIFF
from mutagen.id3 import POPM
from mutagen.wave import WAVE

import make_mp4_riff as mp4
from . import id3
from .core import Format, declared_tag_end, saved_by_mutagen, song_name

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
                     id3.mutagen_view(tag) if tag is not None else id3.View(None, [], [], 0), popm, slip,
                     loaded is not None)


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
        failure = id3.judge_tag(before, None, after, stars, result)
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
    failure = id3.judge_tag(state.tag or b"", state.view, new.tag, stars, result)
    if failure is not None:
        return failure
    if new.popm is None or popm_stars(new.popm.rating) != stars:
        return "rating-not-read", "mutagen.%s" % state.kind, "mutagen's %s reads %s, %d stars written" % (
            state.kind, "no POPM" if new.popm is None else "POPM %d" % new.popm.rating, stars)
    return None


def describe(data):
    """The chunks and the tag, for a note."""
    _, state, why = riff_old(data)
    if state is None:
        return "%s the judge does not trust: %s" % (song_name(data)[5:], why)
    return "%s (%s), chunks %s, ID3 chunk %r:\n%s" % (
        state.kind, state.form.decode("latin-1"), [c[0].decode("latin-1") for c in state.others], state.tag_id,
        id3.describe(state.view))


def chunk_mutated(rng, data):
    """(what was done, bytes) after one change that knows the chunks: the RIFF or FORM size, a
    chunk's size, pad byte or id, the ID3 chunk's tag size, RF64, truncation."""
    data = bytearray(data)
    kind = mp4.kind_of(bytes(data))
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


def mutagen_save(data, stars, padding=None):
    """The WAV or AIFF as mutagen saves it with the rating of `stars` (None for a file to refuse)."""
    old = riff_old(data)
    if old.state is None or old.state.view is None or old.state.slip or (
            old.state.tag and old.state.tag[old.state.view.end:]):
        return None  # mutagen would keep a size slip, or drop bytes after the tag in its chunk
    name = song_name(data)

    def save(path):
        loaded = WAVE(path) if name == "song.wav" else AIFF(path)
        if loaded.tags is None:
            loaded.add_tags()
        id3.rate_tags(loaded.tags, stars, loaded.tags.version[1] or 3, loaded.save, padding)
    return saved_by_mutagen(name, data, save)


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


DAMAGES = [
    ("a wrong RIFF or FORM size", _riff_after(_riff_size), {"structure-after"}),
    ("another chunk's byte", _riff_after(_other_chunk), {"chunk-changed"}),
    ("a pad byte dropped", _riff_after(_pad_dropped), {"structure-after"}),
]
FORMAT = Format(
    names=("song.wav", "song.aiff"), titles=("WAV", "AIFF"), extensions=(".wav", ".aif", ".aiff"),
    claim=lambda data: {"wav": "song.wav", "aiff": "song.aiff"}.get(mp4.kind_of(data)),
    sniff=lambda head: mp4.kind_of(head) in ("wav", "aiff"), state=riff_old, loadable=lambda old: old.state is not None,
    form=lambda name, old: ("malformed " + name[5:] if old.state is None else name[5:] + (
        " with ID3 chunk" if old.state.tag else "")), judge=judge_riff, describe=describe, decoded=True,
    write=mutagen_save, mutagen_save=mutagen_save, damages=DAMAGES, rerenders=id3.RERENDERS)  # the tag: an MP3's
