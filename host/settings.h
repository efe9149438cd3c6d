// SPDX-License-Identifier: LGPL-2.1-or-later
// The plugin's own settings file, section "Main".
#pragma once

#include <windows.h>

int readSetting(const WCHAR* key, int fallback);
void writeSetting(const WCHAR* key, int value);
void writeSettingText(const WCHAR* key, const WCHAR* value);

// Keys of section "Main".
const WCHAR kActiveKey[] = L"Active";
const WCHAR kSavePlayerRatingsKey[] = L"Save_player_ratings";  // 1 (default): the player's own ratings reach the files
const WCHAR kLibraryWinsKey[] = L"Library_rating_wins";  // 1: the library's rating replaces a file's other one
