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

WMA inputs are ffmpeg's files and those tests/fixtures/make_wma.py and make_seed_corpus.py
build, attributes and Padding objects put in, and mutations of object sizes, counts, GUIDs, entry
lengths, names' lengths and terminators and length. mutagen never saves them either. Such a case
fails when
- the input is no WMA the judge can trust (the Header object not first, objects or entries that
  do not fill their object as counted, two attribute lists of a kind, mutagen cannot load it)
  and it changed;
- it was saved and: the file written is not sound in the same sense; the Data object or a byte
  after it, or another header object (the File Properties' file size aside) changed; a
  WM/SharedUserRating of stream 0 (named as mutagen reads names) is not the DWORD 1, 25, 50, 75
  or 99 for 1-5 stars, or is there at 0 stars; the player's thresholds do not read the stars
  back; mutagen reads other attributes (value, type, stream) or stream facts; ffmpeg decodes
  other audio.

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
                                                    mutagen's own saves (WMA too)
  mutagen_write_fuzz.py --media-self-test [--files DIR]   that last part alone
  mutagen_write_fuzz.py --reference [--seconds S]   the fuzz run with those writes in place of
                                                    the store's: no case may fail (M4A
                                                    written by make_mp4_riff's writer,
                                                    WAV, AIFF, ADTS and WMA by mutagen)
Failing inputs are kept, the smallest per kind and shape of failure, with a note, in
build-fuzz/artifacts/mutagen_write_fuzz/ (--files mode keeps notes only). Exits 1 when any
case failed.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # the judge package, beside this script
from judge import core  # noqa: E402

if __name__ == "__main__":
    sys.exit(core.main(__doc__))
