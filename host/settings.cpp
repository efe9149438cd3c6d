// SPDX-License-Identifier: LGPL-2.1-or-later
// Where the settings file lives and how its keys are read and written.
#include "host/settings.h"

#include <stdio.h>

#include "host/host_queries.h"
#include "host/plugin.h"

namespace {

const WCHAR kSection[] = L"Main";

// The player's ini path (its UTF-16 form when the player has one), or, when the
// player gives none, the player's own executable: either way the settings land
// beside the player and never in win.ini.
void hostIniPath(WCHAR* out) {
  const WCHAR* wideIniPath = static_cast<const WCHAR*>(queryHostAddress(kQueryIniPathWide, 0));
  if (wideIniPath) {
    lstrcpynW(out, wideIniPath, MAX_PATH);  // a longer path is cut at 259 characters
    return;
  }
  const char* iniPath = static_cast<const char*>(queryHostAddress(kQueryIniPath, 0));
  if (iniPath) {
    char bounded[MAX_PATH];
    lstrcpynA(bounded, iniPath, MAX_PATH);  // a longer path is cut at 259 bytes
    out[0] = 0;
    MultiByteToWideChar(CP_ACP, 0, bounded, -1, out, MAX_PATH);
    out[MAX_PATH - 1] = 0;
    return;
  }
  DWORD length = GetModuleFileNameW(nullptr, out, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) out[0] = 0;
  out[MAX_PATH - 1] = 0;
}

// Cuts the file name off at the last backslash. A text without any backslash is
// kept whole and taken as the folder.
void cutFileName(WCHAR* path) {
  if (!*path) return;
  WCHAR* end = path;
  while (*end) end = CharNextW(end);
  WCHAR* at = end;
  do {
    at = CharPrevW(path, at);
    if (*at == L'\\') {
      *at = 0;
      return;
    }
  } while (at != path);
}

}  // namespace

void buildSettingsPath() {
  WCHAR folder[MAX_PATH];
  hostIniPath(folder);
  cutFileName(folder);
  _snwprintf(g_state.settingsPath, MAX_PATH - 1, L"%ls\\Plugins\\%ls.ini", folder, L"gen_id3vimbrel");
  g_state.settingsPath[MAX_PATH - 1] = 0;
  // A journal path cut short would name another file: then there is none.
  if (_snwprintf(g_state.journalPath, MAX_PATH - 1, L"%ls\\Plugins\\%ls.journal", folder, L"gen_id3vimbrel") < 0)
    g_state.journalPath[0] = 0;
  g_state.journalPath[MAX_PATH - 1] = 0;
}

int readSetting(const WCHAR* key, int fallback) {
  return static_cast<int>(GetPrivateProfileIntW(kSection, key, fallback, g_state.settingsPath));
}

void writeSetting(const WCHAR* key, int value) {
  WCHAR text[10];
  _snwprintf(text, 9, L"%d", value);
  text[9] = 0;  // a number longer than nine characters is cut
  writeSettingText(key, text);
}

void writeSettingText(const WCHAR* key, const WCHAR* value) {
  WritePrivateProfileStringW(kSection, key, value, g_state.settingsPath);
}
