#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs what the build, the tests and the watched run need on a Debian 12 machine.
# Safe to run again: it only installs what is missing. Packages named as arguments are
# wanted too (fuzz/run.sh asks for clang and libFuzzer). ffmpeg makes the FLAC, Ogg Vorbis and
# Opus files of the tests and the write fuzzer's seeds, and decodes the audio they compare.
set -eu

need=""
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

packages="cmake g++-mingw-w64-i686-posix mingw-w64-i686-dev libz-mingw-w64-dev wine wine32:i386 \
  xvfb xdotool imagemagick x11-apps googletest python3-mutagen dpkg-dev zip nsis ffmpeg $*"
for p in $packages; do
  have "$p" || need="$need $p"
done

sources=/etc/apt/sources.list.d/debian.sources
srcs_missing=0
if [ -f "$sources" ] && ! grep -q '^Types:.*deb-src' "$sources"; then
  srcs_missing=1
fi

if [ -n "$need" ] || [ "$srcs_missing" = 1 ] || ! dpkg --print-foreign-architectures | grep -q i386; then
  if [ "$(id -u)" != 0 ]; then
    echo "install-deps: missing packages:$need; run as root" >&2
    exit 1
  fi
  dpkg --print-foreign-architectures | grep -q i386 || dpkg --add-architecture i386
  # id3lib's source is taken from Debian's source package, so source lines are needed.
  [ "$srcs_missing" = 1 ] && sed -i 's/^Types: deb$/Types: deb deb-src/' "$sources"
  apt-get update -q
  [ -n "$need" ] && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $need
fi
exit 0
