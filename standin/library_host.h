// SPDX-License-Identifier: LGPL-2.1-or-later
// The stand-in's media library: a hidden window of its own that answers the
// library's messages (host/media_library.h) from a list of tracks, and the
// player's rating messages and menu commands that the library carries out.
//
// Three players can be played: one that cannot tell whether it has a library
// (the registration of "LibraryGetWnd" answers 0; the default), one without a
// library (the name registers, the main window answers no library window) and
// one with a library read from a file, UTF-8, one track a line:
//   RATING<TAB>PATH
// The rating is kept as given, even outside 0..5; "<null>" as PATH stands for a
// record without a file name, an empty PATH for an empty one.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "host/media_library.h"

struct LibraryEntry {
  std::wstring path;
  bool nullPath = false;  // the record's file name is a null pointer
  int rating = 0;
};

// Items a query handed out, with their count as handed out.
struct LibraryRun {
  LibraryItem* items;
  int count;
};

struct StandinLibrary {
  LibraryPresence presence = kLibraryUnknown;
  std::vector<LibraryEntry> entries;  // in file order; what the library adds goes last
  HWND window = nullptr;              // the library's window, while it is present
  LRESULT queryAnswer = 1;            // 0 or -1: a query answers that and fills nothing
  int ratingQueries = 0;              // kLibraryGetFileRating messages received
  std::vector<LibraryRun> runs;       // handed out by a query and not yet freed
};

// The number "LibraryGetWnd" registers to, where the player knows the name.
const LRESULT kStandinLibraryWindowMessage = 0x10101;

// Reads the tracks of a library file and makes the library present.
bool readLibraryFile(const std::wstring& file);
// The library's window; call after the main window exists.
void createLibraryWindow();
void destroyLibraryWindow();
// The registration of the library's name: 0 for a player that cannot tell.
LRESULT libraryNameNumber();
// The main window's messages the library answers (its window by number, rating
// the current or selected entries); false when the message is not the library's.
bool answerLibraryMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* answer);
// "RATING PATH" of an entry, the path in UTF-8 ("<null>" for none).
std::string libraryEntryText(const LibraryEntry& entry);
