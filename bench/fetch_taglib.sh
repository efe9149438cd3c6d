#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Fetches Debian's source package of TagLib into DOWNLOAD_DIR and unpacks it,
# Debian's patches applied, into SOURCE_DIR (bench/taglib.cmake).
#   fetch_taglib.sh DOWNLOAD_DIR SOURCE_DIR
set -eu
mkdir -p "$1"
cd "$1"
# apt-get skips what it holds already; without the network the copy fetched before serves.
apt-get source --download-only taglib >/dev/null || echo "fetch_taglib: apt-get failed, using what is here" >&2
dsc=$(ls taglib_*.dsc | sort -V | tail -n 1)
rm -rf "$2"
dpkg-source --no-check --no-copy -x "$dsc" "$2" >/dev/null
