# SPDX-License-Identifier: LGPL-2.1-or-later
# Tests of our patches to id3lib (cmake/id3lib-patches/): included from tests/CMakeLists.txt.

# id3lib driven directly, as the rating store drives it; zlib builds compressed frames.
vimbrel_wine_gtest(id3lib_patch_tests
  SOURCES id3lib_patches_test.cpp
  LIBS id3lib id3lib_zlib vimbrel_test_support)

# The full-disk test writes into a 256 KiB tmpfs that a fixture mounts around it (as root;
# otherwise the test reports itself skipped).
set(ID3LIB_SMALL_DISK ${CMAKE_BINARY_DIR}/small-disk)
add_test(NAME id3lib_small_disk_mount
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/tools/small_disk.sh mount ${ID3LIB_SMALL_DISK} 256k)
add_test(NAME id3lib_small_disk_unmount
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/tools/small_disk.sh unmount ${ID3LIB_SMALL_DISK})
set_tests_properties(id3lib_small_disk_mount PROPERTIES FIXTURES_SETUP id3lib_small_disk)
set_tests_properties(id3lib_small_disk_unmount PROPERTIES FIXTURES_CLEANUP id3lib_small_disk)
set_tests_properties(Id3libRewrite.LeavesTheOriginalOnARealFullDisk PROPERTIES
  FIXTURES_REQUIRED "wine;id3lib_small_disk"
  ENVIRONMENT "${TEST_WINE_ENV};VIMBREL_SCRATCH=${TEST_SCRATCH_DIR};VIMBREL_SMALL_DISK=${ID3LIB_SMALL_DISK}"
  SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
