// SPDX-License-Identifier: LGPL-2.1-or-later
// The player's language service is a Wasabi object, found through the player's
// service manager: every call is one virtual method, _dispatch(code, result, params,
// count), which answers 0 for a call it does not know. Anything missing or odd on the
// way leaves the plugin in English.
#include "host/texts.h"

#include "host/host_queries.h"
#include "host/plugin.h"
#include "resources/resource_ids.h"

namespace {

const int kMostPlaces = 9;

// The same GUID is string IDS_PLUGIN_GUID, by which a language pack finds this plugin's translation.
const GUID kPluginGuid = {0xC499A379, 0x345B, 0x4473, {0xBC, 0x3A, 0x05, 0x58, 0x67, 0x4F, 0xBB, 0x77}};

typedef int(__attribute__((thiscall)) * DispatchCall)(void* object, int code, void* result, void** params,
                                                      int count);

// No object, table or code lives in the lowest 64 KB of the address space.
bool isAddress(const void* address) { return reinterpret_cast<ULONG_PTR>(address) >= 0x10000; }

// True when the object answered the call; `result` is then set.
bool dispatch(void* object, int code, void* result, void** params, int count) {
  if (!isAddress(object)) return false;
  void** table = *static_cast<void***>(object);
  if (!isAddress(table) || !isAddress(table[0])) return false;
  return reinterpret_cast<DispatchCall>(table[0])(object, code, result, params, count) != 0;
}

// Which of %1..%9 a text holds, one bit each.
unsigned placesOf(const WCHAR* text) {
  unsigned places = 0;
  for (; *text; ++text)
    if (text[0] == L'%' && text[1] >= L'1' && text[1] <= L'9') places |= 1u << (text[1] - L'1');
  return places;
}

// The module's string, or false when it has none (or an empty one).
bool moduleText(HINSTANCE module, UINT id, WCHAR* text, int chars) {
  text[0] = 0;
  return module && LoadStringW(module, id, text, chars) > 0;
}

}  // namespace

void startLanguageSupport() {
  g_state.languageModule = nullptr;
  void* services = const_cast<void*>(queryHostAddress(kQueryApiService, 0));
  GUID service = kLanguageServiceGuid;
  void* serviceParams[] = {&service};
  void* factory = nullptr;
  if (!dispatch(services, kServiceByGuid, &factory, serviceParams, 1)) return;
  int globalLock = 1;
  void* lockParams[] = {&globalLock};
  void* language = nullptr;
  if (!dispatch(factory, kGetInterface, &language, lockParams, 1)) return;
  HINSTANCE own = g_header.moduleInstance;
  GUID plugin = kPluginGuid;
  void* startParams[] = {&own, &plugin};
  HINSTANCE translation = nullptr;
  if (!dispatch(language, kStartLanguageSupport, &translation, startParams, 2)) return;
  // The service answers the plugin's own module where the pack has no translation.
  if (isAddress(translation) && translation != own) g_state.languageModule = translation;
}

void loadText(UINT id, WCHAR* text, int chars) {
  WCHAR own[1024];
  moduleText(g_header.moduleInstance, id, own, 1024);
  if (moduleText(g_state.languageModule, id, text, chars) && placesOf(text) == placesOf(own)) return;
  lstrcpynW(text, own, chars);
}

void formatText(UINT id, WCHAR* text, int chars, const WCHAR* const* places, int count) {
  WCHAR format[1024];
  loadText(id, format, 1024);
  int used = 0;
  for (const WCHAR* at = format; *at && used < chars - 1; ++at) {
    const int place = (at[0] == L'%' && at[1] >= L'1' && at[1] <= L'9') ? at[1] - L'1' : -1;
    if (place < 0 || place >= count || place >= kMostPlaces) {
      text[used++] = *at;
      continue;
    }
    for (const WCHAR* value = places[place]; *value && used < chars - 1; ++value) text[used++] = *value;
    ++at;
  }
  text[used] = 0;
}
