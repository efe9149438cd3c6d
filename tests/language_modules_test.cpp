// SPDX-License-Identifier: LGPL-2.1-or-later
// The translations that ship (Lang\<id>\gen_id3vimbrel.lng beside the player), read
// as the player reads them: data files. The plugin takes a text from a translation
// only when it is there with the English text's numbered places, else the English
// one, so a gap here shows as a stray English sentence in the user's language.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "standin/host_core.h"

namespace {

const LPCWSTR kStringTables = MAKEINTRESOURCEW(6);  // RT_STRING
const std::set<std::wstring> kShipped = {L"de-DE", L"fr-FR", L"es-ES", L"pl-PL", L"ru-RU", L"pt-BR"};
// The texts a translation keeps as they are: the product's name, punctuation, the GUID.
const std::set<UINT> kSameInEveryLanguage = {IDS_CAPTION, IDS_REPORT_WITH_REASONS,
                                             IDS_REPORT_REASON_SEPARATOR, IDS_PLUGIN_GUID};

std::wstring playerFolder() {
  const std::wstring dll = findPluginDll();
  const std::wstring plugins = dll.substr(0, dll.find_last_of(L'\\'));
  return plugins.substr(0, plugins.find_last_of(L'\\') + 1);
}

std::wstring shippedModule(const std::wstring& language) {
  return playerFolder() + L"Lang\\" + language + L"\\gen_id3vimbrel.lng";
}

// As the player loads a translation: its resources readable, nothing of it run.
HMODULE loadData(const std::wstring& path) {
  return LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

// The whole string, however long: with no room given LoadStringW points into the resource.
std::wstring text(HMODULE module, UINT id) {
  const WCHAR* start = nullptr;
  const int length = LoadStringW(module, id, reinterpret_cast<LPWSTR>(&start), 0);
  return length > 0 && start ? std::wstring(start, length) : std::wstring();
}

BOOL CALLBACK addBlock(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR blocks) {
  if (IS_INTRESOURCE(name)) reinterpret_cast<std::vector<UINT>*>(blocks)->push_back(LOWORD(name));
  return TRUE;
}

std::vector<UINT> stringBlocks(HMODULE module) {
  std::vector<UINT> blocks;
  EnumResourceNamesW(module, kStringTables, addBlock, reinterpret_cast<LONG_PTR>(&blocks));
  return blocks;
}

// Every id the module has a string for: string block n holds ids (n - 1) * 16 to + 15.
std::vector<UINT> stringIds(HMODULE module) {
  std::vector<UINT> ids;
  for (UINT block : stringBlocks(module))
    for (UINT id = (block - 1) * 16; id < block * 16; ++id)
      if (!text(module, id).empty()) ids.push_back(id);
  return ids;
}

BOOL CALLBACK addLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR languages) {
  reinterpret_cast<std::set<LANGID>*>(languages)->insert(language);
  return TRUE;
}

// The languages the module's string blocks are marked with.
std::set<LANGID> stringLanguages(HMODULE module) {
  std::set<LANGID> marked;
  for (UINT block : stringBlocks(module))
    EnumResourceLanguagesW(module, kStringTables, MAKEINTRESOURCEW(block), addLanguage,
                           reinterpret_cast<LONG_PTR>(&marked));
  return marked;
}

// "%1 %2": the numbered places a text holds, by the plugin's own rule (host/texts.cpp).
std::string places(const std::wstring& text) {
  std::string listed;
  for (wchar_t digit = L'1'; digit <= L'9'; ++digit)
    if (text.find(std::wstring(L"%") + digit) != std::wstring::npos)
      listed += std::string(listed.empty() ? "%" : " %") + static_cast<char>(digit);
  return listed.empty() ? "none" : listed;
}

// What keeps the plugin from taking each of its texts from the translation, a line each.
std::string problems(HMODULE english, HMODULE translation) {
  std::string found;
  const std::vector<UINT> ids = stringIds(english);
  // The table's first and last ids: the blocks were found.
  if (ids.empty() || ids.front() != IDS_CAPTION || ids.back() != IDS_PLUGIN_GUID)
    found += "the plugin's own strings were not found\n";
  for (UINT id : ids) {
    const std::wstring own = text(english, id), translated = text(translation, id);
    const std::string name = "string " + std::to_string(id);
    if (translated.empty())
      found += name + " is missing\n";
    else if (places(translated) != places(own))
      found += name + " has places " + places(translated) + ", the English " + places(own) + "\n";
    else if (id == IDS_PLUGIN_GUID && translated != own)
      found += name + " names another plugin\n";
    else if (translated == own && !kSameInEveryLanguage.count(id))
      found += name + " is the English text\n";
  }
  return found;
}

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(LanguageModules, EachShippedOneHoldsEveryStringOfThePluginWithItsPlacesInItsLanguage) {
  std::set<std::wstring> folders;
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((playerFolder() + L"Lang\\*").c_str(), &entry);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && entry.cFileName[0] != L'.')
      folders.insert(entry.cFileName);
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  EXPECT_EQ(folders, kShipped);

  HMODULE english = loadData(findPluginDll());
  ASSERT_NE(english, nullptr);
  for (const std::wstring& language : kShipped) {
    HMODULE translation = loadData(shippedModule(language));
    ASSERT_NE(translation, nullptr) << narrow(language);
    EXPECT_EQ(problems(english, translation), "") << narrow(language);
    // Nothing but the plugin's strings: an id the plugin does not know is a stale one.
    EXPECT_EQ(stringIds(translation), stringIds(english)) << narrow(language);
    EXPECT_EQ(stringLanguages(translation),
              std::set<LANGID>{LANGIDFROMLCID(LocaleNameToLCID(language.c_str(), 0))})
        << narrow(language);
    FreeLibrary(translation);
  }
  FreeLibrary(english);
}

// The check finds what the plugin would fall back on, in modules broken on purpose
// (tests/CMakeLists.txt makes them from the German script).
TEST(LanguageModules, TheCheckFindsAMissingStringAndChangedPlaces) {
  HMODULE english = loadData(findPluginDll());
  HMODULE lacking = loadData(programFolder() + L"lng\\de-DE-lacking-one\\gen_id3vimbrel.lng");
  HMODULE wrongPlaces = loadData(programFolder() + L"lng\\de-DE-wrong-places\\gen_id3vimbrel.lng");
  ASSERT_NE(lacking, nullptr);
  ASSERT_NE(wrongPlaces, nullptr);
  EXPECT_EQ(problems(english, lacking),
            "string " + std::to_string(IDS_NOT_SAVED_READ_ONLY) + " is missing\n");
  EXPECT_EQ(problems(english, wrongPlaces),
            "string " + std::to_string(IDS_REPORT_PROGRESS) + " has places %2, the English %1 %2\n");
  FreeLibrary(wrongPlaces);
  FreeLibrary(lacking);
  FreeLibrary(english);
}

INT_PTR CALLBACK quietPage(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// The preferences page's controls keep the English layout's sizes: each text must
// fit its control in the page's font (check box texts on two lines at most).
TEST(LanguageModules, PreferencesPageTextsFitTheirControls) {
  INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&classes);
  HMODULE plugin = LoadLibraryW(findPluginDll().c_str());
  ASSERT_NE(plugin, nullptr);
  // A child window, as in the player's preferences window.
  HWND preferences =
      CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 600, 500, nullptr, nullptr, nullptr, nullptr);
  HWND page = CreateDialogParamW(plugin, MAKEINTRESOURCEW(IDD_PREFS_PAGE), preferences, quietPage, 0);
  ASSERT_NE(page, nullptr);
  const int checkBox = GetSystemMetrics(SM_CXMENUCHECK) + 6;
  const struct {
    int control;
    UINT text;
    int lines;   // 1: must not wrap
    int margin;  // pixels of the control's width its text cannot use
  } kControls[] = {
      {IDC_PREFS_ACTIVE, IDS_PREFS_ACTIVE, 1, checkBox},
      {IDC_PREFS_SAVE_PLAYER_RATINGS, IDS_PREFS_SAVE_PLAYER_RATINGS, 2, checkBox},
      {IDC_PREFS_LIBRARY_GROUP, IDS_PREFS_LIBRARY_GROUP, 1, 16},
      {IDC_PREFS_LIBRARY_WINS, IDS_PREFS_LIBRARY_WINS, 2, checkBox},
      {IDC_PREFS_SAVE_LIBRARY, IDS_PREFS_SAVE_LIBRARY, 1, 8},
      {IDC_PREFS_CANCEL, IDS_PREFS_CANCEL, 1, 8},
  };
  std::vector<std::wstring> modules = {findPluginDll()};  // English, which the layout was made for
  for (const std::wstring& language : kShipped) modules.push_back(shippedModule(language));
  for (const std::wstring& path : modules) {
    HMODULE translation = loadData(path);
    ASSERT_NE(translation, nullptr) << narrow(path);
    for (const auto& control : kControls) {
      HWND window = GetDlgItem(page, control.control);
      RECT room, drawn;
      GetClientRect(window, &room);
      drawn = {0, 0, room.right - control.margin, 0};
      const std::wstring words = text(translation, control.text);
      HDC dc = GetDC(window);
      HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)));
      TEXTMETRICW metrics;
      GetTextMetricsW(dc, &metrics);
      DrawTextW(dc, words.c_str(), static_cast<int>(words.size()), &drawn,
                DT_CALCRECT | (control.lines > 1 ? DT_WORDBREAK : DT_SINGLELINE));
      SelectObject(dc, old);
      ReleaseDC(window, dc);
      EXPECT_LE(drawn.right, room.right - control.margin) << narrow(path) << " string " << control.text;
      EXPECT_LE(drawn.bottom, control.lines * metrics.tmHeight) << narrow(path) << " string " << control.text;
    }
    FreeLibrary(translation);
  }
  DestroyWindow(preferences);
  FreeLibrary(plugin);
}

}  // namespace
