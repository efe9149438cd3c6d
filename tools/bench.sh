#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds and runs the benchmark under Wine and prints its tables. The first run
# also fetches and builds TagLib, the peer it times growth writes against.
set -eu
cd "$(dirname "$0")/.."
./tools/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)" --target rating_benchmark
files=build/bench/files
/usr/bin/python3 bench/make_bench_files.py "$files"
export WINEPREFIX="$PWD/build/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
sh tools/wine-session.sh start "$WINEPREFIX"
wine build/bench/rating_benchmark.exe "Z:$(realpath "$files" | tr / '\\')" "$@"
sh tools/wine-session.sh stop "$WINEPREFIX"
