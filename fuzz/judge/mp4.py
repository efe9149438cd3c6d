# SPDX-License-Identifier: LGPL-2.1-or-later
"""M4A: the ilst's rating items. mutagen reads the items (it hides a `rate` of data type 0, which
the judge reads from the atoms itself) and never saves; the judge walks the atoms: the media data,
the sample bytes every chunk offset points at, every atom off the moov/udta/meta/ilst path (free
atoms aside) and every item but the rating items stay, and the rating items follow the writing
rules. Here too make_mp4_riff's files, the fuzz inputs of WAV, AIFF and ADTS as well, and
mutagen's own save and make_mp4_riff's writer, which prove the judge."""
import collections
import fractions
import hashlib
import io
import struct

from mutagen.mp4 import MP4, MP4FreeForm

import make_flac_ogg as flac_ogg
import make_mp4_riff as mp4
from . import id3, riff
from .core import FRACTION_TEXT, Format, Source, made_once, mutated, saved_by_mutagen, song_name

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


def describe(data):
    """The items and the structure, for a note."""
    _, state, why = mp4_old(data)
    if state is None:
        return "M4A the judge does not trust: %s" % why
    lines = ["M4A, %d top-level atoms, %d media atoms, chunks per track %s" % (
        len(state.top), len(state.media), [len(c) for c in state.chunks])]
    lines += ["  %r: %r" % (key, [(t, v[:40]) for t, v in item_values(c)])
              for key, items in sorted(state.ratings.items()) for c in items]
    lines += ["  %r" % (c[0],) for c in state.items]
    return "\n".join(lines)


# ---- make_mp4_riff's inputs: M4A, WAV, AIFF and ADTS ------------------------------------------

@made_once
def media_seed_pool():
    """(name, bytes) of the M4A, WAV, AIFF and ADTS seeds: tests/fixtures/make_mp4_riff.py's
    files around ffmpeg's (none without ffmpeg). Made once per run."""
    return [("media " + name, data) for name, data in mp4.samples(mp4.ffmpeg_sources())]


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
        return riff.chunk_mutated(rng, data)
    return id3.adts_mutated(rng, data)


def fuzz_step(rng, data):
    """One mutation: mostly one that knows atoms or chunks, else a byte's."""
    try:
        return media_mutated(rng, data) if rng.random() < 0.8 else mutated(rng, data)
    except (ValueError, IndexError, OverflowError, struct.error) as error:  # the mutator's own slip
        return "no mutation (%s)" % type(error).__name__, data


# ---- mutagen's own save and make_mp4_riff's writer: the judge proven ----------------------------

def mutagen_save(data, stars, padding=None):
    """The M4A as mutagen saves it with the rating of `stars` (None for a file to refuse)."""
    if mp4_old(data).state is None:
        return None

    def save(path):
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
    return saved_by_mutagen("song.m4a", data, save)


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


def write(data, stars):
    """The fuzz run's writer by the rules (--reference): make_mp4_riff's, which keeps every item."""
    try:
        return own_mp4_write(data, stars, free=512)
    except (ValueError, struct.error):  # a file the writer cannot rebuild: refused
        return None


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


def _mp4_skipped(before, after, stars, path):
    old = mp4_old(before) if song_name(before) == "song.m4a" else None
    if old is None or old.state is None or already_stored(old.state.ratings, stars) or \
            rating_rules(old.state.ratings, old.state.ratings, stars) is None:
        return None
    return before, "Saved"


def checks(test, seeds):
    """The player's rule reads the issue's examples; each M4A check alone fails on its damage."""
    problems = test.problems
    examples = [(mp4.text_item(b"rate", b"80", 0), 4), (mp4.text_item(b"rate", b"80", 1), 4),
                (mp4.item(b"rate", mp4.data_atom(21, b"\x50")), 4), (mp4.text_item(b"rate", b"100"), 5),
                (mp4.text_item(b"rate", b"250"), 5), (mp4.text_item(b"rate", b"1"), 1),
                (mp4.text_item(b"rate", b"0"), 0)]
    for raw, stars in examples:
        data = raw  # one item: walked as an ilst's child
        walked = mp4.ilst_item(data, mp4.walk_atoms(data, 0, len(data))[0])
        if player_stars({b"rate": [item_content(data, walked)]}) != stars:
            problems.append("the player's rule does not read %r as %d stars" % (raw[-6:], stars))
    alone = 0
    for name, data in seeds:  # each M4A check alone
        old = mp4_old(data) if song_name(data) == "song.m4a" else None
        if old is None or old.state is None or alone >= 4:
            continue
        written = mutagen_save(data, 2)
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


DAMAGES = [
    ("a chunk offset shifted", _mp4_after(_chunk_offset), {"chunk-offset-moved", "structure-after"}),
    ("a byte of the media data", _mp4_after(_media_byte), {"media-changed"}),
    ("an atom off the path (mvhd)", _mp4_after(_off_path_atom), {"atom-changed"}),
    ("an ilst item other than the rating's", _mp4_after(_ilst_change(_other_item)), {"item-changed"}),
    ("rate written as data type 0", _mp4_after(_ilst_change(_rate_type_0)), {"rate-wrong", "rating-not-written"}),
    ("a RATING item created", _mp4_after(_ilst_change(_rating_item_created)), {"rating-item-created"}),
    ("a RATING item holding another number", _mp4_after(_ilst_change(_rating_item_off)), {"rating-item-wrong"}),
    ("a rate left at 0 stars", _mp4_after(_ilst_change(_rate_left)), {"rating-item-left"}),
    ("an M4A write skipped though the rating differs", _mp4_skipped, {"rating-not-written"}),
]
FORMAT = Format(
    names=("song.m4a",), titles=("M4A",), claim=lambda data: "song.m4a" if mp4.kind_of(data) == "m4a" else None,
    extensions=(".m4a", ".m4b", ".mp4"), sniff=lambda head: mp4.kind_of(head) == "m4a", state=mp4_old,
    loadable=lambda old: old.state is not None, judge=judge_mp4, describe=describe, decoded=True,
    form=lambda name, old: ("malformed " if old.state is None else "") + name[5:],
    source=Source(0.34, media_seed_pool, 0.4, structured_media_file, fuzz_step, lambda: [
        ("media " + name, data) for name, data in mp4.samples(mp4.ffmpeg_sources(), large=True) if "8 MB" in name]),
    write=write, mutagen_save=mutagen_save, damages=DAMAGES, checks=checks,
    # A file named as an M4A is saved by mutagen with the ilst's room and without (padding 0: the ilst grows).
    paddings=lambda name: (None, lambda info: 0) if name.endswith("m4a") or ".m4a " in name else (None,),
    other_writes=lambda index, data, stars: [
        ("make_mp4_riff's writer", own_mp4_write(data, stars, free=512 if index % 2 else 0))],
    rerenders=("item-changed", "mutagen-items-changed"))  # mutagen renders every ilst item anew
