#!/bin/sh
# Assembles the release package from a finished build.
#   tools/make_package.sh BUILD_DIR OUT_DIR
set -eu
build=$1
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(id3vimbrel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=gen_id3vimbrel-$version

rm -rf "$out"
mkdir -p "$out/$name"
cp "$build/player/Plugins/gen_id3vimbrel.dll" "$out/$name/"
# Windows users read these with Notepad: CRLF line ends.
sed 's/$/\r/' "$root/packaging/INSTALL.txt" > "$out/$name/INSTALL.txt"
sed 's/$/\r/' "$build/_deps/id3lib/src/COPYING" > "$out/$name/LICENSE-id3lib.txt"
sed 's/$/\r/' /usr/share/doc/libz-mingw-w64-dev/copyright > "$out/$name/LICENSE-zlib.txt"
(cd "$out/$name" && sha256sum gen_id3vimbrel.dll INSTALL.txt LICENSE-id3lib.txt LICENSE-zlib.txt > SHA256SUMS)
(cd "$out" && zip -q -X -r "$name.zip" "$name" && sha256sum "$name.zip" > "$name.zip.sha256")
echo "package: $out/$name.zip"
