#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Checks that a release's source archives are the complete source of its DLL:
# unpacks the three archives (the plugin's, id3lib's, libogg's) from DIST
# (default dist/) into a fresh folder, builds the DLL from them alone and
# compares it with the DLL in the zip.
#   tools/rebuild_from_sources.sh [DIST]
# On a mismatch the folder is left for a look.
set -eu
dist=$(cd "${1:-dist}" && pwd)
work=$(mktemp -d /tmp/vimbrel-sources.XXXXXX)
echo "rebuild: in $work"
cd "$work"
tar xzf "$dist"/gen_id3vimbrel-*-src.tar.gz
tar xzf "$dist"/id3lib3.8.3-*-vimbrel.tar.gz
tar xzf "$dist"/libogg-*-vimbrel.tar.gz
project=$(echo gen_id3vimbrel-*)
id3lib=$(echo id3lib3.8.3-*-vimbrel)
libogg=$(echo libogg-*-vimbrel)
cmake -S "$project" -B build -DID3LIB_SOURCE_DIR="$work/$id3lib" \
  -DLIBOGG_SOURCE_DIR="$work/$libogg" -DBUILD_TESTING=OFF > configure.log
cmake --build build -j"$(nproc)" --target gen_id3vimbrel > build.log
unzip -p "$dist/$project.zip" "$project/gen_id3vimbrel.dll" > released.dll
sha256sum released.dll build/player/Plugins/gen_id3vimbrel.dll
cmp released.dll build/player/Plugins/gen_id3vimbrel.dll
cd /
rm -rf "$work"
echo "rebuild: the source archives build the released DLL"
