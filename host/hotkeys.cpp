// SPDX-License-Identifier: LGPL-2.1-or-later
// The actions the plugin adds to the player's Global Hotkeys. Each arrives, when
// its key is pressed, as a command on the player's window, which the window hook
// routes to the star menu's own choice (rate n) or to a step of one star.
#include "host/hotkeys.h"

#include "host/plugin.h"
#include "tray/tray.h"

namespace {

// The hotkeys plugin reads `name` as UTF-16 under kHotkeyNameIsUnicode but its
// record declares an 8-bit text; it never writes through either pointer.
char* wideName(const wchar_t* text) { return const_cast<char*>(reinterpret_cast<const char*>(text)); }

HotkeyAction command(const wchar_t* name, const char* id, int commandId) {
  HotkeyAction action = {};
  action.name = wideName(name);
  action.flags = kHotkeyNameIsUnicode;
  action.uMsg = WM_COMMAND;
  action.wParam = static_cast<WPARAM>(commandId);
  action.id = const_cast<char*>(id);
  return action;
}

// The hotkeys plugin may keep these pointers until the module goes, so the
// records and their texts are static. The ids are where the user's keys are
// kept: they never change.
HotkeyAction g_actions[kHotkeyActionCount] = {
    command(L"ID3 Vimbrel: rate playing track 1 star", "id3vimbrel rate 1", kFirstStarCommand + 1),
    command(L"ID3 Vimbrel: rate playing track 2 stars", "id3vimbrel rate 2", kFirstStarCommand + 2),
    command(L"ID3 Vimbrel: rate playing track 3 stars", "id3vimbrel rate 3", kFirstStarCommand + 3),
    command(L"ID3 Vimbrel: rate playing track 4 stars", "id3vimbrel rate 4", kFirstStarCommand + 4),
    command(L"ID3 Vimbrel: rate playing track 5 stars", "id3vimbrel rate 5", kFirstStarCommand + 5),
    command(L"ID3 Vimbrel: remove rating of playing track", "id3vimbrel rate 0", kFirstStarCommand),
    command(L"ID3 Vimbrel: one star more", "id3vimbrel rate up", kOneStarMoreCommand),
    command(L"ID3 Vimbrel: one star less", "id3vimbrel rate down", kOneStarLessCommand),
};

}  // namespace

void addHotkeyActions() {
  const LRESULT addMessage = SendMessageW(g_header.hostWindow, WM_USER,
                                          reinterpret_cast<WPARAM>(kHotkeysAddName), kRegisterMessageByName);
  if (addMessage == 0) return;  // no hotkeys plugin
  // Posted: the hotkeys plugin may start after this plugin and read its queue later.
  for (HotkeyAction& action : g_actions)
    PostMessageW(g_header.hostWindow, WM_USER, reinterpret_cast<WPARAM>(&action), addMessage);
}
