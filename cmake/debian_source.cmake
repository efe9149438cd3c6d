# SPDX-License-Identifier: LGPL-2.1-or-later
# A library's source from Debian's source package, for the modules that build one
# (id3lib.cmake, libogg.cmake).
#
# vimbrel_debian_source(NAME name PACKAGE package WORK_DIR dir CHECK_FILE relative-path
#                       SOURCE_VAR variable OUT variable [PATCHES patch...])
# fetches the source package with apt-get (deb-src lines must be enabled:
# tools/install-deps.sh does it) into WORK_DIR/download, unpacks it with dpkg-source, which
# applies Debian's own patches, into WORK_DIR/src, and applies PATCHES in their order. A
# stamp records the package and a hash of the patches: when either changes, the source is
# unpacked and patched afresh. OUT receives the tree; CHECK_FILE must be in it. SOURCE_VAR
# names the cache variable that gives an unpacked tree instead, for the messages.

include_guard(GLOBAL)

function(vimbrel_debian_source_fail name package source_var what)
  message(FATAL_ERROR
    "${name}: ${what}\n"
    "The build needs Debian's source package ${package}: enable deb-src lines "
    "in /etc/apt/sources.list.d/debian.sources and run apt-get update (tools/install-deps.sh "
    "does both), or set ${source_var} to an unpacked ${name} tree.")
endfunction()

function(vimbrel_debian_source)
  cmake_parse_arguments(ARG "" "NAME;PACKAGE;WORK_DIR;CHECK_FILE;SOURCE_VAR;OUT" "PATCHES" ${ARGN})
  set(download_dir ${ARG_WORK_DIR}/download)
  set(src_dir ${ARG_WORK_DIR}/src)
  set(stamp ${ARG_WORK_DIR}/src.stamp)
  file(MAKE_DIRECTORY ${download_dir})

  find_program(VIMBREL_APT_GET apt-get)
  find_program(VIMBREL_DPKG_SOURCE dpkg-source)
  find_program(VIMBREL_PATCH patch)
  if(NOT VIMBREL_APT_GET OR NOT VIMBREL_DPKG_SOURCE)
    vimbrel_debian_source_fail(${ARG_NAME} ${ARG_PACKAGE} ${ARG_SOURCE_VAR}
      "apt-get or dpkg-source (package dpkg-dev) not found.")
  endif()

  # apt-get skips files it already holds with the right checksums, so this is cheap after
  # the first time and notices a new Debian revision.
  execute_process(
    COMMAND ${VIMBREL_APT_GET} source --download-only ${ARG_PACKAGE}
    WORKING_DIRECTORY ${download_dir}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  file(GLOB dsc_files ${download_dir}/${ARG_PACKAGE}_*.dsc)
  list(SORT dsc_files COMPARE NATURAL)
  list(LENGTH dsc_files dsc_count)
  if(dsc_count EQUAL 0)
    vimbrel_debian_source_fail(${ARG_NAME} ${ARG_PACKAGE} ${ARG_SOURCE_VAR}
      "could not fetch the source package (apt-get exit ${rc}):\n${out}${err}")
  endif()
  if(NOT rc EQUAL 0)
    message(WARNING "${ARG_NAME}: apt-get source failed (${err}); using the copy already fetched")
  endif()
  list(GET dsc_files -1 dsc)
  get_filename_component(dsc_name ${dsc} NAME)

  set(digest "")
  foreach(patch IN LISTS ARG_PATCHES)
    get_filename_component(patch_name ${patch} NAME)
    file(SHA256 ${patch} patch_hash)
    string(APPEND digest "${patch_name} ${patch_hash}\n")
  endforeach()
  string(SHA256 digest_hash "${digest}")
  set(wanted "package ${dsc_name}\npatches ${digest_hash}\n")
  if(EXISTS ${stamp} AND IS_DIRECTORY ${src_dir})
    file(READ ${stamp} have)
    if(have STREQUAL wanted)
      set(${ARG_OUT} ${src_dir} PARENT_SCOPE)
      return()
    endif()
  endif()

  message(STATUS "${ARG_NAME}: unpacking ${dsc_name}")
  file(REMOVE ${stamp})
  file(REMOVE_RECURSE ${src_dir})
  execute_process(
    COMMAND ${VIMBREL_DPKG_SOURCE} --no-check -x ${dsc} ${src_dir}
    WORKING_DIRECTORY ${download_dir}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT EXISTS ${src_dir}/${ARG_CHECK_FILE})
    vimbrel_debian_source_fail(${ARG_NAME} ${ARG_PACKAGE} ${ARG_SOURCE_VAR}
      "dpkg-source -x ${dsc_name} failed (exit ${rc}):\n${out}${err}")
  endif()

  foreach(patch IN LISTS ARG_PATCHES)
    if(NOT VIMBREL_PATCH)
      vimbrel_debian_source_fail(${ARG_NAME} ${ARG_PACKAGE} ${ARG_SOURCE_VAR}
        "the program patch is needed to apply ${patch}.")
    endif()
    message(STATUS "${ARG_NAME}: applying ${patch}")
    execute_process(
      COMMAND ${VIMBREL_PATCH} -p1 --batch --forward --no-backup-if-mismatch -i ${patch}
      WORKING_DIRECTORY ${src_dir}
      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
      file(REMOVE_RECURSE ${src_dir})
      message(FATAL_ERROR "${ARG_NAME}: patch ${patch} does not apply:\n${out}${err}")
    endif()
  endforeach()

  file(WRITE ${stamp} "${wanted}")
  set(${ARG_OUT} ${src_dir} PARENT_SCOPE)
endfunction()
