// SPDX-License-Identifier: LGPL-2.1-or-later
#include "standin/library_host.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <algorithm>

#include "host/host_queries.h"
#include "tray/player_ratings.h"
#include "standin/host_core.h"

namespace {

const wchar_t kLibraryClass[] = L"VimbrelStandinLibrary";

int clampedStars(int rating) { return rating < 0 ? 0 : rating > 5 ? 5 : rating; }

std::string utf8Path(const LibraryEntry& entry) {
  return entry.nullPath ? "<null>" : toUtf8(entry.path.c_str());
}

LibraryEntry* findEntry(const wchar_t* path) {
  if (!path) return nullptr;
  for (LibraryEntry& entry : g_host.library.entries)
    if (!entry.nullPath && lstrcmpiW(entry.path.c_str(), path) == 0) return &entry;
  return nullptr;
}

// Sets every record of the path (a file given twice is two records) or adds one,
// as the library does for a file it does not hold.
void setRating(const wchar_t* path, int rating) {
  bool held = false;
  for (LibraryEntry& entry : g_host.library.entries)
    if (!entry.nullPath && lstrcmpiW(entry.path.c_str(), path) == 0) entry.rating = rating, held = true;
  if (held) return;
  LibraryEntry added;
  added.path = path;
  added.rating = rating;
  g_host.library.entries.push_back(added);
  logLine("library added %s", toUtf8(path).c_str());
}

// With the library's "Save ratings to file" switch on, it writes the rating
// into the file through the input plugin; the stand-in never writes files.
bool writesRatings() {
  std::wstring ini = hostIniPathWide();
  ini = ini.substr(0, ini.find_last_of(L'\\') + 1) + L"Plugins\\gen_ml.ini";
  return GetPrivateProfileIntW(L"gen_ml_config", L"writeratings", 0, ini.c_str()) == 1;
}

// What the player's own rating (message 639, the rating menus) does with a path.
void rateFromPlayer(const std::wstring& path, int stars) {
  setRating(path.c_str(), stars);
  logLine("library rated %s %d", toUtf8(path.c_str()).c_str(), stars);
  if (writesRatings()) logLine("library would write %s %d", toUtf8(path.c_str()).c_str(), stars);
}

int heldStars(const wchar_t* path) {
  const LibraryEntry* entry = findEntry(path);
  return entry ? clampedStars(entry->rating) : 0;
}

// Message 639: 6 means one star more than held, (WPARAM)-1 one less; every
// other value is kept within 0..5.
LRESULT rateCurrent(WPARAM value) {
  std::wstring path;
  if (!entryWidePath(g_host.current, &path)) {
    logLine("library has no entry to rate");
    return 0;
  }
  const int held = heldStars(path.c_str());
  int stars = 5;
  if (value == 6)
    stars = held + 1;
  else if (value == static_cast<WPARAM>(-1))
    stars = held - 1;
  else if (value <= 5)
    stars = static_cast<int>(value);
  rateFromPlayer(path, clampedStars(stars));
  return 1;
}

LRESULT currentStars() {
  std::wstring path;
  return entryWidePath(g_host.current, &path) ? heldStars(path.c_str()) : 0;
}

// The rating menus: the song ticker's for the current entry, the playlist's for
// every selected one, each from 5 stars down to 0.
void onRatingMenu(WORD command) {
  std::wstring path;
  if (command >= kPlaylistRateFiveCommand) {
    const int stars = 5 - (command - kPlaylistRateFiveCommand);
    for (int index : g_host.selection)
      if (entryWidePath(index, &path)) rateFromPlayer(path, stars);
    return;
  }
  if (entryWidePath(g_host.current, &path)) rateFromPlayer(path, 5 - (command - kTickerRateFiveCommand));
}

bool isRatingMenu(WORD command) {
  return command >= kTickerRateFiveCommand && command < kPlaylistRateFiveCommand + 6;
}

LRESULT runQuery(LibraryQuery* query) {
  StandinLibrary& library = g_host.library;
  const std::string text = query && query->query ? toUtf8(query->query) : std::string();
  const int maxResults = query ? query->maxResults : 0;
  if (!query || library.queryAnswer != 1) {
    if (query) memset(&query->results, 0, sizeof query->results);
    logLine("library query \"%s\" max=%d -> answered %ld", text.c_str(), maxResults,
            static_cast<long>(library.queryAnswer != 1 ? library.queryAnswer : 0));
    return query ? library.queryAnswer : 0;
  }
  std::vector<const LibraryEntry*> found;
  for (const LibraryEntry& entry : library.entries)
    if (entry.rating > 0 && (maxResults <= 0 || static_cast<int>(found.size()) < maxResults))
      found.push_back(&entry);
  LibraryItem* items = nullptr;
  if (!found.empty()) {
    items = static_cast<LibraryItem*>(calloc(found.size(), sizeof(LibraryItem)));
    for (size_t i = 0; i < found.size(); ++i) {
      items[i].filename = found[i]->nullPath ? nullptr : _wcsdup(found[i]->path.c_str());
      items[i].rating = found[i]->rating;
    }
    library.runs.push_back({items, static_cast<int>(found.size())});
  }
  query->results.items = items;
  query->results.size = query->results.alloc = static_cast<int>(found.size());
  logLine("library query \"%s\" max=%d -> %d items", text.c_str(), maxResults,
          static_cast<int>(found.size()));
  return 1;
}

void freeRun(const LibraryRun& run) {
  for (int i = 0; i < run.count; ++i) free(run.items[i].filename);
  free(run.items);
}

// Frees only what a query handed out: anything else in the list is the caller's
// mistake, and freeing it would bring the stand-in down instead of showing it.
LRESULT freeQuery(LibraryQuery* query) {
  if (!query) return 0;
  std::vector<LibraryRun>& runs = g_host.library.runs;
  auto run = std::find_if(runs.begin(), runs.end(),
                          [query](const LibraryRun& r) { return r.items == query->results.items; });
  if (query->results.items && run == runs.end()) {
    logLine("library freed query not handed out");
    return 0;
  }
  if (run != runs.end()) {
    freeRun(*run);
    runs.erase(run);
  }
  memset(&query->results, 0, sizeof query->results);
  logLine("library freed query");
  return 1;
}

LRESULT setFileRating(const LibraryFileRating* record) {
  if (!record || !record->fileName) {
    logLine("library set <null> %d", record ? record->newRating : 0);
    return 0;
  }
  setRating(record->fileName, record->newRating);
  logLine("library set %s %d", toUtf8(record->fileName).c_str(), record->newRating);
  return 1;
}

LRESULT answerLibraryCode(LPARAM code, WPARAM argument) {
  switch (code) {
    case kLibraryRunQuery:
      return runQuery(reinterpret_cast<LibraryQuery*>(argument));
    case kLibraryFreeQuery:
      return freeQuery(reinterpret_cast<LibraryQuery*>(argument));
    case kLibraryGetFileRating:
      ++g_host.library.ratingQueries;
      return heldStars(reinterpret_cast<const wchar_t*>(argument));
    case kLibrarySetFileRating:
      return setFileRating(reinterpret_cast<const LibraryFileRating*>(argument));
  }
  return 0;
}

LRESULT CALLBACK libraryProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kLibraryMessage) return answerLibraryCode(lParam, wParam);
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

bool readLibraryFile(const std::wstring& file) {
  FILE* in = _wfopen(file.c_str(), L"rb");
  if (!in) return false;
  char line[8192];
  bool first = true;
  while (fgets(line, sizeof line, in)) {
    line[strcspn(line, "\r\n")] = 0;
    char* text = line;
    if (first && strncmp(text, "\xEF\xBB\xBF", 3) == 0) text += 3;  // a UTF-8 byte order mark
    first = false;
    char* tab = strchr(text, '\t');
    if (!tab) continue;
    *tab = 0;
    LibraryEntry entry;
    entry.rating = atoi(text);
    entry.nullPath = strcmp(tab + 1, "<null>") == 0;
    if (!entry.nullPath) entry.path = fromUtf8(tab + 1);
    g_host.library.entries.push_back(entry);
  }
  fclose(in);
  g_host.library.presence = kLibraryPresent;
  return true;
}

void createLibraryWindow() {
  if (g_host.library.presence != kLibraryPresent || g_host.library.window) return;
  WNDCLASSW wc = {};
  wc.lpfnWndProc = libraryProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kLibraryClass;
  RegisterClassW(&wc);
  // Message-only: the library's window is found by asking the player, never seen.
  g_host.library.window = CreateWindowW(kLibraryClass, L"Stand-in media library", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, wc.hInstance, nullptr);
}

void destroyLibraryWindow() {
  if (g_host.library.window) DestroyWindow(g_host.library.window);
  g_host.library.window = nullptr;
  // The plugin that ran them has gone with the player.
  for (const LibraryRun& run : g_host.library.runs) freeRun(run);
  g_host.library.runs.clear();
}

LRESULT libraryNameNumber() {
  return g_host.library.presence == kLibraryUnknown ? 0 : kStandinLibraryWindowMessage;
}

bool answerLibraryMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* answer) {
  const bool present = g_host.library.presence == kLibraryPresent;
  *answer = 0;
  if (message == WM_COMMAND && isRatingMenu(LOWORD(wParam))) {
    if (present) onRatingMenu(LOWORD(wParam));
    return true;
  }
  if (message != WM_USER) return false;
  if (lParam == kStandinLibraryWindowMessage && g_host.library.presence != kLibraryUnknown) {
    if (present && wParam == 0) *answer = reinterpret_cast<LRESULT>(g_host.library.window);
    return true;
  }
  if (lParam == kSetRating && present) {
    *answer = rateCurrent(wParam);
    return true;
  }
  if (lParam == kQueryRating) {
    *answer = present ? currentStars() : 0;
    return true;
  }
  return false;
}

std::string libraryEntryText(const LibraryEntry& entry) {
  return std::to_string(entry.rating) + " " + utf8Path(entry);
}
