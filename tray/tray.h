// The tray side of the plugin: the hook on the host window and the icon.
#pragma once

#include <windows.h>

enum {
  kTrayIconId = 4538,
  kTrayCallbackMessage = 0x20F4,
};

LRESULT CALLBACK hook(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void updateTrayIcon();
