# SPDX-License-Identifier: LGPL-2.1-or-later
# A translation of the plugin as the player's language packs take it: a PE module
# holding nothing but the plugin's string table, loaded as a data file, never run.

include_guard(GLOBAL)

# vimbrel_language_module(target script folder): builds `script` into
# folder/gen_id3vimbrel.lng. The script may include "../resource_ids.h" from
# resources/lang/ wherever the script itself sits.
function(vimbrel_language_module target script folder)
  # A module, not a shared library: nothing links against it, so no import library.
  add_library(${target} MODULE ${script})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/resources/lang)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    SUFFIX ".lng"
    OUTPUT_NAME gen_id3vimbrel
    LIBRARY_OUTPUT_DIRECTORY ${folder}
    # The resource compiler has no linker of its own.
    LINKER_LANGUAGE C)
  # No runtime and no entry point: there is no code to start. ld takes the entry
  # "0" as an address (it has no --no-entry for PE). -s drops the symbol table,
  # the one place the object's build path could reach; no time stamp, as for the DLL.
  target_link_options(${target} PRIVATE -nostdlib -Wl,-e,0 -s -Wl,--no-insert-timestamp)
endfunction()
