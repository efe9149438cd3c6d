// SPDX-License-Identifier: LGPL-2.1-or-later
// The player's media library can write ratings into ID3 tags too. When that is
// switched on, the user is told once, before a rating is written.
#include "host/media_library_notice.h"

#include "host/plugin.h"
#include "host/settings.h"

namespace {

const WCHAR kNoticeShownKey[] = L"ML_notification_shown";
const WCHAR kMediaLibraryFile[] = L"gen_ml.ini";

const WCHAR kNotice[] =
    L"Note: You have already enabled the ID3 rating feature in the media library and probably won't "
    L"need the ID3 version of Vimbrel. If you have installed the media library, you better should use "
    L"the original Vimbrel plugin by Kestrin and rely on the media library to store ID3 tag ratings...";

// The media library's settings file lives beside the plugin's. False when there
// is no folder, or the name would not fit the buffer.
bool mediaLibrarySettingsPath(WCHAR* path) {
  lstrcpynW(path, g_state.settingsPath, MAX_PATH);
  WCHAR* lastBackslash = nullptr;
  for (WCHAR* at = path; *at; ++at)
    if (*at == L'\\') lastBackslash = at;
  if (!lastBackslash) return false;
  const int nameStart = static_cast<int>(lastBackslash - path) + 1;
  if (nameStart + lstrlenW(kMediaLibraryFile) + 1 > MAX_PATH) return false;
  lstrcpyW(lastBackslash + 1, kMediaLibraryFile);
  return true;
}

}  // namespace

void checkMediaLibraryOverlap() {
  WCHAR mediaLibrary[MAX_PATH];
  if (!mediaLibrarySettingsPath(mediaLibrary)) return;
  if (GetPrivateProfileIntW(L"gen_ml_config", L"writeratings", 0, mediaLibrary) == 0) return;
  if (readSetting(kNoticeShownKey, 0) != 0) return;
  MessageBoxW(g_header.hostWindow, kNotice, L"ID3 Vimbrel", MB_ICONINFORMATION);
  writeSettingText(kNoticeShownKey, L"1");
}
