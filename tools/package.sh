#!/bin/sh
# Builds the plugin and its release package: dist/ holds the DLL, the install
# text, the licence notices and checksums, and a zip of them.
set -eu
cd "$(dirname "$0")/.."
./tools/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)" --target gen_id3vimbrel
exec sh tools/make_package.sh build dist
