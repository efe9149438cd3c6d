# SPDX-License-Identifier: LGPL-2.1-or-later
# The rating store's sources, named once for the plugin's build (rating/CMakeLists.txt) and
# the native fuzz build (fuzz/CMakeLists.txt), relative to rating/.
# The floor: byte sources, windows, write plans and the ID3v2 reading, with the MP3 room's
# audio sync checks that tell where a tag's file goes on; none of it needs id3lib.
set(VIMBREL_RATING_READER_SOURCES
  bytes/memory_source.cpp
  bytes/source_window.cpp
  bytes/write_plan.cpp
  bytes/plan_ranges.cpp
  bytes/plan_patches.cpp
  bytes/range_source.cpp
  bytes/crc32.cpp
  mp3/mpeg_sync.cpp
  mp3/adts_sync.cpp
  id3v2/id3v2_reader.cpp
  id3v2/lenient_walk.cpp
)
# The rest: the rooms, their table and the store over it. The platform's file calls
# (file/track_file_*.cpp) are each build's own.
set(VIMBREL_RATING_STORE_SOURCES
  rating_scale.cpp
  id3v2/tag_editor.cpp
  mp3/write_guard.cpp
  mp3/id3lib_tag.cpp
  mp3/id3lib_render_check.cpp
  mp3/mp3_file.cpp
  mp3/mp3_plan.cpp
  vorbis/comment_field.cpp
  vorbis/comment_walk.cpp
  vorbis/vorbis_comment.cpp
  vorbis/comment_check.cpp
  flac/flac_walk.cpp
  flac/flac_file.cpp
  flac/flac_plan.cpp
  flac/flac_check.cpp
  ogg/ogg_page.cpp
  ogg/ogg_headers.cpp
  ogg/ogg_packet_view.cpp
  ogg/ogg_comment_packet.cpp
  ogg/ogg_repaginate.cpp
  ogg/ogg_in_place.cpp
  ogg/ogg_plan_check.cpp
  ogg/ogg_file.cpp
  riff/riff_walk.cpp
  riff/riff_file.cpp
  riff/riff_plan.cpp
  mp4/mp4_atoms.cpp
  mp4/mp4_layout.cpp
  mp4/mp4_items.cpp
  mp4/mp4_edit.cpp
  mp4/mp4_chunk_offsets.cpp
  mp4/mp4_plan.cpp
  mp4/mp4_check.cpp
  mp4/mp4_file.cpp
  asf/asf_objects.cpp
  asf/asf_text.cpp
  asf/asf_layout.cpp
  asf/asf_attributes.cpp
  asf/asf_edit.cpp
  asf/asf_plan.cpp
  asf/asf_check.cpp
  asf/asf_file.cpp
  rooms.cpp
  store/tag_file.cpp
  store/track_names.cpp
  store/tag_store.cpp
  store/rewrite_job.cpp
  store/rewrite_journal.cpp
  store/patch_route.cpp
  store/journal_recovery.cpp
  store/rewrite_recovery.cpp
)
