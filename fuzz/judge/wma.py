# SPDX-License-Identifier: LGPL-2.1-or-later
"""WMA (ASF): the attribute WM/SharedUserRating of stream 0, in the Extended Content Description,
the Metadata and the Metadata Library. mutagen reads the attributes and never saves here; the
judge walks the header's objects and attribute lists itself: the Data object and all after it,
every other header object (the File Properties' file size aside, which mutagen leaves stale, and
the reserved fields of the header and the Header Extension, which mutagen sets; the Content
Description is read as mutagen's attributes) and every other attribute as mutagen reads it stay,
and every rating of stream 0 is the DWORD the rules write. Here too the WMA fuzz inputs
(make_wma's files around ffmpeg's, make_seed_corpus's, attributes and Padding objects put in,
mutations of object sizes, counts, GUIDs, entry lengths, names and length) and mutagen's own
save, which proves the judge."""
import collections
import hashlib
import io
import struct
import uuid

from mutagen.asf import ASF, ASFDWordAttribute, ASFUnicodeAttribute, ASFWordAttribute

import make_flac_ogg as flac_ogg
import make_seed_corpus as seed_corpus
import make_wma
from .core import Format, Source, declared_tag_end, made_once, mutated, saved_by_mutagen, song_name

GUID = dict(seed_corpus.ASF, description=uuid.UUID("75B22633-668E-11CF-A6D9-00AA0062CE6C").bytes_le)
LISTS = {GUID["content"]: "content", GUID["metadata"]: "metadata", GUID["library"]: "library"}
PLACES = ("content", "metadata", "library")  # the player's order
PLACED = {GUID["content"]: True, GUID["description"]: True, GUID["extension"]: True, GUID["metadata"]: False,
          GUID["library"]: False}  # whether in the header (else in the Header Extension)
RATING = make_wma.RATING
RATING_NAME = RATING.encode("utf-16-le")
VALUES = (0, 1, 25, 50, 75, 99)  # the DWORD written for 1-5 stars
LOWEST = (1, 13, 38, 63, 87)  # the player's thresholds: the least value read as 1-5 stars
WMA_CHECKS = frozenset(["data", "objects", "rating", "player", "mutagen"])

Attribute = collections.namedtuple("Attribute", "place name kind value stream at")
WmaOld = collections.namedtuple("WmaOld", "codec state why")
WmaState = collections.namedtuple("WmaState", "kept ratings tail mutagen")


def number(data, at, width):
    return int.from_bytes(data[at:at + width], "little")


def objects(data, start, end):
    """(GUID, offset, size) of the objects from `start` to `end`, and whether they fill it exactly."""
    found = []
    while start + 24 <= end and len(found) < 4096:
        size = number(data, start + 16, 8)
        if size < 24 or size > end - start:
            break
        found.append((data[start:start + 16], start, size))
        start += size
    return found, start == end


def attributes(data, place, at, size):
    """The descriptors or records of an attribute list; ValueError where they do not fill it as
    counted."""
    end, found = at + size, []
    if size < 26:
        raise ValueError("an attribute list without its count")
    count, at = number(data, at + 24, 2), at + 26
    for _ in range(count):
        if place == "content":
            name_at, name_length = at + 2, number(data, at, 2)
            kind, value_length = struct.unpack("<HH", data[name_at + name_length:name_at + name_length + 4].ljust(4))
            value_at, stream = name_at + name_length + 4, 0
        else:
            _, stream, name_length, kind, value_length = struct.unpack("<HHHHI", data[at:at + 12].ljust(12))
            name_at = at + 12
            value_at = name_at + name_length
        if value_at + value_length > end:
            raise ValueError("a %s entry past its object" % place)
        found.append(Attribute(place, data[name_at:name_at + name_length], kind, data[value_at:value_at + value_length],
                               stream, value_at))
        at = value_at + value_length
    if at != end:
        raise ValueError("bytes after the last %s entry" % place)
    return found


def wma_state(data):
    """The WMA as the judge compares it; ValueError when it is none a writer can trust: sizes or
    counts that do not add up, attribute lists not filled as counted, out of their place or two
    of a kind, two Content Descriptions, mutagen cannot load it (or would move or merge what it
    reads)."""
    if data[:16] != GUID["header"]:
        raise ValueError("no Header object first")
    end = number(data, 16, 8)
    kids, exact = objects(data, 30, end)
    if not 30 <= end <= len(data) or not exact or len(kids) != number(data, 24, 4):
        raise ValueError("the header's objects do not fill it as counted")
    kept, lists, header = [], [], [guid for guid, _, _ in kids]
    for guid, at, size in kids:
        inner, exact = objects(data, at + 46, at + size) if guid == GUID["extension"] else ([], True)
        if guid == GUID["extension"] and (size < 46 or number(data, at + 42, 4) != size - 46 or not exact):
            raise ValueError("a Header Extension whose objects do not fill it")
        for child, child_at, child_size in [(guid, at, size)] + inner:
            top = child_at == at
            if PLACED.get(child, top) != top:
                raise ValueError("an attribute list, Content Description or Header Extension out of its place")
            if child in LISTS:
                lists.append((PLACES.index(LISTS[child]), LISTS[child], child_at, child_size))
            elif child == GUID["file"] and child_size >= 48:  # the file size aside
                kept.append(data[child_at:child_at + 40] + data[child_at + 48:child_at + child_size])
            elif child not in (GUID["padding"], GUID["description"], GUID["extension"]):
                kept.append(data[child_at:child_at + child_size])
    if len({place for _, place, _, _ in lists}) != len(lists) or max(
            header.count(GUID[kind]) for kind in ("extension", "description")) > 1:
        raise ValueError("two attribute lists, Content Descriptions or Header Extensions")  # mutagen merges them
    walked = [a for _, place, at, size in sorted(lists) for a in attributes(data, place, at, size)]
    try:
        loaded = ASF(io.BytesIO(data))
    except Exception as error:  # any reason mutagen gives up
        raise ValueError("mutagen cannot load it: %s" % type(error).__name__)
    tags = list(loaded.tags) if loaded.tags is not None else []
    others = sorted(repr((key, v.TYPE, v.value, v.stream or 0, v.language or 0)) for key, v in tags
                    if key != RATING or v.stream)
    by_mutagen = [(v.TYPE, v.value) for key, v in tags if key == RATING and not v.stream]
    facts = (round(loaded.info.length, 6), loaded.info.sample_rate, loaded.info.channels, loaded.info.codec_name)
    return WmaState(kept, [a for a in walked if is_rating(a)],
                    hashlib.sha1(data[end:]).digest(), (others, by_mutagen, facts))


def is_rating(attribute):
    """WM/SharedUserRating of stream 0, its name read as mutagen reads it: without the NULs at its end."""
    name = attribute.name
    while name[-2:] == b"\0\0" and len(name) % 2 == 0:
        name = name[:-2]
    return name == RATING_NAME and attribute.stream == 0


def shown(attribute):
    """A rating for a note: its place, its name's length where it is not the usual 40 bytes, type and value."""
    return (attribute.place,) + (("name of %d bytes" % len(attribute.name),) if len(attribute.name) != 40 else ()) + (
        attribute.kind, attribute.value[:16])


def wma_old(data):
    try:
        return WmaOld("wma", wma_state(data), "")
    except (ValueError, struct.error) as error:
        return WmaOld("wma", None, str(error))


def player_stars(ratings):
    """The player's reading of the first rating of stream 0 (Extended Content Description, then
    Metadata, then Metadata Library): its value as a number whatever its type (an integer, or
    text of decimal digits), by the thresholds; a byte array or other text is none."""
    if not ratings:
        return 0
    kind, value = ratings[0].kind, ratings[0].value
    text = value.decode("utf-16-le", "replace").rstrip("\0") if kind == 0 else ""
    value = int.from_bytes(value, "little") if kind in (2, 3, 4, 5) else int(text) if text.isascii() and \
        text.isdigit() else 0
    return sum(1 for lowest in LOWEST if value >= lowest)


def rating_failure(state, stars):
    """(kind, detail, text) where the ratings of stream 0 break the writing rules, or None: each
    the DWORD for `stars`, by the judge's walk and by mutagen; none at 0 stars."""
    due, by_mutagen = VALUES[stars], state.mutagen[1]
    if not stars and (state.ratings or by_mutagen):
        return "rating-left", " ".join(map(str, shown(state.ratings[0])[:-2])) if state.ratings else "mutagen", \
            "0 stars, yet ratings of stream 0 remain: %r" % ([shown(a) for a in state.ratings] or by_mutagen)[:3]
    if stars and not state.ratings:
        return "rating-missing", "", "no rating of stream 0 for %d stars" % stars
    wrong = [a for a in state.ratings if (a.kind, a.value) != (3, struct.pack("<I", due))]
    if wrong:
        return "rating-wrong", " ".join(map(str, shown(wrong[0])[:-2])), "%r for %d stars (due: the DWORD %d)" % (
            shown(wrong[0]), stars, due)
    if by_mutagen != [(3, due)] * len(state.ratings):
        return "rating-wrong", "mutagen", "mutagen reads %r for %d stars" % (by_mutagen[:3], stars)
    return None


def judge_wma(before, old, after, stars, result, checks=WMA_CHECKS):
    """(kind, detail, text) of the first rule the write broke, or None, for a WMA; `old` is
    wma_old(before). `checks` leaves some out (the self-test proves each alone)."""
    _, state, why = old
    if state is None:
        if after != before:
            return "malformed-input-changed", why.split(":")[0], "%s, yet the file changed" % why
        return None
    if result != "Saved":
        return None
    if after == before:
        failure = rating_failure(state, stars)
        return None if failure is None else ("rating-not-written", (failure[0] + " " + failure[1]).strip(),
                                            "saved unchanged: " + failure[2])
    _, new, why_after = wma_old(after)
    if new is None:
        return ("unloadable-after" if why_after.startswith("mutagen") else "structure-after", why_after.split(":")[0],
                "the file written is no longer sound: %s" % why_after)
    if "data" in checks and new.tail != state.tail:
        return "data-changed", "", "the Data object or what follows it changed"
    if "objects" in checks and new.kept != state.kept:
        return "object-changed", "", "a header object other than the attribute lists, Padding and the Content " \
            "Description changed, moved, came or went"
    failure = rating_failure(new, stars) if "rating" in checks else None
    if failure is not None:
        return failure
    if "player" in checks and player_stars(new.ratings) != stars:
        return "rating-not-read", "", "the player's thresholds read %d stars, %d written" % (
            player_stars(new.ratings), stars)
    if "mutagen" in checks and new.mutagen[0] != state.mutagen[0]:
        was, now = collections.Counter(state.mutagen[0]), collections.Counter(new.mutagen[0])
        changed = sorted((was - now) + (now - was))
        return "attribute-changed", "", "other attributes as mutagen reads them changed: %s" % " ".join(changed)[:300]
    if "mutagen" in checks and new.mutagen[2] != state.mutagen[2]:
        return "attribute-changed", "facts", "mutagen reads other stream facts: %r -> %r" % (
            state.mutagen[2], new.mutagen[2])
    return None


def describe(data):
    """The ratings and the other attributes, for a note."""
    _, state, why = wma_old(data)
    if state is None:
        return "WMA the judge does not trust: %s" % why
    lines = ["WMA, %d other header objects; ratings of stream 0: %s" % (len(state.kept) - 1, [
        shown(a) for a in state.ratings])]
    return "\n".join(lines + ["  " + text[:120] for text in state.mutagen[0]])


def claim(data):
    """The WMA's name: the Header object first, or behind an ID3v2 tag (a file to refuse)."""
    at = declared_tag_end(data)
    return "song.wma" if data[at:at + 16] == GUID["header"] else None


# ---- Inputs: make_wma's and make_seed_corpus's files, attributes put in, mutations ----------------

@made_once
def wma_seed_pool():
    """(name, bytes) of the WMA seeds: make_wma's files around ffmpeg's (none without ffmpeg),
    make_seed_corpus's (and those it refuses) and one behind an ID3v2 tag."""
    pool = [("wma " + name, data) for name, data in make_wma.samples(make_wma.ffmpeg_sources())]
    layouts = list(seed_corpus.wma_layouts())
    return pool + [("seed " + name, data) for name, data in layouts] + [
        ("seed wma after ID3v2", flac_ogg.id3_tag() + layouts[0][1])]


NAMES = [RATING] * 6 + ["WM/AlbumTitle", "WM/Picture", "wm/shareduserrating", RATING + "\0"]
NUMBERS = [0, 1, 12, 13, 25, 37, 38, 50, 62, 63, 75, 86, 87, 99, 100, 255, 65535, 0xFFFFFFFF]


def random_entry(rng, record):
    """A descriptor or record: a rating or another attribute, of any type and value."""
    name = rng.choice(NAMES).encode("utf-16-le") + b"\0\0"
    kind, value = rng.choice([3, 3, 3, 5, 4, 0, 0, 2, 1, 6]), rng.choice(NUMBERS)
    if kind == 0:
        value = rng.choice(["%d" % value, "%d" % value, "", "abc", "0%d" % value, "\u0663"]).encode("utf-16-le") + \
            rng.choice([b"\0\0", b"\0\0", b""])
    elif kind in (1, 6):
        value = bytes(rng.randrange(256) for _ in range(16 if kind == 6 else rng.choice([0, 1, 4, 300])))
    else:  # a record's BOOL is a WORD, a descriptor's a DWORD
        width = {2: 2 if record else 4, 3: 4, 4: 8, 5: 2}[kind]
        value = (value % (1 << 8 * width)).to_bytes(width, "little")
    if record:
        return struct.pack("<HHHHI", rng.choice([0, 0, 1]), rng.choice([0, 0, 0, 1]), len(name), kind,
                           len(value)) + name + value
    return struct.pack("<H", len(name)) + name + struct.pack("<HH", kind, len(value)) + value


def asf_object(guid, body):
    return guid + struct.pack("<Q", 24 + len(body)) + body


def structured_wma(rng, pool):
    """(how, bytes): a WMA around a seed with random attributes in its lists (made where there are
    none) and Padding objects put in or taken out, or a seed as it is."""
    how, base = rng.choice(pool)
    if wma_old(base).state is None:
        return how, base
    end = number(base, 16, 8)
    kids = [base[at:at + size] for _, at, size in objects(base, 30, end)[0]]
    made = []
    extension = next((i for i, kid in enumerate(kids) if kid[:16] == GUID["extension"]), None)
    kid = kids[extension] if extension is not None else b""
    inner = [kid[at:at + size] for _, at, size in objects(kid, 46, len(kid))[0]]
    for guid, where, record in ((GUID["content"], kids, False), (GUID["metadata"], inner, True),
                                (GUID["library"], inner, True)):
        if rng.random() < 0.4:
            continue
        count = rng.choice([1, 1, 2, 3])
        entries = b"".join(random_entry(rng, record) for _ in range(count))
        at = next((i for i, o in enumerate(where) if o[:16] == guid), None)
        if at is None:
            where.insert(rng.randint(1 if where is kids else 0, len(where)), asf_object(guid, b"\0\0"))
            at = next(i for i, o in enumerate(where) if o[:16] == guid)
        body = where[at][24:]
        first = rng.random() < 0.5
        where[at] = asf_object(guid, struct.pack("<H", (number(body, 0, 2) + count) % 65536) + (
            entries + body[2:] if first else body[2:] + entries))
        made.append("%d %s entries %s" % (count, LISTS[guid], "first" if first else "last"))
    for where in (kids, inner):
        if rng.random() < 0.3:
            where[:] = [o for o in where if o[:16] != GUID["padding"]]
            made.append("no padding")
        if rng.random() < 0.4:
            size = rng.choice([24, 25, 50, 76, 200, 4096])
            padding = asf_object(GUID["padding"], bytes(size - 24))
            where.insert(rng.randint(1 if where is kids else 0, len(where)), padding)
            made.append("padding %d" % size)
    if extension is not None:
        children = b"".join(inner)
        kids[extension] = asf_object(GUID["extension"], kids[extension][24:42] + struct.pack("<I", len(children)) +
                                     children)
    elif inner:
        children = b"".join(inner)
        kids.insert(1, asf_object(GUID["extension"], bytes(16) + struct.pack("<HI", 6, len(children)) + children))
    body = b"".join(kids)
    return how + "; " + ", ".join(made), GUID["header"] + struct.pack("<QI", 30 + len(body), len(kids)) + \
        base[28:30] + body + base[end:]


Field = collections.namedtuple("Field", "what at width chain length")


def fields(data):
    """The fields a lenient walk finds, for mutations: objects (GUID and size), the Header
    Extension's size of its objects, counts, entries' name and value lengths, names, types and
    values. `chain`: the containers' offsets, whose sizes follow a change of length; `length`:
    (offset, width) of a name's or value's own length field."""
    if data[:16] != GUID["header"] or len(data) < 30:
        return []
    found = [Field("size", 16, 8, (), None), Field("count", 24, 4, (), None)]

    def walk(start, end, chain):
        for guid, at, size in objects(data, start, min(end, len(data)))[0]:
            found.extend([Field("object", at, 16, chain, None), Field("size", at + 16, 8, chain, None)])
            if guid == GUID["extension"] and size >= 46:
                found.append(Field("size", at + 42, 4, chain, None))
                walk(at + 46, at + size, chain + (at,))
            elif guid in LISTS and size >= 26:
                found.append(Field("count", at + 24, 2, chain, None))
                entries(LISTS[guid] == "content", at, size, chain + (at,))

    def entries(descriptor, at, size, chain):
        end, at = at + size, at + 26
        for _ in range(min(number(data, at - 2, 2), 64)):
            name = (at, 2) if descriptor else (at + 4, 2)
            name_at = at + (2 if descriptor else 12)
            name_end = name_at + number(data, *name)
            kind_at, value = (name_end, (name_end + 2, 2)) if descriptor else (at + 6, (at + 8, 4))
            value_at = name_end + (4 if descriptor else 0)
            value_end = value_at + number(data, *value)
            if value_end > end:
                break
            found.extend([Field("size", name[0], 2, chain, None), Field("size", value[0], value[1], chain, None),
                          Field("name", name_at, name_end - name_at, chain, name),
                          Field("type", kind_at, 2, chain, None), Field("value", value_at, value_end - value_at, chain,
                                                                        value)])
            at = value_end

    walk(30, number(data, 16, 8), (0,))
    walk(number(data, 16, 8), len(data), ())
    return found


def resized(data, field, at, by):
    """`by` bytes put in at `at` (taken out, negative) inside the field's containers, whose sizes
    (the Header Extension's size of its objects too) and the field's own length follow."""
    def add(offset, width):
        data[offset:offset + width] = ((number(data, offset, width) + by) % (1 << 8 * width)).to_bytes(width, "little")
    if by > 0:
        data[at:at] = bytes(by)
    else:
        del data[at:at - by]
    for container in field.chain:
        add(container + 16, 8)
        if data[container:container + 16] == GUID["extension"]:
            add(container + 42, 4)
    if field.length is not None:
        add(*field.length)


def wma_mutated(rng, data):
    """(what was done, bytes) after one change that knows objects and entries: a size, count or
    length, a GUID, an object taken out or a Padding object put in before it, a name's terminator,
    a type, a value or its length, the file's length."""
    found = fields(data)
    data = bytearray(data)
    if not found or rng.random() < 0.08:
        return "length", bytes(data[:rng.randrange(len(data) + 1)] if rng.random() < 0.5 else data + bytes(
            rng.randint(1, 40)))
    field = rng.choice(found)
    at, op, width = field.at, field.what, field.width
    if op in ("size", "count"):
        old = number(data, at, width)
        value = rng.choice([old + rng.randint(-3, 3), old + 2, old - 2, 0, 23, 24, 26, old * 2,
                            1 << (8 * width - 1), rng.randrange(1 << (8 * width))]) % (1 << (8 * width))
        data[at:at + width] = value.to_bytes(width, "little")
    elif op == "object":
        op = rng.choice(["guid", "guid", "padding", "drop"])
        if op == "guid":
            data[at:at + 16] = rng.choice(list(GUID.values())) if rng.random() < 0.7 else \
                data[at:at + 15] + bytes([data[at + 15] ^ 1])
        else:  # the count follows (mostly) where the header holds it
            padding = asf_object(GUID["padding"], bytes(rng.choice([0, 1, 26])))
            by = len(padding) if op == "padding" else -number(data, at + 16, 8)
            resized(data, field, at, by)
            if op == "padding":
                data[at:at + len(padding)] = padding
            if field.chain == (0,) and rng.random() < 0.8:
                data[24:28] = ((number(data, 24, 4) + (1 if by > 0 else -1)) % (1 << 32)).to_bytes(4, "little")
    elif op == "type":
        data[at:at + 2] = rng.choice([0, 1, 2, 3, 4, 5, 6, 7, 0xFFFF]).to_bytes(2, "little")
    elif op == "name":
        op = rng.choice(["terminator", "terminator-added", "terminator-taken", "character"])
        if op == "terminator" and width >= 2:  # the terminator becomes a character
            data[at + width - 2:at + width] = rng.choice([b"x\0", b"\0\x01", b"\0\xd8"])
        elif op == "terminator-added":
            resized(data, field, at + width, 2)
        elif op == "terminator-taken" and width >= 2:
            resized(data, field, at + width - 2, -2)
        elif width:
            data[at + rng.randrange(width)] ^= rng.choice([0x01, 0x20, 0x80])
    elif width in (2, 4, 8) and rng.random() < 0.7:  # a value of an integer's size: another number
        data[at:at + width] = (rng.choice(NUMBERS) % (1 << 8 * width)).to_bytes(width, "little")
    else:  # a value of another length
        op = "value-length"
        resized(data, field, at + width, max(rng.choice([-4, -2, -1, 1, 2, 4]), -width))
    return "wma-%s@%d" % (op, at), bytes(data)


def fuzz_step(rng, data):
    """One mutation: mostly one that knows objects and entries, else a byte's."""
    try:
        return wma_mutated(rng, data) if rng.random() < 0.8 else mutated(rng, data)
    except (ValueError, IndexError, OverflowError, struct.error) as error:  # the mutator's own slip
        return "no mutation (%s)" % type(error).__name__, data


# ---- mutagen's own save: the judge proven -------------------------------------------------------

class NotApplicable(Exception):
    """A damage that has nothing to change in this file."""


def mutagen_save(data, stars, padding=None, change=None):
    """The WMA as mutagen saves it with the DWORD for `stars` as the one WM/SharedUserRating of
    stream 0 (none for 0 stars), ratings of other streams kept; change(tags, old ratings, stars)
    alters the tags before (a damage; False where it has nothing to change). None for a file to
    refuse."""
    if wma_old(data).state is None:
        return None

    def save(path):
        loaded = ASF(path)
        old = list(loaded.tags.get(RATING, []))
        values = ([ASFDWordAttribute(VALUES[stars])] if stars else []) + [v for v in old if v.stream]
        if RATING in loaded.tags:
            del loaded.tags[RATING]
        if values:
            loaded.tags[RATING] = values
        if change is not None and change(loaded.tags, old, stars) is False:
            raise NotApplicable()
        loaded.save(padding=padding)
    return saved_by_mutagen("song.wma", data, save)


def _by_mutagen(change):
    """A damage: mutagen's save with `change` (None where it does not apply)."""
    def damage(before, after, stars, path):
        if song_name(before) != "song.wma" or wma_old(before).state is None:
            return None
        return mutagen_save(before, stars, change=change)
    return damage


def _as_word(tags, old, stars):
    if not stars:
        return False
    tags[RATING] = [ASFWordAttribute(VALUES[stars])] + tags[RATING][1:]


def _zero_as_dword(tags, old, stars):
    if stars:
        return False
    tags[RATING] = [ASFDWordAttribute(0)] + list(tags.get(RATING, []))


def _one_left(tags, old, stars):
    """Ratings of stream 0 after the first left as they were."""
    left = [v for v in old if not v.stream][1:]
    if not left or all(isinstance(v, ASFDWordAttribute) and v.value == VALUES[stars] and stars for v in left):
        return False
    tags[RATING] = list(tags.get(RATING, [])) + left


def _other_stream(tags, old, stars):
    """A rating of another stream set as well."""
    others = [v for v in old if v.stream]
    if not others:
        return False
    tags[RATING] = [v for v in tags[RATING] if not v.stream] + [
        ASFDWordAttribute(v.value + 1 if isinstance(v.value, int) else 7, stream=v.stream, language=v.language)
        for v in others]


def _other_attribute(tags, old, stars):
    key = next((k for k, v in tags if k != RATING and isinstance(v, ASFUnicodeAttribute)), None)
    if key is None:
        return False
    tags[key] = [ASFUnicodeAttribute(v.value + "x") if isinstance(v, ASFUnicodeAttribute) else v for v in tags[key]]


def _after(change):
    """A damage to the WMA mutagen's save wrote: change(bytearray, stars) -> bytes or None."""
    def damage(before, after, stars, path):
        if song_name(before) != "song.wma" or wma_old(before).state is None or after == before:
            return None
        return change(bytearray(after), stars)
    return damage


def _rating_off(data, stars):
    ratings = wma_state(bytes(data)).ratings
    if not ratings:
        return None
    data[ratings[-1].at] ^= 0x01
    return bytes(data)


def _player_off(data, stars):
    """Every rating the least DWORD of the next star count."""
    for rating in wma_state(bytes(data)).ratings:
        data[rating.at:rating.at + 4] = struct.pack("<I", LOWEST[stars % 5])
    return bytes(data) if stars else None


def _data_byte(data, stars):
    end = number(data, 16, 8)
    data[end + (len(data) - end) // 2] ^= 0x01
    return bytes(data)


def _object_byte(data, stars):
    """The last byte of the Stream Properties object (error correction data mutagen does not read)."""
    found = [(at, size) for guid, at, size in objects(data, 30, number(data, 16, 8))[0] if guid == GUID["stream"]]
    if not found:
        return None
    data[found[0][0] + found[0][1] - 1] ^= 0x01
    return bytes(data)


def _count(data, stars):
    data[24] ^= 0x01
    return bytes(data)


def _untrusted_written(before, after, stars, path):
    if song_name(before) != "song.wma" or wma_old(before).state is not None:
        return None
    return before[:-1] + bytes([before[-1] ^ 0x01]), "Saved"


def _skipped(before, after, stars, path):
    old = wma_old(before) if song_name(before) == "song.wma" else None
    if old is None or old.state is None or rating_failure(old.state, stars) is None:
        return None
    return before, "Saved"


DAMAGES = [
    ("a WMA rating's DWORD off by one", _after(_rating_off), {"rating-wrong"}),
    ("a WMA rating written as a WORD", _by_mutagen(_as_word), {"rating-wrong"}),
    ("0 stars written as the DWORD 0", _by_mutagen(_zero_as_dword), {"rating-left"}),
    ("a rating of stream 0 after the first left", _by_mutagen(_one_left), {"rating-wrong", "rating-left"}),
    ("a rating of stream 1 changed", _by_mutagen(_other_stream), {"attribute-changed"}),
    ("another attribute's text changed", _by_mutagen(_other_attribute), {"attribute-changed"}),
    ("a byte of the Data object", _after(_data_byte), {"data-changed"}),
    ("a byte of the Stream Properties object", _after(_object_byte), {"object-changed"}),
    ("the header's object count", _after(_count), {"structure-after"}),
    ("a WMA the judge does not trust written", _untrusted_written, {"malformed-input-changed"}),
    ("a WMA write skipped though the rating differs", _skipped, {"rating-not-written"}),
]


def checks(test, seeds):
    """The player's thresholds read the examples; each WMA check alone fails on its damage."""
    problems = test.problems
    examples = [(3, 0, 0), (3, 1, 1), (3, 12, 1), (3, 13, 2), (3, 37, 2), (3, 38, 3), (3, 62, 3), (3, 63, 4),
                (3, 86, 4), (3, 87, 5), (3, 255, 5), (5, 63, 4), (4, 87, 5), (2, 1, 1), (0, "38", 3), (0, "38\0", 3),
                (0, "abc", 0), (0, "", 0), (1, b"\x50", 0)]
    for kind, value, stars in examples:
        raw = value.encode("utf-16-le") if kind == 0 else value if kind == 1 else struct.pack(
            "<" + {2: "I", 3: "I", 4: "Q", 5: "H"}[kind], value)
        if player_stars([Attribute("content", RATING_NAME + b"\0\0", kind, raw, 0, 0)]) != stars:
            problems.append("the player's thresholds do not read type %d %r as %d stars" % (kind, value, stars))
    alone = 0
    for name, data in seeds:
        if song_name(data) != "song.wma" or wma_old(data).state is None or alone >= 4:
            continue
        written = mutagen_save(data, 2)
        for check, damaged, kind in (
                ("data", _data_byte(bytearray(written), 2), "data-changed"),
                ("objects", _object_byte(bytearray(written), 2), "object-changed"),
                ("rating", _rating_off(bytearray(written), 2), "rating-wrong"),
                ("player", _player_off(bytearray(written), 2), "rating-not-read"),
                ("mutagen", mutagen_save(data, 2, change=_other_attribute), "attribute-changed")):
            verdict = judge_wma(data, wma_old(data), damaged, 2, "Saved", checks={check}) if damaged else "n/a"
            if verdict != "n/a" and (verdict is None or verdict[0] != kind):
                problems.append("the WMA %s check alone misses its damage in %s (%s)" % (check, name, verdict))
        alone += 1
    print("  %-45s caught on %d seeds" % ("each WMA check alone", alone))


FORMAT = Format(
    names=("song.wma",), titles=("WMA",), claim=claim, extensions=(".wma", ".asf", ".wmv"),
    sniff=lambda head: head[:12] == GUID["header"][:12], state=wma_old, loadable=lambda old: old.state is not None,
    form=lambda name, old: "malformed wma" if old.state is None else "wma" + (" rated" if old.state.ratings else ""),
    judge=judge_wma, describe=describe, decoded=True,
    source=Source(0.2, wma_seed_pool, 0.35, structured_wma, fuzz_step, lambda: [
        ("wma " + name, data) for name, data in make_wma.samples(make_wma.ffmpeg_sources(), large=True)
        if "8 MB" in name]),
    write=mutagen_save, mutagen_save=mutagen_save, damages=DAMAGES, checks=checks,
    paddings=lambda name: (None, lambda info: 0))  # mutagen's save with its padding and without
