#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Assembles the release from a finished build (the DLL, its symbols file, the
# installer and the id3lib and libogg trees it was compiled from):
#   tools/make_package.sh BUILD_DIR OUT_DIR
# OUT_DIR gets the zip (DLL, translations, install text, licences, the three source archives),
# the installer, the symbols zip, the three source archives and SHA256SUMS.
# The same build and commit give the same bytes: every file time is the
# commit's (or SOURCE_DATE_EPOCH), names go in sorted, owners and modes fixed.
set -eu
build=$(cd "$1" && pwd)
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(id3vimbrel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=gen_id3vimbrel-$version
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
# zip stores local times; sort must order by bytes.
export TZ=UTC LC_ALL=C

id3lib_tree=$(sed -n 's/^ID3LIB_SOURCE_DIR:PATH=//p' "$build/CMakeCache.txt")
[ -n "$id3lib_tree" ] || id3lib_tree=$build/_deps/id3lib/src
id3lib_version=$(dpkg-parsechangelog -l "$id3lib_tree/debian/changelog" -S Version)
id3lib_folder=id3lib3.8.3-$id3lib_version-vimbrel
id3lib_archive=$id3lib_folder.tar.gz
libogg_tree=$(sed -n 's/^LIBOGG_SOURCE_DIR:PATH=//p' "$build/CMakeCache.txt")
[ -n "$libogg_tree" ] || libogg_tree=$build/_deps/libogg/src
libogg_version=$(dpkg-parsechangelog -l "$libogg_tree/debian/changelog" -S Version)
libogg_folder=libogg-$libogg_version-vimbrel
libogg_archive=$libogg_folder.tar.gz
setup=$build/installer/$name-setup.exe
[ -f "$setup" ] || { echo "make_package: no installer at $setup (is makensis installed?)" >&2; exit 1; }

# fill TEMPLATE > FILE: the versions into a text.
fill() {
  sed -e "s/@VERSION@/$version/g" -e "s/@ID3LIB_VERSION@/$id3lib_version/g" \
    -e "s/@ID3LIB_ARCHIVE@/$id3lib_archive/g" -e "s/@ID3LIB_FOLDER@/$id3lib_folder/g" \
    -e "s/@LIBOGG_VERSION@/$libogg_version/g" \
    -e "s/@LIBOGG_ARCHIVE@/$libogg_archive/g" -e "s/@LIBOGG_FOLDER@/$libogg_folder/g" "$1"
}
# Windows users read these with Notepad: CRLF line ends.
crlf() { sed 's/$/\r/' "$@"; }
settle() {
  chmod -R u=rwX,go=rX "$1"
  find "$1" -exec touch -h -d "@$epoch" {} +
}
# sums FOLDER: SHA256SUMS of every file below it.
sums() {
  (cd "$1" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort | xargs sha256sum > SHA256SUMS)
}
# zip_folder ZIP PARENT FOLDER / tar_folder TGZ PARENT FOLDER
zip_folder() {
  settle "$2/$3"
  (cd "$2" && find "$3" -type f | sort | zip -q -X -D "$1" -@)
}
tar_folder() {
  settle "$2/$3"
  tar --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner --format=gnu \
    -C "$2" -cf - "$3" | gzip -9n > "$1"
}

rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$out/.work
mkdir -p "$work/id3lib" "$work/libogg" "$work/zip/$name/source" "$work/symbols/$name-symbols"

# The complete corresponding source: this commit, and id3lib and libogg as compiled.
git -C "$root" archive --format=tar --prefix="$name/" HEAD | gzip -9n > "$out/$name-src.tar.gz"
cp -R "$id3lib_tree" "$work/id3lib/$id3lib_folder"
mkdir "$work/id3lib/$id3lib_folder/vimbrel-patches"
cp "$root"/cmake/id3lib-patches/* "$work/id3lib/$id3lib_folder/vimbrel-patches/"
fill "$root/packaging/id3lib-source.txt" > "$work/id3lib/$id3lib_folder/VIMBREL-SOURCE.txt"
tar_folder "$out/$id3lib_archive" "$work/id3lib" "$id3lib_folder"
cp -R "$libogg_tree" "$work/libogg/$libogg_folder"
fill "$root/packaging/libogg-source.txt" > "$work/libogg/$libogg_folder/VIMBREL-SOURCE.txt"
tar_folder "$out/$libogg_archive" "$work/libogg" "$libogg_folder"

z=$work/zip/$name
cp "$build/player/Plugins/gen_id3vimbrel.dll" "$z/"
# The translations as the player's folder keeps them, Lang/<language id>/, so that
# the zip's Lang folder can be copied beside Winamp's Plugins folder as it is. One
# a script in resources/lang/: a language the build missed stops the package here.
for script in "$root"/resources/lang/*.rc; do
  language=$(basename "$script" .rc)
  mkdir -p "$z/Lang/$language"
  cp "$build/player/Lang/$language/gen_id3vimbrel.lng" "$z/Lang/$language/"
done
fill "$root/packaging/INSTALL.txt" | crlf > "$z/INSTALL.txt"
crlf "$root/LICENSE" > "$z/LICENSE.txt"
crlf "$id3lib_tree/COPYING" > "$z/LICENSE-id3lib.txt"
crlf "$libogg_tree/COPYING" > "$z/LICENSE-libogg.txt"
crlf /usr/share/doc/libz-mingw-w64-dev/copyright > "$z/LICENSE-zlib.txt"
crlf /usr/share/doc/mingw-w64-i686-dev/copyright > "$z/LICENSE-mingw-w64.txt"
cp "$out/$name-src.tar.gz" "$out/$id3lib_archive" "$out/$libogg_archive" "$z/source/"
sums "$z"
zip_folder "$out/$name.zip" "$work/zip" "$name"

s=$work/symbols/$name-symbols
cp "$build/symbols/gen_id3vimbrel.dll.debug" "$s/"
fill "$root/packaging/SYMBOLS.txt" > "$s/SYMBOLS.txt"
zip_folder "$out/$name-symbols.zip" "$work/symbols" "$name-symbols"

cp "$setup" "$out/"
rm -rf "$work"
sums "$out"
echo "package: $out"
