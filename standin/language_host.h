// SPDX-License-Identifier: LGPL-2.1-or-later
// The stand-in's side of the player's language service. WM_USER 3025 answers the
// player's service manager, a Wasabi object: every call is its one virtual method
// _dispatch(code, result, params, count). For the language service's GUID the
// manager gives a factory, and the factory the service, whose StartLanguageSupport
// hands a plugin the module to take its words from: a .lng module of the player's
// language pack, or the plugin's own module.
//
// The pack is named in the player's ini, section [language]:
//   pack=FOLDER   a folder holding the pack's own .lng modules, looked in first
//   id=de-DE      the language, for the Lang\de-DE\ folder beside the player
//   null=1        StartLanguageSupport answers null, as a broken player might
// In each folder the module is the .lng whose string 65535 is the plugin's GUID,
// or else the one named as the plugin's DLL with .lng. Without the section the
// player has no pack and every plugin stays in its own words.
#pragma once

#include <windows.h>

// What WM_USER 3025 answers: the service manager. The .lng modules it hands out
// stay loaded until the program exits, as plugins keep the handle until they quit.
LRESULT serviceManagerAnswer();
