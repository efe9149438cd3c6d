// SPDX-License-Identifier: LGPL-2.1-or-later
// The player's media library can write ratings into ID3 tags too. When that is
// switched on, the user is told once, before a rating is written.
#include "host/media_library_notice.h"

#include "host/media_library.h"
#include "host/plugin.h"
#include "host/settings.h"
#include "host/texts.h"
#include "resources/resource_ids.h"

namespace {

const WCHAR kNoticeShownKey[] = L"ML_notification_shown";

}  // namespace

void checkMediaLibraryOverlap() {
  if (!libraryWritesRatings()) return;
  if (readSetting(kNoticeShownKey, 0) != 0) return;
  WCHAR notice[1024], caption[64];
  loadText(IDS_LIBRARY_NOTICE, notice, 1024);
  loadText(IDS_CAPTION, caption, 64);
  MessageBoxW(g_header.hostWindow, notice, caption, MB_ICONINFORMATION);
  writeSettingText(kNoticeShownKey, L"1");
}
