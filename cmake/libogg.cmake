# SPDX-License-Identifier: LGPL-2.1-or-later
# libogg as a static library, built from Debian's source package, for its page CRC
# (ogg_page_checksum_set): the Ogg room checks and sets page CRCs with it.
#
# At configure time the source package libogg is fetched with apt-get (deb-src lines must
# be enabled: tools/install-deps.sh does it) and unpacked with dpkg-source, which applies
# Debian's patches. A stamp file records the package: when it changes, the source is
# unpacked afresh. The source lives in the build folder only, never in the repository.
# Only src/framing.c and src/bitwise.c are compiled: the framing and CRC code, no I/O.
#
# Set LIBOGG_SOURCE_DIR to an already unpacked tree to skip the fetch.
#
# Result: target `libogg` (STATIC); consumers get <ogg/ogg.h>. Works for the mingw cross
# build and for a native build (clang, the fuzz targets).

include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)
enable_language(C)

set(LIBOGG_DEBIAN_PACKAGE libogg)
set(LIBOGG_WORK_DIR ${CMAKE_BINARY_DIR}/_deps/libogg)
set(LIBOGG_SOURCE_DIR "" CACHE PATH "An unpacked libogg tree to use instead of fetching Debian's source package")

if(LIBOGG_SOURCE_DIR)
  if(NOT EXISTS ${LIBOGG_SOURCE_DIR}/src/framing.c)
    vimbrel_debian_source_fail(libogg ${LIBOGG_DEBIAN_PACKAGE} LIBOGG_SOURCE_DIR
      "LIBOGG_SOURCE_DIR=${LIBOGG_SOURCE_DIR} holds no libogg tree.")
  endif()
  get_filename_component(_libogg_src ${LIBOGG_SOURCE_DIR} ABSOLUTE)
else()
  vimbrel_debian_source(NAME libogg PACKAGE ${LIBOGG_DEBIAN_PACKAGE} WORK_DIR ${LIBOGG_WORK_DIR}
    CHECK_FILE src/framing.c SOURCE_VAR LIBOGG_SOURCE_DIR OUT _libogg_src)
endif()

# config_types.h, which configure would make: the fixed-width types of <stdint.h>.
set(_libogg_config_dir ${LIBOGG_WORK_DIR}/config)
set(INCLUDE_INTTYPES_H 1)
set(INCLUDE_STDINT_H 1)
set(INCLUDE_SYS_TYPES_H 1)
set(SIZE16 int16_t)
set(USIZE16 uint16_t)
set(SIZE32 int32_t)
set(USIZE32 uint32_t)
set(SIZE64 int64_t)
set(USIZE64 uint64_t)
configure_file(${_libogg_src}/include/ogg/config_types.h.in ${_libogg_config_dir}/ogg/config_types.h @ONLY)

add_library(libogg STATIC ${_libogg_src}/src/framing.c ${_libogg_src}/src/bitwise.c)
# SYSTEM: its headers are not ours to make warning-free.
target_include_directories(libogg SYSTEM PUBLIC ${_libogg_src}/include ${_libogg_config_dir})
# Third-party code: its warnings are not ours to fix.
target_compile_options(libogg PRIVATE -w)
# One name for the tree wherever it sits (the build folder, or LIBOGG_SOURCE_DIR when built
# from the release's source archives), so that the DLL comes out the same.
# Public: its headers' names reach the debug information of the code that uses it, and the
# debug link in the stripped DLL holds that information's checksum.
target_compile_options(libogg PUBLIC -ffile-prefix-map=${_libogg_src}=/libogg)
set_target_properties(libogg PROPERTIES POSITION_INDEPENDENT_CODE ON)
