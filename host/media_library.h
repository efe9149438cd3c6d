// SPDX-License-Identifier: LGPL-2.1-or-later
// The player's media library: its window, found by a registered name, and the
// messages that read and set a file's rating in its database. The records'
// layouts are the library's, for 32-bit Windows.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

// Registered with the player by name (WM_USER 65536); sent to the player's window
// with wParam 0, it answers the library's window.
const char kLibraryWindowName[] = "LibraryGetWnd";

// Sent to the library's window as SendMessage(window, kLibraryMessage, argument, code).
const UINT kLibraryMessage = WM_USER + 0x1000;
enum LibraryCode {
  kLibrarySetFileRating = 0x0911,  // argument: LibraryFileRating*; adds a file it does not hold
  kLibraryGetFileRating = 0x0912,  // argument: the path; answers 0..5, 0 when not held or unrated
  kLibraryRunQuery = 0x1700,       // argument: LibraryQuery*
  kLibraryFreeQuery = 0x1705,      // argument: the LibraryQuery* a run filled
};

// One track of the library (itemRecordW).
struct LibraryItem {
  wchar_t* filename;
  wchar_t* texts[11];  // title, ext, album, artist, comment, genre, albumartist, two gains, publisher, composer
  int year, track, tracks, length;
  int rating;  // 0..5 as the library keeps it; an odd library may give anything
  int playcount;
  int64_t lastplay, lastupd, filetime;
  int filesize, bitrate, type, disc, discs, bpm;
  void* extendedInfo;
  wchar_t* category;
};
static_assert(sizeof(LibraryItem) == 128, "the library's record is 128 bytes on 32-bit Windows");
static_assert(offsetof(LibraryItem, rating) == 64, "rating at 64");
static_assert(offsetof(LibraryItem, lastplay) == 72, "lastplay at 72");
static_assert(offsetof(LibraryItem, category) == 124, "category at 124");

struct LibraryItemList {
  LibraryItem* items;
  int size;
  int alloc;
};

struct LibraryQuery {
  wchar_t* query;  // "rating > 0"
  int maxResults;  // 0: all
  LibraryItemList results;
};

struct LibraryFileRating {
  const wchar_t* fileName;
  int newRating;
};

// What the plugin knows of the library.
enum LibraryPresence {
  kLibraryUnknown,  // the player answers the registration by name with 0: it cannot tell
  kNoLibrary,       // the player knows the name, and no library window answers
  kLibraryPresent,
};

// The library's window, asked of the player each time (the library may come and go).
LibraryPresence findLibrary(HWND* window);
// The library's "Save ratings to file" switch (writeratings in its gen_ml.ini): it writes files itself.
bool libraryWritesRatings();
// The library's rating of the file, 0 when it holds none or there is no library.
int libraryRatingOf(HWND library, const wchar_t* path);
// Tells the player that the file now holds a new rating, so that its media
// library reads the file's tags again; a library that would keep its own rating
// of a file whose rating was removed is told of the removal.
void notifyRatingSaved(const WCHAR* path, int stars);
// The path of the library's gen_ml.ini beside the plugin's settings; false when it
// does not fit MAX_PATH.
bool mediaLibrarySettingsPath(WCHAR* path);
// Runs the query; true when it gave records, which freeLibraryQuery gives back.
bool runLibraryQuery(HWND library, LibraryQuery* query);
void freeLibraryQuery(HWND library, LibraryQuery* query);
