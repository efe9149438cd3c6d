#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the fuzz targets into build-fuzz/ and runs one of them for SECONDS seconds, starting
# from freshly generated seeds:
#   fuzz/run.sh SECONDS [TARGET] [JOBS]
# TARGET is id3v2_reader_fuzz (the default), id3lib_read_fuzz, rating_write_fuzz,
# flac_plan_fuzz, ogg_plan_fuzz, riff_plan_fuzz, mp4_plan_fuzz, asf_plan_fuzz or mutagen_write_fuzz; JOBS > 1 runs that many fuzzing processes
# side by side (libFuzzer's fork mode), each crash being kept and the run going on. New inputs found stay in
# build-fuzz/corpus/TARGET/ for the next run; crashing inputs land in
# build-fuzz/artifacts/TARGET/. mutagen_write_fuzz is no libFuzzer target: the store's write
# through rating_write_cli, judged by mutagen in mutagen_write_fuzz.py (JOBS workers).
# Exits non-zero when the target crashed, hung (10 s for one input) or an oracle failed.
set -euo pipefail

seconds="${1:-}"
target="${2:-id3v2_reader_fuzz}"
jobs="${3:-1}"
if ! [[ "$seconds" =~ ^[0-9]+$ && "$jobs" =~ ^[0-9]+$ ]]; then
  echo "usage: fuzz/run.sh SECONDS [id3v2_reader_fuzz|id3lib_read_fuzz|rating_write_fuzz|flac_plan_fuzz|ogg_plan_fuzz|riff_plan_fuzz|mp4_plan_fuzz|asf_plan_fuzz|mutagen_write_fuzz] [JOBS]" >&2
  exit 2
fi
case "$target" in
id3v2_reader_fuzz) max_len=4096 ;;
id3lib_read_fuzz | rating_write_fuzz) max_len=8192 ;;  # whole files: a tag and some audio
flac_plan_fuzz) max_len=16384 ;;  # a FLAC's blocks, comment and a few audio frames
ogg_plan_fuzz) max_len=16384 ;;   # whole Ogg files: header pages, a comment over several, some audio
riff_plan_fuzz) max_len=16384 ;;  # a WAV's or AIFF's chunks, an ID3 chunk and a few samples
mp4_plan_fuzz) max_len=16384 ;;   # whole small M4A files: moov, its items and tables, a little mdat
asf_plan_fuzz) max_len=16384 ;;   # whole small WMA files: the header, its attributes, a few packets
mutagen_write_fuzz) ;;
*)
  echo "unknown target $target" >&2
  exit 2
  ;;
esac

root="$(cd "$(dirname "$0")/.." && pwd)"
# Debian's python3 is the one with python3-mutagen; a python3 of one's own (pyenv, a venv) may
# come first on the PATH.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
build="$root/build-fuzz"

# clang with libFuzzer, and Debian's python3, which has Debian's mutagen (another python3 may
# come first on the PATH without it).
"$root/tools/install-deps.sh" clang libclang-rt-dev
python=/usr/bin/python3

cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DPython3_EXECUTABLE="$python" >/dev/null
if [ "$target" = mutagen_write_fuzz ]; then
  cmake --build "$build" --target rating_write_cli -j"$(nproc)"
  exec "$python" "$root/fuzz/mutagen_write_fuzz.py" --seconds "$seconds" --jobs "$jobs" \
    --tool "$build/rating_write_cli" --artifacts "$build/artifacts/$target"
fi
cmake --build "$build" --target "$target" -j"$(nproc)"

rm -rf "$build/seeds"
"$python" "$root/fuzz/make_seed_corpus.py" "$build/seeds"
corpus="$build/corpus/$target"
artifacts="$build/artifacts/$target"
mkdir -p "$corpus" "$artifacts"

options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len"
  -print_final_stats=1 -artifact_prefix="$artifacts/")
if [ "$jobs" -gt 1 ]; then
  # Fork mode ends with status 0 even after crashes: count the artifacts instead.
  before=$(find "$artifacts" -type f | wc -l)
  "$build/$target" "${options[@]}" -fork="$jobs" -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
    "$corpus" "$build/seeds" || true
  after=$(find "$artifacts" -type f | wc -l)
  echo "$((after - before)) new crashing inputs in $artifacts"
  [ "$after" -eq "$before" ]
else
  exec "$build/$target" "${options[@]}" "$corpus" "$build/seeds"
fi
