// SPDX-License-Identifier: LGPL-2.1-or-later
#include "standin/hotkeys_host.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "host/host_queries.h"
#include "standin/host_core.h"

namespace {

struct KeyName {
  const char* name;
  UINT virtualKey;
};

const KeyName kKeyNames[] = {
    {"up", VK_UP}, {"down", VK_DOWN}, {"left", VK_LEFT}, {"right", VK_RIGHT}, {"space", VK_SPACE},
};

const KeyName kModifierNames[] = {
    {"ctrl", MOD_CONTROL},
    {"alt", MOD_ALT},
    {"shift", MOD_SHIFT},
    {"win", MOD_WIN},
};

UINT virtualKeyOf(const std::string& key) {
  if (key.size() == 1 && isalnum(static_cast<unsigned char>(key[0])))
    return static_cast<UINT>(toupper(static_cast<unsigned char>(key[0])));
  for (const KeyName& k : kKeyNames)
    if (_stricmp(key.c_str(), k.name) == 0) return k.virtualKey;
  if ((key[0] == 'f' || key[0] == 'F') && key.size() <= 3) {
    const int number = atoi(key.c_str() + 1);
    if (number >= 1 && number <= 12) return VK_F1 + number - 1;
  }
  return 0;
}

// "ctrl+alt+5" into MOD_ and VK_ values; false for a text it does not understand.
bool parseKey(const std::string& text, UINT* modifiers, UINT* virtualKey) {
  *modifiers = 0;
  size_t start = 0;
  for (size_t plus = text.find('+'); plus != std::string::npos; plus = text.find('+', start)) {
    const std::string part = text.substr(start, plus - start);
    UINT modifier = 0;
    for (const KeyName& m : kModifierNames)
      if (_stricmp(part.c_str(), m.name) == 0) modifier = m.virtualKey;
    if (!modifier) return false;
    *modifiers |= modifier;
    start = plus + 1;
  }
  *virtualKey = start < text.size() ? virtualKeyOf(text.substr(start)) : 0;
  return *virtualKey != 0;
}

// The player's own actions: each sends the player its rating message (639).
struct PlayerAction {
  const char* id;
  WPARAM stars;  // 6: one star more; (WPARAM)-1: one less
};

const PlayerAction kPlayerActions[] = {
    {"rate current item 0", 0},  {"rate current item 1", 1},
    {"rate current item 2", 2},  {"rate current item 3", 3},
    {"rate current item 4", 4},  {"rate current item 5", 5},
    {"rate current item up", 6}, {"rate current item down", static_cast<WPARAM>(-1)},
};
const int kPlayerActionCount = sizeof kPlayerActions / sizeof kPlayerActions[0];

// Binding numbers of the player's actions; the plugins' count from 1.
const int kFirstPlayerBinding = 0x1000;

void sendPlayerAction(const PlayerAction& action) {
  SendMessageW(g_host.window, WM_USER, action.stars, kSetRating);
}

std::string keyForId(const char* id) {
  wchar_t wideId[128] = L"", key[64] = L"";
  MultiByteToWideChar(CP_ACP, 0, id, -1, wideId, 128);
  wideId[127] = 0;
  GetPrivateProfileStringW(L"hotkeys", wideId, L"", key, 64, hostIniPathWide().c_str());
  char narrow[64] = "";
  WideCharToMultiByte(CP_ACP, 0, key, -1, narrow, sizeof narrow, nullptr, nullptr);
  narrow[63] = 0;
  return narrow;
}

void send(const HotkeyAction& action) {
  SendMessageW(action.wnd ? action.wnd : g_host.window, action.uMsg, action.wParam, action.lParam);
}

}  // namespace

LRESULT registeredMessage(const char* name) {
  if (name && g_host.hotkeysPlugin && strcmp(name, kHotkeysAddName) == 0) return kStandinHotkeysAddMessage;
  return 0;
}

void keepHotkeyAction(const HotkeyAction* action) {
  KeptHotkey kept;
  kept.action = *action;
  kept.key = action->id ? keyForId(action->id) : std::string();
  UINT modifiers = 0, virtualKey = 0;
  // A key's binding number is its action's place in the list, from 1.
  const int binding = static_cast<int>(g_host.hotkeys.size()) + 1;
  if (!kept.key.empty() && parseKey(kept.key, &modifiers, &virtualKey))
    kept.bound = RegisterHotKey(g_host.window, binding, modifiers, virtualKey) != FALSE;
  g_host.hotkeys.push_back(kept);
  if (g_host.onHotkeyAdded) g_host.onHotkeyAdded(kept);
}

void onHotkeyPressed(WPARAM binding) {
  if (binding >= 1 && binding <= g_host.hotkeys.size()) send(g_host.hotkeys[binding - 1].action);
  const WPARAM player = binding - kFirstPlayerBinding;
  if (binding >= kFirstPlayerBinding && player < static_cast<WPARAM>(kPlayerActionCount))
    sendPlayerAction(kPlayerActions[player]);
}

bool sendHotkeyAction(const char* id) {
  for (const KeptHotkey& kept : g_host.hotkeys)
    if (kept.action.id && strcmp(kept.action.id, id) == 0) {
      send(kept.action);
      return true;
    }
  if (!g_host.hotkeysPlugin) return false;
  for (const PlayerAction& action : kPlayerActions)
    if (strcmp(action.id, id) == 0) {
      sendPlayerAction(action);
      return true;
    }
  return false;
}

void bindPlayerHotkeys() {
  if (!g_host.hotkeysPlugin) return;
  for (int i = 0; i < kPlayerActionCount; ++i) {
    const std::string key = keyForId(kPlayerActions[i].id);
    UINT modifiers = 0, virtualKey = 0;
    if (key.empty()) continue;
    const bool bound = parseKey(key, &modifiers, &virtualKey) &&
                       RegisterHotKey(g_host.window, kFirstPlayerBinding + i, modifiers, virtualKey);
    logLine("hotkey player id=\"%s\" key=\"%s\" bound=%d", kPlayerActions[i].id, key.c_str(), bound ? 1 : 0);
  }
}

void unbindPlayerHotkeys() {
  // Unregistering a number that was never bound fails harmlessly.
  for (int i = 0; i < kPlayerActionCount; ++i) UnregisterHotKey(g_host.window, kFirstPlayerBinding + i);
}

void dropHotkeyActions() {
  for (size_t i = 0; i < g_host.hotkeys.size(); ++i)
    if (g_host.hotkeys[i].bound) UnregisterHotKey(g_host.window, static_cast<int>(i) + 1);
  g_host.hotkeys.clear();
}

std::string hotkeyNameUtf8(const HotkeyAction& action) {
  if (!action.name) return std::string();
  if (!(action.flags & kHotkeyNameIsUnicode)) return action.name;
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(action.name);
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string text(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], n, nullptr, nullptr);
  return text;
}
