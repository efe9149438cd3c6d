// SPDX-License-Identifier: LGPL-2.1-or-later
// The player's media library can write ratings into ID3 tags too. When that is
// switched on, the user is told once, before a rating is written.
#include "host/media_library_notice.h"

#include "host/media_library.h"
#include "host/plugin.h"
#include "host/settings.h"

namespace {

const WCHAR kNoticeShownKey[] = L"ML_notification_shown";

const WCHAR kNotice[] =
    L"Note: You have already enabled the ID3 rating feature in the media library and probably won't "
    L"need the ID3 version of Vimbrel. If you have installed the media library, you better should use "
    L"the original Vimbrel plugin by Kestrin and rely on the media library to store ID3 tag ratings...";

}  // namespace

void checkMediaLibraryOverlap() {
  if (!libraryWritesRatings()) return;
  if (readSetting(kNoticeShownKey, 0) != 0) return;
  MessageBoxW(g_header.hostWindow, kNotice, L"ID3 Vimbrel", MB_ICONINFORMATION);
  writeSettingText(kNoticeShownKey, L"1");
}
