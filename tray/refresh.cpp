// SPDX-License-Identifier: LGPL-2.1-or-later
// The delayed refresh: the player announces changes in bursts, so the plugin
// notes the time of each announcement and re-reads the current entry's rating
// and title once they have been quiet for 100 ms.
#include "host/host_queries.h"
#include "host/plugin.h"
#include "rating/rating.h"
#include "tray/tray.h"

namespace {

const UINT kTickMilliseconds = 100;
const LONGLONG kQuietMilliseconds = 100;

LONGLONG hundredNanoseconds(const SYSTEMTIME& time) {
  FILETIME file = {0, 0};
  SystemTimeToFileTime(&time, &file);
  return (static_cast<LONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

void fetchTitle(LRESULT index) {
  const WCHAR* title = reinterpret_cast<const WCHAR*>(queryHost(kQueryEntryTitle, index));
  // A player without a current entry answers no address: the tooltip goes empty.
  if (title)
    lstrcpynW(g_state.title, title, kTitleChars);
  else
    g_state.title[0] = 0;
}

}  // namespace

void scheduleRefresh() {
  GetLocalTime(&g_state.refreshStamp);
  if (g_state.refreshTimer == 0) g_state.refreshTimer = SetTimer(nullptr, 0, kTickMilliseconds, refreshNow);
}

void CALLBACK refreshNow(HWND, UINT, UINT_PTR, DWORD) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  LONGLONG elapsed = (hundredNanoseconds(now) - hundredNanoseconds(g_state.refreshStamp)) / 10000;
  // A clock set back counts like time gone by, so the refresh is never stuck.
  if (elapsed < 0) elapsed = -elapsed;
  if (elapsed < kQuietMilliseconds) return;

  stopRefreshTimer();
  LRESULT index = queryHost(kQueryPlaylistIndex, 0);
  const WCHAR* path = entryPath(index);
  // While a chosen rating is being written, the icon shows it already.
  g_state.currentRating = ratingShownFor(path);
  fetchTitle(index);
  updateTrayIcon();
}

void stopRefreshTimer() {
  if (g_state.refreshTimer == 0) return;
  KillTimer(nullptr, g_state.refreshTimer);
  g_state.refreshTimer = 0;
}
