// SPDX-License-Identifier: LGPL-2.1-or-later
// The player's media library, asked through its window. Every answer is checked:
// a library that is gone, answers nothing or hands odd values leaves the plugin as
// it would be without one.
#include "host/media_library.h"

#include "host/host_queries.h"
#include "host/hotkeys.h"
#include "host/plugin.h"

namespace {

const WCHAR kMediaLibraryFile[] = L"gen_ml.ini";

LRESULT askLibrary(HWND library, WPARAM argument, int code) {
  return SendMessageW(library, kLibraryMessage, argument, code);
}

}  // namespace

bool mediaLibrarySettingsPath(WCHAR* path) {
  lstrcpynW(path, g_state.settingsPath, MAX_PATH);
  WCHAR* lastBackslash = nullptr;
  for (WCHAR* at = path; *at; ++at)
    if (*at == L'\\') lastBackslash = at;
  if (!lastBackslash) return false;
  const int nameStart = static_cast<int>(lastBackslash - path) + 1;
  if (nameStart + lstrlenW(kMediaLibraryFile) + 1 > MAX_PATH) return false;
  lstrcpyW(lastBackslash + 1, kMediaLibraryFile);
  return true;
}

bool libraryWritesRatings() {
  WCHAR mediaLibrary[MAX_PATH];
  if (!mediaLibrarySettingsPath(mediaLibrary)) return false;
  return GetPrivateProfileIntW(L"gen_ml_config", L"writeratings", 0, mediaLibrary) != 0;
}

LibraryPresence findLibrary(HWND* window) {
  *window = nullptr;
  const LRESULT message = SendMessageW(g_header.hostWindow, WM_USER, reinterpret_cast<WPARAM>(kLibraryWindowName),
                                       kRegisterMessageByName);
  if (message == 0) return kLibraryUnknown;
  // A registered number is a query like the others: WM_USER with the number in lParam.
  const LRESULT answer = queryHost(static_cast<int>(message), 0);
  HWND library = reinterpret_cast<HWND>(answer);
  if (answer == 0 || answer == 1 || !IsWindow(library)) return kNoLibrary;
  *window = library;
  return kLibraryPresent;
}

int libraryRatingOf(HWND library, const wchar_t* path) {
  if (!library || !path || !path[0]) return 0;
  const LRESULT rating = askLibrary(library, reinterpret_cast<WPARAM>(path), kLibraryGetFileRating);
  return rating < 0 ? 0 : rating > 5 ? 5 : static_cast<int>(rating);
}

namespace {

// A rating of 0 saved into a file: a library that rates the file and does not write
// files itself comes to hold 0 too. A file the library does not hold is never added.
void tellLibraryOfRemoval(const wchar_t* path) {
  HWND library = nullptr;
  if (findLibrary(&library) != kLibraryPresent) return;
  // Where the library writes files itself, a new rating of its own would go into the
  // file through the player; and a file it does not rate would be added to it.
  if (libraryWritesRatings() || libraryRatingOf(library, path) == 0) return;
  LibraryFileRating removal = {path, 0};
  askLibrary(library, reinterpret_cast<WPARAM>(&removal), kLibrarySetFileRating);
}

}  // namespace

void notifyRatingSaved(const WCHAR* path, int stars) {
  if (!path || !path[0]) return;
  SendMessageW(g_header.hostWindow, WM_USER, reinterpret_cast<WPARAM>(path), kNotifyFileTagsMayHaveChanged);
  // The library copies a rating from the file only when the file holds one.
  if (stars == 0) tellLibraryOfRemoval(path);
}

bool runLibraryQuery(HWND library, LibraryQuery* query) {
  ZeroMemory(&query->results, sizeof query->results);
  const LRESULT answer = askLibrary(library, reinterpret_cast<WPARAM>(query), kLibraryRunQuery);
  if (answer == 0 || answer == -1 || !query->results.items || query->results.size <= 0) {
    if (query->results.items) freeLibraryQuery(library, query);
    return false;
  }
  return true;
}

void freeLibraryQuery(HWND library, LibraryQuery* query) {
  askLibrary(library, reinterpret_cast<WPARAM>(query), kLibraryFreeQuery);
  ZeroMemory(&query->results, sizeof query->results);
}
