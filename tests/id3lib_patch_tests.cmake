# SPDX-License-Identifier: LGPL-2.1-or-later
# Tests of our patches to id3lib (cmake/id3lib-patches/): included from tests/CMakeLists.txt.

# id3lib driven directly on files it opens itself; zlib builds compressed frames.
vimbrel_wine_gtest(id3lib_patch_tests
  SOURCES id3lib_patches_test.cpp
  LIBS id3lib id3lib_zlib vimbrel_test_support)

