#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""The benchmark's FLAC, Ogg Vorbis and Opus files: ffmpeg's audio (pink noise, so that
it does not compress away), with the metadata built here so that padding, slack and
pictures are as each row needs. Without ffmpeg the FLAC files get frame-like bytes and the
Ogg files are not made (their rows say the file is missing)."""
import os
import random
import shutil
import struct
import subprocess
import zlib

VENDOR = b"Lavf benchmark"
FIELDS = [b"TITLE=Benchmark song", b"ARTIST=Benchmark artist", b"ALBUM=Benchmark album"]
PICTURE_BYTES = 8 * 1024 * 1024


def comment_body(extra=()):
    fields = FIELDS + list(extra)
    body = struct.pack("<I", len(VENDOR)) + VENDOR + struct.pack("<I", len(fields))
    for field in fields:
        body += struct.pack("<I", len(field)) + field
    return body


def picture_body(size):
    """A FLAC PICTURE block's body (also the base64 payload of METADATA_BLOCK_PICTURE)."""
    mime, data = b"image/jpeg", bytes(range(256)) * (size // 256)
    return (struct.pack(">II", 3, len(mime)) + mime + struct.pack(">I", 0) +
            struct.pack(">IIIII", 600, 600, 24, 0, len(data)) + data)


def ffmpeg(args, path):
    if not shutil.which("ffmpeg"):
        return False
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi"] + args + [path],
                   check=True)
    return True


# ---- FLAC ----

def flac_parts(path, seconds):
    """STREAMINFO's body and the frames of an ffmpeg FLAC, or made-up ones without ffmpeg."""
    raw = path + ".ffmpeg.flac"
    if ffmpeg(["-i", "anoisesrc=d=%d:c=pink:r=44100:a=0.3" % seconds, "-ac", "2", "-c:a", "flac"], raw):
        data = open(raw, "rb").read()
        os.remove(raw)
        at, streaminfo = 4, None
        while True:
            header, length = data[at], int.from_bytes(data[at + 1:at + 4], "big")
            if header & 0x7F == 0:
                streaminfo = data[at + 4:at + 4 + length]
            at += 4 + length
            if header & 0x80:
                return streaminfo, data[at:]
    # Frame-like bytes: a frame's sync code every 4 KB in noise.
    rng = random.Random(seconds)
    frame = b"\xff\xf8" + bytes(rng.getrandbits(8) for _ in range(4094))
    streaminfo = struct.pack(">HH", 4096, 4096) + bytes(6) + bytes.fromhex("0ac442f0") + bytes(20)
    return streaminfo, frame * (seconds * 176400 // 2 // len(frame))


def flac_block(kind, body, last=False):
    return bytes([kind | (0x80 if last else 0)]) + len(body).to_bytes(3, "big") + body


def make_flac(path, seconds, padding=0, picture=0):
    streaminfo, frames = flac_parts(path, seconds)
    blocks = [(0, streaminfo)]
    if picture:
        blocks.append((6, picture_body(picture)))  # before the comment: a read must skip it by its header
    blocks.append((4, comment_body()))
    if padding:
        blocks.append((1, bytes(padding)))
    with open(path, "wb") as f:
        f.write(b"fLaC")
        for index, (kind, body) in enumerate(blocks):
            f.write(flac_block(kind, body, index == len(blocks) - 1))
        f.write(frames)


# ---- Ogg ----

_REVERSED = bytes(int("{:08b}".format(b)[::-1], 2) for b in range(256))


def ogg_crc(page):
    """Ogg's CRC (polynomial 0x04c11db7, not reflected, no inversion) by way of zlib's
    reflected one on bit-reversed bytes."""
    reflected = ~zlib.crc32(page.translate(_REVERSED), 0xFFFFFFFF) & 0xFFFFFFFF
    return int("{:032b}".format(reflected)[::-1], 2)


def read_pages(data):
    pages, at = [], 0
    while at < len(data):
        assert data[at:at + 4] == b"OggS"
        count = data[at + 26]
        lacing = data[at + 27:at + 27 + count]
        body_at = at + 27 + count
        pages.append({"type": data[at + 5], "granule": data[at + 6:at + 14], "serial": data[at + 14:at + 18],
                      "lacing": lacing, "body": data[body_at:body_at + sum(lacing)]})
        at = body_at + sum(lacing)
    return pages


def packets_of(pages):
    """The packets whole, with the index of the page each ends on."""
    packets, current = [], b""
    for index, page in enumerate(pages):
        at = 0
        for value in page["lacing"]:
            current += page["body"][at:at + value]
            at += value
            if value < 255:
                packets.append((current, index))
                current = b""
    return packets


def page_bytes(kind, granule, serial, sequence, lacing, body):
    page = bytearray(b"OggS\x00" + bytes([kind]) + granule + serial + struct.pack("<I", sequence) + bytes(4) +
                     bytes([len(lacing)]) + bytes(lacing) + body)
    page[22:26] = struct.pack("<I", ogg_crc(bytes(page)))
    return bytes(page)


def paginate(packets, serial, sequence):
    """Header packets onto pages of their own (granule 0), up to 255 lacing values a page."""
    out = []
    lacing, body, continued = [], b"", False
    for packet in packets:
        values = [255] * (len(packet) // 255) + [len(packet) % 255]
        at = 0
        for value in values:
            lacing.append(value)
            body += packet[at:at + value]
            at += value
            if len(lacing) == 255:
                out.append(page_bytes(1 if continued else 0, bytes(8), serial, sequence, lacing, body))
                sequence += 1
                continued = value == 255
                lacing, body = [], b""
    if lacing:
        out.append(page_bytes(1 if continued else 0, bytes(8), serial, sequence, lacing, body))
        sequence += 1
    return out, sequence


def make_ogg(path, codec, seconds, slack=0, picture=0):
    """An Ogg Vorbis or Opus file whose comment packet holds the benchmark's fields (and a
    METADATA_BLOCK_PICTURE of `picture` bytes), with `slack` bytes after it: after Vorbis's
    framing bit, or Opus padding after the comments."""
    raw = path + ".ffmpeg" + os.path.splitext(path)[1]
    args = ["-i", "anoisesrc=d=%d:c=pink:r=48000:a=0.3" % seconds, "-ac", "2"]
    args += ["-c:a", "libvorbis", "-q:a", "10"] if codec == "vorbis" else ["-c:a", "libopus", "-b:a", "510k"]
    if not ffmpeg(args, raw):
        return
    pages = read_pages(open(raw, "rb").read())
    os.remove(raw)
    packets = packets_of(pages)
    headers = 3 if codec == "vorbis" else 2
    extra = []
    if picture:
        import base64
        extra.append(b"METADATA_BLOCK_PICTURE=" + base64.b64encode(picture_body(picture)))
    if codec == "vorbis":
        comment = b"\x03vorbis" + comment_body(extra) + b"\x01" + bytes(slack)
    else:
        comment = b"OpusTags" + comment_body(extra) + bytes(slack)
    serial = pages[0]["serial"]
    first_audio_page = packets[headers - 1][1] + 1
    out, sequence = paginate([packets[0][0]], serial, 0)
    out[0] = page_bytes(2, bytes(8), serial, 0, [len(packets[0][0])], packets[0][0])  # beginning of stream
    more, sequence = paginate([comment] + [p for p, _ in packets[2:headers]], serial, sequence)
    out += more
    for page in pages[first_audio_page:]:
        out.append(page_bytes(page["type"], page["granule"], serial, sequence, page["lacing"], page["body"]))
        sequence += 1
    with open(path, "wb") as f:
        f.write(b"".join(out))


def make_all(folder):
    """Each file once: they take ffmpeg some seconds, and do not change from run to run."""
    files = {
        "flac_picture8mb_5mb.flac": lambda p: make_flac(p, 46, padding=8192, picture=PICTURE_BYTES),
        "flac_padding_5mb.flac": lambda p: make_flac(p, 46, padding=8192),
        "flac_nopadding_5mb.flac": lambda p: make_flac(p, 46),
        "vorbis_picture8mb_5mb.ogg": lambda p: make_ogg(p, "vorbis", 110, picture=PICTURE_BYTES),
        "vorbis_slack_5mb.ogg": lambda p: make_ogg(p, "vorbis", 110, slack=512),
        "vorbis_5mb.ogg": lambda p: make_ogg(p, "vorbis", 110),
        "opus_padding_5mb.opus": lambda p: make_ogg(p, "opus", 90, slack=512),
        "opus_5mb.opus": lambda p: make_ogg(p, "opus", 90),
        "opus_padding_100mb.opus": lambda p: make_ogg(p, "opus", 1800, slack=512),
    }
    for name, make in files.items():
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            make(path)
