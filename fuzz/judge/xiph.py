# SPDX-License-Identifier: LGPL-2.1-or-later
"""FLAC, Ogg Vorbis and Opus: the Vorbis comment's rating. mutagen reads the fields and blocks; it
checks no Ogg CRC and would move FLAC padding about on a save of its own, so it never saves here,
and the structure is walked by make_flac_ogg's strict walks: every block but the comment and the
padding, every Ogg packet but the comment packet, every audio byte and page stay, the CRCs and
sequence numbers hold, and the fields obey the rating's rules. Here too the inputs built around
make_flac_ogg's, and the writer by the rules and the damages that prove the judge."""
import collections
import fractions
import io
import re
import struct

from mutagen.flac import FLAC
from mutagen.oggopus import OggOpus
from mutagen.oggvorbis import OggVorbis

import make_flac_ogg as flac_ogg
from .core import (FFMPEG, FRACTION_TEXT, GENERIC_DAMAGES, Format, ReferenceTool, Source, claimed_files, judge,
                   judge_decoded, made_once, mutated, run_case, run_damages, seed_pool, song_name)

NAMES = ("song.flac", "song.ogg", "song.opus")
RATING_NAMES = (b"rating", b"fmps_rating")
ALL_CHECKS = frozenset(["bytes", "fields", "mutagen", "decode"])


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


def claim(data):
    if flac_ogg.is_flac(data):
        return "song.flac"
    if data[:4] == b"OggS":
        return "song.opus" if b"OpusHead" in data[:100] else "song.ogg"
    return None


def describe(data):
    """The Vorbis comment and the structure, for a note."""
    codec, state, why = vorbis_state(data)
    if state is None:
        return "%s the judge does not trust: %s" % (codec, why)
    lines = ["%s, vendor %r, %d other blocks or packets" % (codec, state.vendor, len(state.blocks))]
    lines += ["  %r" % (field if len(field) < 100 else field[:97] + b"...") for field in state.fields or []]
    return "\n".join(lines)


# ---- FLAC, Ogg Vorbis and Opus inputs -------------------------------------------------------

@made_once
def vorbis_seed_pool():
    """(name, bytes) of the FLAC, Ogg Vorbis and Opus seeds: the fixture generator's files,
    around ffmpeg's own when ffmpeg is there. Made once per run."""
    return [("flac-ogg " + name, data) for name, data in flac_ogg.samples(flac_ogg.ffmpeg_sources())]


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


def fuzz_step(rng, data):  # mostly a mutation that knows FLAC blocks or Ogg pages, else a byte's
    return vorbis_mutated(rng, data) if rng.random() < 0.75 else mutated(rng, data)


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
] + GENERIC_DAMAGES + [
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


def self_test(test):
    """Every seed written by the rules passes; every damage fails for its reason; the decoded
    audio check fails alone on a changed audio byte; the player's rule reads the issue's
    examples."""
    problems = test.problems
    seeds = vorbis_seed_pool() + [(n, d) for n, d in seed_pool() if song_name(d) in NAMES]
    seeds += claimed_files(test.files, NAMES)  # other projects' files (the peer trial's): the judge passes them
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
    clean = 0
    for index, (name, data) in enumerate(seeds):
        for stars in range(6):
            case = run_case(ReferenceTool(), test.folder, data, stars, decode=index % 4 == 0 and stars in (0, 4),
                            cache=test.cache)
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
    # Without ffmpeg there is no Ogg Vorbis seed: a damage for it alone is never tried.
    run_damages(DAMAGES, seeds, test.folder, problems, 60, False, FFMPEG is not None)
    decoded, per_codec = 0, collections.Counter()
    for name, data in seeds if FFMPEG is not None else []:
        written = reference_write(data, 3)
        codec = vorbis_state(data).codec
        if written is None or per_codec[codec] >= 2 or "silence" in name:  # empty Opus frames decode alike
            continue
        per_codec[codec] += 1
        damaged = _flip_audio(data, written, 3, None)
        if judge_decoded(data, damaged, test.base, test.cache) is None:
            problems.append("the decoded audio check misses a changed audio byte in %s" % name)
        elif judge_decoded(data, written, test.base, test.cache) is not None:
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


FORMAT = Format(
    names=NAMES, titles=("FLAC", "Ogg Vorbis", "Opus"), claim=claim, extensions=(".flac", ".ogg", ".oga", ".opus"),
    sniff=lambda head: head[:4] in (b"fLaC", b"OggS"), state=vorbis_state, loadable=lambda old: old.state is not None,
    form=lambda name, old: old.codec if old.state is not None else "malformed " + (
        "flac" if name == "song.flac" else "ogg"),
    judge=judge_vorbis, describe=describe, decoded=True, write=reference_write, self_test=self_test,
    source=Source(0.33, vorbis_seed_pool, 0.4, structured_vorbis_file, fuzz_step, lambda: [
        ("flac-ogg " + name, data) for name, data in flac_ogg.samples(large=True) if "8 MB" in name]))
