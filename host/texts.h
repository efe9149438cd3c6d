// SPDX-License-Identifier: LGPL-2.1-or-later
// The plugin's words, from the player's language pack where it has them, else from
// the plugin's own string table, one text at a time.
#pragma once

#include <windows.h>

// The player's language service, a Wasabi object reached through its service manager: the
// codes of the one virtual method, _dispatch, and the service's GUID.
enum LanguageServiceCode {
  kServiceByGuid = 50,         // the service manager: the factory of a service
  kGetInterface = 300,         // the factory: the service itself
  kStartLanguageSupport = 30,  // the language service: the module to take resources from
};
const GUID kLanguageServiceGuid = {0x30AED4E5, 0xEF10, 0x4277, {0x8D, 0x49, 0x27, 0xAB, 0x55, 0x70, 0xE8, 0x91}};

// At init: the module the player's language service gives for this plugin (its
// translation), or none; kept until quit.
void startLanguageSupport();
// The text of string `id` into `text` (room for `chars`): the translation's when it
// has it with the same numbered places as the plugin's own, else the plugin's own.
void loadText(UINT id, WCHAR* text, int chars);
// loadText, with %1, %2 ... replaced by `places` (up to nine); a text too long for
// `chars` is cut.
void formatText(UINT id, WCHAR* text, int chars, const WCHAR* const* places, int count);
