// SPDX-License-Identifier: LGPL-2.1-or-later
#include "host/host_queries.h"

#include "host/plugin.h"

LRESULT queryHost(int number, WPARAM argument) {
  return SendMessageW(g_header.hostWindow, WM_USER, argument, number);
}

const void* queryHostAddress(int number, WPARAM argument) {
  const LRESULT answer = queryHost(number, argument);
  return static_cast<ULONG_PTR>(answer) < 0x10000 ? nullptr : reinterpret_cast<const void*>(answer);
}

int hostIsPlaying() { return queryHost(kQueryIsPlaying, 0) != 0; }

const WCHAR* entryPath(LRESULT index) {
  // The wide path is the file's own name; the 8-bit one may be a best-fit
  // spelling that names another file, so it is used only when there is no other.
  const WCHAR* wide = static_cast<const WCHAR*>(queryHostAddress(kQueryEntryPathWide, index));
  if (wide) return wide;
  const char* narrow = static_cast<const char*>(queryHostAddress(kQueryEntryPath, index));
  if (!narrow) return nullptr;
  g_state.entryPathFromCodePage[0] = 0;
  if (!MultiByteToWideChar(CP_ACP, 0, narrow, -1, g_state.entryPathFromCodePage, kEntryPathChars)) return nullptr;
  return g_state.entryPathFromCodePage;
}

const WCHAR* currentEntryPath() { return entryPath(queryHost(kQueryPlaylistIndex, 0)); }
