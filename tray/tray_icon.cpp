// SPDX-License-Identifier: LGPL-2.1-or-later
// The notification-area icon: its picture is the current rating, its tooltip the title.
#include <windows.h>

#include <shellapi.h>

#include "host/plugin.h"
#include "host/texts.h"
#include "resources/resource_ids.h"
#include "tray/tray.h"

namespace {

// The record's Windows 2000 layout ends after the balloon fields; the platform
// reads nothing beyond it.
const DWORD kNotifyIconDataSize = 936;
// Only Windows 2000 and XP read it; later versions use the user's own setting.
const UINT kBalloonMilliseconds = 10000;

}  // namespace

void updateTrayIcon() {
  NOTIFYICONDATAW data;
  ZeroMemory(&data, sizeof data);
  data.cbSize = kNotifyIconDataSize;
  data.hWnd = g_header.hostWindow;
  data.uID = kTrayIconId;
  if (g_state.active) {
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kTrayCallbackMessage;
    data.hIcon = g_state.trayIcons[g_state.currentRating];
    lstrcpynW(data.szTip, g_state.title, kTitleChars);
    pendingSaveTip(data.szTip, kTitleChars);
    Shell_NotifyIconW(g_state.iconShown ? NIM_MODIFY : NIM_ADD, &data);
    g_state.iconShown = 1;
  } else {
    Shell_NotifyIconW(NIM_DELETE, &data);
    g_state.iconShown = 0;
  }
}

// The shell shows the balloon and takes it away by itself: nothing here waits
// for the user, unlike a message box.
void showTrayBalloon(const WCHAR* text) {
  if (!g_state.active || !g_state.iconShown) return;
  NOTIFYICONDATAW data;
  ZeroMemory(&data, sizeof data);
  data.cbSize = kNotifyIconDataSize;
  data.hWnd = g_header.hostWindow;
  data.uID = kTrayIconId;
  data.uFlags = NIF_INFO;
  lstrcpynW(data.szInfo, text, kBalloonChars);
  loadText(IDS_CAPTION, data.szInfoTitle, sizeof data.szInfoTitle / sizeof data.szInfoTitle[0]);
  data.uTimeout = kBalloonMilliseconds;
  data.dwInfoFlags = NIIF_INFO;
  Shell_NotifyIconW(NIM_MODIFY, &data);
}
