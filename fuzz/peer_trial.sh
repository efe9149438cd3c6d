#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# The store tried on other projects' own test files. Fetches the Debian source packages of
# TagLib, mutagen, Audio::Scan and eyeD3 (ID3 and MPEG audio) and of flac, opus-tools and
# vorbis-tools (FLAC, Ogg Vorbis and Opus; TagLib, mutagen and Audio::Scan hold such files too,
# and WMA and other ASF files) into build-fuzz/peers/PACKAGE/ (they never enter the project),
# and ffmpeg's WMA files as made (no padding) and saved by mutagen (with its padding and
# without; tests/fixtures/make_wma.py) into build-fuzz/peers/ffmpeg-wma/, then rates a fresh
# copy of every file there that holds an ID3v2 tag, is MPEG audio, FLAC, Ogg, M4A, WAV, AIFF,
# ADTS or WMA (by its bytes or its name) with each star count, judged as the write fuzzer judges
# (fuzz/mutagen_write_fuzz.py --files: mutagen, and for the other formats the strict walks of
# blocks, pages, atoms, chunks and ASF objects, the rating's rules and ffmpeg's decoded audio):
#   fuzz/peer_trial.sh [JOBS]
# Prints the files tried, saved, refused and damaged, by format, and how each refused or
# damaged file fared. A package the mirror does not have is reported and left out. Exits non-zero when a file was damaged. Needs deb-src lines (tools/install-deps.sh).
set -euo pipefail

jobs="${1:-1}"
root="$(cd "$(dirname "$0")/.." && pwd)"
# Debian's python3 is the one with python3-mutagen; a python3 of one's own (pyenv, a venv) may
# come first on the PATH.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
build="$root/build-fuzz"
peers="$build/peers"

for package in taglib mutagen libaudio-scan-perl eyed3 flac opus-tools vorbis-tools; do
  folder="$peers/$package"
  [ -e "$folder/.fetched" ] && continue
  mkdir -p "$folder"
  # apt-get source unpacks with Debian's patches; when a piece of the package cannot be
  # fetched, the upstream tarball alone still holds the test files.
  if ! (cd "$folder" && apt-get source "$package" >apt-get.log 2>&1); then
    for tarball in "$folder"/*.orig.tar.*; do
      [ -e "$tarball" ] && tar -xf "$tarball" -C "$folder"
    done
  fi
  if compgen -G "$folder/*/" >/dev/null; then
    touch "$folder/.fetched"
  else
    echo "peer_trial: $package could not be fetched (see $folder/apt-get.log)" >&2
  fi
done
rm -rf "$peers/ffmpeg-wma"
"$python" "$root/tests/fixtures/make_wma.py" "$peers/ffmpeg-wma" >/dev/null

cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DPython3_EXECUTABLE="$python" >/dev/null
cmake --build "$build" --target rating_write_cli -j"$(nproc)"
exec "$python" "$root/fuzz/mutagen_write_fuzz.py" --files "$peers" --jobs "$jobs" --tool "$build/rating_write_cli" \
  --artifacts "$build/artifacts/peer_trial"
