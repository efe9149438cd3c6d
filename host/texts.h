// SPDX-License-Identifier: LGPL-2.1-or-later
// The plugin's words, from the player's language pack where it has them, else from
// the plugin's own string table, one text at a time.
#pragma once

#include <windows.h>

// At init: the module the player's language service gives for this plugin (its
// translation), or none; kept until quit.
void startLanguageSupport();
// The text of string `id` into `text` (room for `chars`): the translation's when it
// has it with the same numbered places as the plugin's own, else the plugin's own.
void loadText(UINT id, WCHAR* text, int chars);
// loadText, with %1, %2 ... replaced by `places` (up to nine); a text too long for
// `chars` is cut.
void formatText(UINT id, WCHAR* text, int chars, const WCHAR* const* places, int count);
