#!/usr/bin/env python3
"""Makes small but real MP3 files for the watched run and the benchmark."""
import os
import struct

# One MPEG-1 Layer III frame header: 128 kbit/s, 44.1 kHz, no padding (417 bytes).
FRAME_HEADER = bytes([0xFF, 0xFB, 0x90, 0x64])
FRAME_BYTES = 417


def audio(frames):
    frame = FRAME_HEADER + bytes(FRAME_BYTES - len(FRAME_HEADER))
    return frame * frames


def write_untagged(path, frames=40):
    with open(path, "wb") as f:
        f.write(audio(frames))


def make_demo_library(folder):
    """Three files with titles; returns [(path, title)]."""
    entries = []
    for i, title in enumerate(["Morning Fields", "Harbour Lights", "Last Train Home"]):
        path = os.path.join(folder, "track%d.mp3" % (i + 1))
        write_untagged(path)
        entries.append((path, title))
    return entries
