#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the release into dist/: the zip (DLL, install text, licences and the
# complete source), the installer, the symbols zip, the source archives and
# SHA-256 sums. Run it on a clean checkout of the commit to release: the source
# archive is that commit, and every file time in the archives is its time.
set -eu
cd "$(dirname "$0")/.."
if [ -n "$(git status --porcelain)" ]; then
  echo "package: the checkout has changes; the source archive would not be what the DLL was built from." >&2
  echo "package: commit them (or clone the commit) first." >&2
  exit 1
fi
./tools/install-deps.sh
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
cmake -S . -B build
cmake --build build -j"$(nproc)" --target gen_id3vimbrel installer
exec sh tools/make_package.sh build dist
