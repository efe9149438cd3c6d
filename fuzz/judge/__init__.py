# SPDX-License-Identifier: LGPL-2.1-or-later
"""The judge of mutagen_write_fuzz.py, one module a format over a shared core, as mutagen is laid
out: core (the driver and the table of formats), id3 (MP3 and ADTS, and the ID3v2 tag judging
WAV and AIFF share), xiph (FLAC, Ogg Vorbis and Opus), mp4 (M4A), riff (WAV and AIFF) and wma
(WMA). Each format module offers the core a core.Format."""
import os
import sys

try:
    import mutagen  # noqa: F401
except ImportError:
    sys.path.append("/usr/lib/python3/dist-packages")  # Debian's python3-mutagen

FUZZ = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(FUZZ)
sys.path[:0] = [FUZZ, os.path.join(ROOT, "tests", "fixtures")]  # make_seed_corpus and the fixture generators
