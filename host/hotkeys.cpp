// SPDX-License-Identifier: LGPL-2.1-or-later
// The actions the plugin adds to the player's Global Hotkeys. Each arrives, when
// its key is pressed, as a command on the player's window, which the window hook
// routes to the star menu's own choice (rate n) or to a step of one star.
#include "host/hotkeys.h"

#include "host/plugin.h"
#include "host/texts.h"
#include "resources/resource_ids.h"
#include "tray/tray.h"

namespace {

// The hotkeys plugin reads `name` as UTF-16 under kHotkeyNameIsUnicode but its
// record declares an 8-bit text; it never writes through either pointer.
char* wideName(const wchar_t* text) { return const_cast<char*>(reinterpret_cast<const char*>(text)); }

const int kHotkeyNameChars = 128;

HotkeyAction command(const char* id, int commandId) {
  HotkeyAction action = {};
  action.flags = kHotkeyNameIsUnicode;
  action.uMsg = WM_COMMAND;
  action.wParam = static_cast<WPARAM>(commandId);
  action.id = const_cast<char*>(id);
  return action;
}

// The hotkeys plugin may keep these pointers until the module goes, so the
// records and their texts are static. The ids are where the user's keys are
// kept: they never change. The names are the start's language.
HotkeyAction g_actions[kHotkeyActionCount] = {
    command("id3vimbrel rate 1", kFirstStarCommand + 1), command("id3vimbrel rate 2", kFirstStarCommand + 2),
    command("id3vimbrel rate 3", kFirstStarCommand + 3), command("id3vimbrel rate 4", kFirstStarCommand + 4),
    command("id3vimbrel rate 5", kFirstStarCommand + 5), command("id3vimbrel rate 0", kFirstStarCommand),
    command("id3vimbrel rate up", kOneStarMoreCommand),  command("id3vimbrel rate down", kOneStarLessCommand),
};
const UINT kActionNames[kHotkeyActionCount] = {
    IDS_HOTKEY_RATE_1, IDS_HOTKEY_RATE_2, IDS_HOTKEY_RATE_3,   IDS_HOTKEY_RATE_4,
    IDS_HOTKEY_RATE_5, IDS_HOTKEY_RATE_0, IDS_HOTKEY_ONE_MORE, IDS_HOTKEY_ONE_LESS,
};
wchar_t g_actionNames[kHotkeyActionCount][kHotkeyNameChars];

}  // namespace

void addHotkeyActions() {
  const LRESULT addMessage = SendMessageW(g_header.hostWindow, WM_USER,
                                          reinterpret_cast<WPARAM>(kHotkeysAddName), kRegisterMessageByName);
  if (addMessage == 0) return;  // no hotkeys plugin
  // Posted: the hotkeys plugin may start after this plugin and read its queue later.
  for (int i = 0; i < kHotkeyActionCount; ++i) {
    loadText(kActionNames[i], g_actionNames[i], kHotkeyNameChars);
    g_actions[i].name = wideName(g_actionNames[i]);
    PostMessageW(g_header.hostWindow, WM_USER, reinterpret_cast<WPARAM>(&g_actions[i]), addMessage);
  }
}
