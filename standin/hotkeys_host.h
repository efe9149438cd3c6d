// SPDX-License-Identifier: LGPL-2.1-or-later
// The stand-in's side of the player's Global Hotkeys: it answers the registration
// of the hotkeys message by name, keeps the actions plugins post, binds the keys
// its ini names for their ids (RegisterHotKey) and, when one is pressed, sends
// the action's message as the hotkeys plugin does.
//
// The keys live in the player's ini, section [hotkeys], one line an action:
//   id3vimbrel rate 4=ctrl+alt+4
//   id3vimbrel rate up=ctrl+alt+up
//   rate current item up=ctrl+shift+up
// Modifiers ctrl, alt, shift and win; the key a letter, a digit, up, down, left,
// right, space or f1 to f12.
//
// Besides the plugins' actions the player has its own: "rate current item 0" to
// "rate current item 5", "rate current item up" and "rate current item down",
// each SendMessage(player, WM_USER, stars, 639) with 6 for one star more and
// (WPARAM)-1 for one less. Without a hotkeys plugin there are none of either.
#pragma once

#include <windows.h>

#include <string>

#include "host/hotkeys.h"

struct KeptHotkey {
  HotkeyAction action;  // as posted; its texts are the posting plugin's
  std::string key;      // what the ini binds it to, empty for none
  bool bound = false;   // RegisterHotKey took the key
};

// The number answered for the hotkeys message's name.
const LRESULT kStandinHotkeysAddMessage = 0x10100;

// Registration by name (WM_USER 65536): the message's number, or 0 for a name
// the stand-in does not know and, without a hotkeys plugin, for its name too.
LRESULT registeredMessage(const char* name);
// Keeps a posted action and binds the key the ini names for its id.
void keepHotkeyAction(const HotkeyAction* action);
// WM_HOTKEY: sends the action bound to that key.
void onHotkeyPressed(WPARAM binding);
// Sends the action of that id as the hotkeys plugin does; false when no action has it.
bool sendHotkeyAction(const char* id);
// Gives the keys back and forgets the actions: their texts go with the plugin.
void dropHotkeyActions();
// Binds the keys the ini names for the player's own actions (with the main window).
void bindPlayerHotkeys();
void unbindPlayerHotkeys();
// The UTF-16 name of an action in UTF-8, whichever form it was posted in.
std::string hotkeyNameUtf8(const HotkeyAction& action);
