#include "host/host_queries.h"

#include "host/plugin.h"

LRESULT queryHost(int number, WPARAM argument) {
  return SendMessageW(g_header.hostWindow, WM_USER, argument, number);
}

int hostIsPlaying() { return queryHost(kQueryIsPlaying, 0) != 0; }

const char* currentEntryPath() {
  LRESULT index = queryHost(kQueryPlaylistIndex, 0);
  return reinterpret_cast<const char*>(queryHost(kQueryEntryPath, index));
}
