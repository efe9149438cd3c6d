# SPDX-License-Identifier: LGPL-2.1-or-later
# id3lib 3.8.3 as a static library, built from Debian's source package.
#
# At configure time the source package id3lib3.8.3 is fetched with apt-get
# (deb-src lines must be enabled: tools/install-deps.sh does it) and unpacked
# with dpkg-source, which applies Debian's own patches. Our patches in
# cmake/id3lib-patches/*.patch are then applied in sorted order. A stamp file
# records the package and a hash of our patches: when either changes, the
# source is unpacked and patched afresh. The source lives in the build folder
# only; it is never part of the repository.
#
# Set ID3LIB_SOURCE_DIR to an already unpacked and patched tree to skip the
# fetch (for example when the network is not available).
#
# Result: target `id3lib` (STATIC). Consumers get <id3.h> and
# ID3LIB_LINKOPTION=1; zlib is linked statically.
#
# The module works for the mingw cross build (config.h from id3lib's
# config.h.win32) and for a native Linux build (gcc or clang, e.g. a fuzzer):
# the same header with the few POSIX facilities switched on.

include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)

set(ID3LIB_DEBIAN_PACKAGE id3lib3.8.3)
set(ID3LIB_PATCH_DIR ${CMAKE_CURRENT_LIST_DIR}/id3lib-patches)
set(ID3LIB_WORK_DIR ${CMAKE_BINARY_DIR}/_deps/id3lib)
set(ID3LIB_SOURCE_DIR "" CACHE PATH
  "An unpacked and patched id3lib 3.8.3 tree to use instead of fetching Debian's source package")

# Our patch set, in the order it is applied.
file(GLOB ID3LIB_PATCHES CONFIGURE_DEPENDS ${ID3LIB_PATCH_DIR}/*.patch)
list(SORT ID3LIB_PATCHES)
# Editing a patch also reruns the configure step (the glob only notices names).
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ID3LIB_PATCHES})

if(ID3LIB_SOURCE_DIR)
  if(NOT EXISTS ${ID3LIB_SOURCE_DIR}/src/tag.cpp)
    vimbrel_debian_source_fail(id3lib ${ID3LIB_DEBIAN_PACKAGE} ID3LIB_SOURCE_DIR
      "ID3LIB_SOURCE_DIR=${ID3LIB_SOURCE_DIR} holds no id3lib tree.")
  endif()
  get_filename_component(_id3lib_src ${ID3LIB_SOURCE_DIR} ABSOLUTE)
else()
  vimbrel_debian_source(NAME id3lib PACKAGE ${ID3LIB_DEBIAN_PACKAGE} WORK_DIR ${ID3LIB_WORK_DIR}
    CHECK_FILE src/tag.cpp SOURCE_VAR ID3LIB_SOURCE_DIR OUT _id3lib_src PATCHES ${ID3LIB_PATCHES})
endif()

# config.h: id3lib's Windows template serves both builds. Turned off: the old
# for-scope workaround (`#define for if(1) for`), which would change how an
# `else` after a for statement binds. Turned on: zlib, for compressed frames.
file(READ ${_id3lib_src}/config.h.win32 _id3lib_config)
string(REPLACE "#define CXX_HAS_BUGGY_FOR_LOOPS 1" "/* for-loops are scoped correctly */"
  _id3lib_config "${_id3lib_config}")
string(REPLACE "/* #undef HAVE_ZLIB */" "#define HAVE_ZLIB 1" _id3lib_config "${_id3lib_config}")
string(REPLACE "/* #undef HAVE_ZLIB_H */" "#define HAVE_ZLIB_H 1" _id3lib_config "${_id3lib_config}")
if(NOT WIN32)
  # A native (Linux) build: POSIX headers. HAVE_MKSTEMP stays off, as in the plugin's build
  # (the plugin has id3lib parse and render tags in memory; it writes no file).
  string(REPLACE "/* #undef HAVE_UNISTD_H */" "#define HAVE_UNISTD_H 1" _id3lib_config "${_id3lib_config}")
  string(APPEND _id3lib_config "\n#define HAVE_SYS_STAT_H 1\n")
endif()
if(NOT _id3lib_config MATCHES "#define HAVE_ZLIB 1")
  message(FATAL_ERROR "id3lib: config.h.win32 is not as expected (no HAVE_ZLIB line)")
endif()
set(_id3lib_config_dir ${ID3LIB_WORK_DIR}/config)
file(CONFIGURE OUTPUT ${_id3lib_config_dir}/config.h CONTENT "${_id3lib_config}" @ONLY)

# zlib, linked statically: the plugin may import only Windows system DLLs.
if(WIN32)
  find_path(ID3LIB_ZLIB_INCLUDE_DIR zlib.h)
  find_library(ID3LIB_ZLIB_LIBRARY NAMES libz.a)
  if(NOT ID3LIB_ZLIB_INCLUDE_DIR OR NOT ID3LIB_ZLIB_LIBRARY)
    message(FATAL_ERROR "id3lib: static zlib not found (install libz-mingw-w64-dev)")
  endif()
  add_library(id3lib_zlib STATIC IMPORTED)
  set_target_properties(id3lib_zlib PROPERTIES
    IMPORTED_LOCATION ${ID3LIB_ZLIB_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${ID3LIB_ZLIB_INCLUDE_DIR})
  set(_id3lib_zlib_target id3lib_zlib)
else()
  find_package(ZLIB REQUIRED)
  set(_id3lib_zlib_target ZLIB::ZLIB)
endif()

file(GLOB _id3lib_sources ${_id3lib_src}/src/*.cpp)
add_library(id3lib STATIC ${_id3lib_sources})
# SYSTEM: id3lib's headers do not compile cleanly with our warnings.
target_include_directories(id3lib SYSTEM PUBLIC ${_id3lib_src}/include)
target_include_directories(id3lib PRIVATE
  ${_id3lib_src}/include/id3 ${_id3lib_src}/src ${_id3lib_config_dir})
target_compile_definitions(id3lib
  PUBLIC ID3LIB_LINKOPTION=1
  PRIVATE HAVE_CONFIG_H)
if(WIN32)
  # Its Windows code paths test WIN32, which strict -std modes leave undefined.
  target_compile_definitions(id3lib PRIVATE WIN32)
endif()
# Third-party code: its warnings are not ours to fix.
target_compile_options(id3lib PRIVATE -w)
# One name for the tree wherever it sits (the build folder, or ID3LIB_SOURCE_DIR when
# built from the release's source archives), so that the DLL comes out the same.
# Public: its headers' names reach the debug information of the code that uses it.
target_compile_options(id3lib PUBLIC -ffile-prefix-map=${_id3lib_src}=/id3lib-3.8.3)
set_target_properties(id3lib PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_link_libraries(id3lib PRIVATE ${_id3lib_zlib_target})
