# SPDX-License-Identifier: LGPL-2.1-or-later
# TagLib 1.13, the peer the benchmark times growth writes against, built from
# Debian's source package with the project's mingw toolchain as a static
# library. For the benchmark only: nothing else links it, and it is built the
# first time the benchmark is (tools/bench.sh), not by the plugin's build.
#
# The source is fetched with apt-get (deb-src lines: tools/install-deps.sh) and
# unpacked with dpkg-source, which applies Debian's patches, into the build
# folder only (fetch_taglib.sh). One of those patches takes utf8-cpp from the system
# (<utf8/checked.h>); the copy in TagLib's own 3rdparty folder serves instead.
#
# Result: target `taglib` (imported, static), with TagLib's headers and
# TAGLIB_STATIC.

include_guard(GLOBAL)
include(ExternalProject)

set(TAGLIB_WORK_DIR ${CMAKE_BINARY_DIR}/_deps/taglib)
set(TAGLIB_INSTALL_DIR ${TAGLIB_WORK_DIR}/install)

ExternalProject_Add(taglib_build
  PREFIX ${TAGLIB_WORK_DIR}
  DOWNLOAD_DIR ${TAGLIB_WORK_DIR}/download
  SOURCE_DIR ${TAGLIB_WORK_DIR}/source
  BINARY_DIR ${TAGLIB_WORK_DIR}/build
  STAMP_DIR ${TAGLIB_WORK_DIR}/stamp
  TMP_DIR ${TAGLIB_WORK_DIR}/tmp
  INSTALL_DIR ${TAGLIB_INSTALL_DIR}
  DOWNLOAD_COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/fetch_taglib.sh <DOWNLOAD_DIR> <SOURCE_DIR>
  PATCH_COMMAND ${CMAKE_COMMAND} -E copy_directory <SOURCE_DIR>/3rdparty/utf8-cpp
    <BINARY_DIR>/utf8-include/utf8
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
    -DCMAKE_CXX_FLAGS=-I<BINARY_DIR>/utf8-include
    -DBUILD_SHARED_LIBS=OFF
    -DBUILD_TESTING=OFF
    -DBUILD_EXAMPLES=OFF
    -DBUILD_BINDINGS=OFF
    -DWITH_ZLIB=OFF
  BUILD_BYPRODUCTS ${TAGLIB_INSTALL_DIR}/lib/libtag.a
  EXCLUDE_FROM_ALL TRUE
  USES_TERMINAL_DOWNLOAD TRUE)

# The imported target names the headers' folder before it exists.
file(MAKE_DIRECTORY ${TAGLIB_INSTALL_DIR}/include/taglib)
add_library(taglib STATIC IMPORTED GLOBAL)
set_target_properties(taglib PROPERTIES
  IMPORTED_LOCATION ${TAGLIB_INSTALL_DIR}/lib/libtag.a
  INTERFACE_INCLUDE_DIRECTORIES ${TAGLIB_INSTALL_DIR}/include/taglib
  INTERFACE_COMPILE_DEFINITIONS TAGLIB_STATIC)
add_dependencies(taglib taglib_build)
