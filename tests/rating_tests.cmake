# SPDX-License-Identifier: LGPL-2.1-or-later
# Tests of the rating store (rating/): included from tests/CMakeLists.txt.

# The strict ID3v2 reader and the write guard: pure code over bytes.
vimbrel_wine_gtest(id3v2_reader_tests SOURCES id3v2_reader_test.cpp LIBS vimbrel_rating)
vimbrel_wine_gtest(write_guard_tests SOURCES write_guard_test.cpp LIBS vimbrel_rating)

# The Vorbis comment piece and the FLAC room: pure code over bytes built in the tests.
vimbrel_wine_gtest(vorbis_comment_tests SOURCES vorbis_comment_test.cpp LIBS vimbrel_rating)
vimbrel_wine_gtest(flac_file_tests SOURCES flac_file_test.cpp LIBS vimbrel_rating)
# The Ogg room: Vorbis and Opus files built byte by byte, each plan applied and walked.
vimbrel_wine_gtest(ogg_file_tests SOURCES ogg_file_test.cpp LIBS vimbrel_rating)
# The WAV and AIFF room: files built chunk by chunk, each plan applied and walked.
vimbrel_wine_gtest(riff_file_tests SOURCES riff_file_test.cpp LIBS vimbrel_rating)
# The MP4 room: M4A files built atom by atom, each plan applied and walked.
vimbrel_wine_gtest(mp4_file_tests SOURCES mp4_file_test.cpp LIBS vimbrel_rating)
# The WMA (ASF) room: files built object by object, each plan applied and walked.
vimbrel_wine_gtest(asf_file_tests SOURCES asf_file_test.cpp LIBS vimbrel_rating)

# The store linked into a GoogleTest program: scale, reading, writing, recovery,
# and the player holding the file open.
vimbrel_wine_gtest(rating_store_tests
  SOURCES rating_store_test.cpp
  LIBS vimbrel_rating vimbrel_test_support)

# The store behind a command line, for the Python tests with mutagen.
add_executable(rating_tool tools/rating_tool.cpp)
target_compile_options(rating_tool PRIVATE ${VIMBREL_WARNINGS})
target_compile_definitions(rating_tool PRIVATE WIN32_LEAN_AND_MEAN)
target_link_libraries(rating_tool PRIVATE vimbrel_rating)
target_link_options(rating_tool PRIVATE -municode)
set_target_properties(rating_tool PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)

# Files written by mutagen are read by the store and the other way round.
vimbrel_python_test(rating_crosscheck rating_crosscheck_test.py)

# Every file of the corpus (tests/fixtures/make_corpus.py) at every star count,
# a full disk, and mutagen's ID3v2.4 files.
vimbrel_python_test(rating_corpus rating_corpus_test.py)

# Power cuts and I/O errors at every step of every route, the store linked with the file
# calls kept in memory (rating/file/track_file_memory.cpp).
vimbrel_wine_gtest(rating_crash_tests
  SOURCES rating_crash_test.cpp
  LIBS vimbrel_rating_memory vimbrel_test_support)
# The files of id3lib's tag are the longest MP3 runs.
set_tests_properties(RatingCrash.Id3libTag PROPERTIES TIMEOUT 300)
