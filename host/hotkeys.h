// SPDX-License-Identifier: LGPL-2.1-or-later
// The plugin's actions in the player's Global Hotkeys plugin: rate the playing
// track 0 to 5 stars, one star more, one star less.
#pragma once

#include <windows.h>

// One action as the Global Hotkeys plugin takes it (its layout, one machine word
// per field). When the user's key is pressed, the hotkeys plugin sends
// SendMessage(wnd ? wnd : hostWindow, uMsg, wParam, lParam).
struct HotkeyAction {
  char* name;  // UTF-16 when flags hold kHotkeyNameIsUnicode
  DWORD flags;
  UINT uMsg;
  WPARAM wParam;
  LPARAM lParam;
  char* id;  // the key the user's choice is kept under in the player's ini; never changes
  HWND wnd;
  int extended[6];  // all zero
};
static_assert(sizeof(HotkeyAction) == 52, "the hotkeys plugin reads 13 words of 32 bits");

enum {
  kHotkeyNameIsUnicode = 0x100,
  kRegisterMessageByName = 65536,  // wParam: the name, an 8-bit text; answers the number, 0 for none
  kHotkeyActionCount = 8,
};

// The name the hotkeys plugin's message is registered under.
const char kHotkeysAddName[] = "GenHotkeysAdd";

// Adds the eight actions, once per start; adds nothing when the player has no
// hotkeys plugin.
void addHotkeyActions();
