// SPDX-License-Identifier: LGPL-2.1-or-later
#include "standin/language_host.h"

#include <stdio.h>
#include <wchar.h>

#include <string>

#include "host/texts.h"
#include "standin/host_core.h"

namespace {

// The codes the plugin calls are named in host/texts.h; the stand-in answers these too.
enum {
  kGetStringW = 11,
  kGetLanguageFolder = 40,
  kCreateDialogParamW = 53,
  kDialogBoxParamW = 54,
  kLoadMenuW = 55,
  kGetLanguageIdentifier = 60,
};
// Where a .lng module names the plugin it translates: its GUID as text.
const UINT kPluginGuidString = 65535;
const wchar_t kSection[] = L"language";

// A Wasabi object as plugins call it: _dispatch is the first and only entry of its
// table (so no virtual destructor), and answers 0 for a call it does not know.
class Dispatchable {
 public:
  virtual int __thiscall _dispatch(int code, void* result, void** params, int count) = 0;
};

// Kept for the language service's answers that plugins read after the call.
std::wstring g_packFolder, g_languageId;
wchar_t g_sharedString[2048];  // GetStringW's answer when the caller gives no buffer

template <typename T>
T parameter(void** params, int index) {
  return *static_cast<T*>(params[index]);
}

template <typename T>
int answer(void* result, T value) {
  if (result) *static_cast<T*>(result) = value;
  return 1;
}

std::wstring iniText(const wchar_t* key) {
  wchar_t text[MAX_PATH];
  GetPrivateProfileStringW(kSection, key, L"", text, MAX_PATH, hostIniPathWide().c_str());
  return text;
}

std::wstring withBackslash(std::wstring folder) {
  if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
  return folder;
}

std::wstring guidText(const GUID& guid) {
  wchar_t text[40];
  swprintf(text, 40, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
           static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
           guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

// The plugin DLL's file name with .lng in place of its extension.
std::wstring lngName(HINSTANCE own) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(own, path, MAX_PATH);
  std::wstring name(path, length < MAX_PATH ? length : 0);
  name = name.substr(name.find_last_of(L"\\/") + 1);
  return name.substr(0, name.find_last_of(L'.')) + L".lng";
}

// The folder's .lng module that names the plugin's GUID, else the one of the
// plugin's name (its path into *file); null for neither. The one answered stays loaded.
HMODULE findTranslation(const std::wstring& folder, const std::wstring& guid, const std::wstring& name,
                        std::wstring* file) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*.lng").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      *file = folder + found.cFileName;
      HMODULE module = LoadLibraryExW(file->c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
      wchar_t text[64];
      if (module && LoadStringW(module, kPluginGuidString, text, 64) > 0 &&
          lstrcmpiW(text, guid.c_str()) == 0) {
        FindClose(search);
        return module;
      }
      if (module) FreeLibrary(module);
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  *file = folder + name;
  return LoadLibraryExW(file->c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

HINSTANCE startLanguageSupport(HINSTANCE own, const GUID& plugin) {
  const std::wstring ini = hostIniPathWide();
  wchar_t section[16];
  // No [language] section: no pack, the player speaks English.
  if (GetPrivateProfileSectionW(kSection, section, 16, ini.c_str()) == 0) return own;
  if (GetPrivateProfileIntW(kSection, L"null", 0, ini.c_str()) != 0) return nullptr;
  g_packFolder = withBackslash(iniText(L"pack"));
  g_languageId = iniText(L"id");
  const std::wstring guid = guidText(plugin);
  const std::wstring folders[] = {
      g_packFolder, g_languageId.empty() ? L"" : programFolder() + L"Lang\\" + g_languageId + L"\\"};
  for (const std::wstring& folder : folders) {
    if (folder.empty()) continue;
    std::wstring file;
    if (HMODULE module = findTranslation(folder, guid, lngName(own), &file)) {
      logLine("language %s from %s", toUtf8(guid.c_str()).c_str(), toUtf8(file.c_str()).c_str());
      return module;
    }
  }
  logLine("language %s own", toUtf8(guid.c_str()).c_str());
  return own;
}

// The string from the first module that has it, into buffer (or a shared one).
wchar_t* getString(HINSTANCE first, HINSTANCE second, UINT id, wchar_t* buffer, size_t chars) {
  if (!buffer || chars == 0)
    buffer = g_sharedString, chars = sizeof g_sharedString / sizeof g_sharedString[0];
  const int room = chars > 0x7fffffff ? 0x7fffffff : static_cast<int>(chars);
  buffer[0] = 0;
  if (!(first && LoadStringW(first, id, buffer, room) > 0) && second) LoadStringW(second, id, buffer, room);
  return buffer;
}

// The localised module where it holds the resource, else the original (by number
// only, so the 8-bit lookup finds the same).
HINSTANCE holding(HINSTANCE localised, HINSTANCE original, UINT id, LPCSTR type) {
  return localised && FindResourceA(localised, MAKEINTRESOURCEA(id), type) ? localised : original;
}

class LanguageService : public Dispatchable {
 public:
  int __thiscall _dispatch(int code, void* result, void** params, int count) override {
    switch (code) {
      case kStartLanguageSupport:
        if (count < 2) return 0;
        return answer(result,
                      startLanguageSupport(parameter<HINSTANCE>(params, 0), parameter<GUID>(params, 1)));
      case kGetStringW:
        if (count < 5) return 0;
        return answer(result, getString(parameter<HINSTANCE>(params, 0), parameter<HINSTANCE>(params, 1),
                                        parameter<UINT>(params, 2), parameter<wchar_t*>(params, 3),
                                        parameter<size_t>(params, 4)));
      case kGetLanguageFolder:
        return answer(result,
                      g_packFolder.empty() ? static_cast<const wchar_t*>(nullptr) : g_packFolder.c_str());
      case kGetLanguageIdentifier:
        // Whatever the mode asks for, the whole identifier: nothing the stand-in runs reads its parts.
        return answer(result, g_languageId.empty() ? L"en-US" : g_languageId.c_str());
      case kCreateDialogParamW:
      case kDialogBoxParamW: {
        if (count < 6) return 0;
        const HINSTANCE module = holding(parameter<HINSTANCE>(params, 0), parameter<HINSTANCE>(params, 1),
                                         parameter<UINT>(params, 2), RT_DIALOG);
        const LPCWSTR name = MAKEINTRESOURCEW(parameter<UINT>(params, 2));
        const HWND parent = parameter<HWND>(params, 3);
        const DLGPROC proc = parameter<DLGPROC>(params, 4);
        const LPARAM param = parameter<LPARAM>(params, 5);
        if (code == kDialogBoxParamW)
          return answer(result, DialogBoxParamW(module, name, parent, proc, param));
        return answer(result, CreateDialogParamW(module, name, parent, proc, param));
      }
      case kLoadMenuW: {
        if (count < 3) return 0;
        const UINT id = parameter<UINT>(params, 2);
        return answer(result, LoadMenuW(holding(parameter<HINSTANCE>(params, 0),
                                                parameter<HINSTANCE>(params, 1), id, RT_MENU),
                                        MAKEINTRESOURCEW(id)));
      }
    }
    return 0;
  }
} g_languageService;

class LanguageFactory : public Dispatchable {
 public:
  int __thiscall _dispatch(int code, void* result, void**, int) override {
    if (code != kGetInterface) return 0;
    return answer(result, static_cast<void*>(&g_languageService));
  }
} g_languageFactory;

class ServiceManager : public Dispatchable {
 public:
  int __thiscall _dispatch(int code, void* result, void** params, int count) override {
    if (code != kServiceByGuid || count < 1) return 0;
    // A service the player does not have: no factory, as the player answers.
    const bool language = IsEqualGUID(parameter<GUID>(params, 0), kLanguageServiceGuid);
    return answer(result, language ? static_cast<void*>(&g_languageFactory) : nullptr);
  }
} g_serviceManager;

}  // namespace

LRESULT serviceManagerAnswer() { return reinterpret_cast<LRESULT>(&g_serviceManager); }
