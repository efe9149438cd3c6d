// SPDX-License-Identifier: LGPL-2.1-or-later
// The plugin's own settings file, section "Main".
#pragma once

#include <windows.h>

int readSetting(const WCHAR* key, int fallback);
void writeSetting(const WCHAR* key, int value);
void writeSettingText(const WCHAR* key, const WCHAR* value);
