# SPDX-License-Identifier: LGPL-2.1-or-later
# What makes a build a release: the same DLL byte for byte wherever the
# source sits, and debug information kept beside it rather than shipped in it.
#
# Included from the top CMakeLists.txt before any target, so that the path
# maps reach every target (id3lib.cmake adds its own for its source tree).

include_guard(GLOBAL)

# Build folders must not reach the DLL (assert texts) or its debug information
# (file names, compilation folders). GCC tries the last map given first, so the
# build folder, which may sit inside the source folder, comes last.
add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=/id3vimbrel>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=/id3vimbrel/build>")

set(VIMBREL_SYMBOLS_DIR ${CMAKE_BINARY_DIR}/symbols)

# vimbrel_split_debug_info(target): after each link, moves the target's debug
# information into symbols/<file>.debug and leaves the target stripped, with a
# debug link to that file. The tests then run the very DLL that ships, and a
# crash address from a user still resolves against the symbols file.
# objcopy stamps PE files with the current time unless SOURCE_DATE_EPOCH says
# otherwise; 0 keeps the linker's (absent) timestamp.
function(vimbrel_split_debug_info target)
  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "objcopy not found: it splits the debug information off ${target}")
  endif()
  set(debug_file ${VIMBREL_SYMBOLS_DIR}/$<TARGET_FILE_NAME:${target}>.debug)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VIMBREL_SYMBOLS_DIR}
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0
      ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> ${debug_file}
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0
      ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${debug_file} $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
