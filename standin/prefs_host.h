// SPDX-License-Identifier: LGPL-2.1-or-later
// The stand-in's preferences: it keeps the pages plugins add (WM_USER 1332,
// removed with 333) and shows one in a "Preferences" window of its own as the
// player does, the page a child dialog made from the plugin's template with the
// plugin's procedure. Scripts click the page's controls and read them by number.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

// A page as a plugin adds it (the player's record, one machine word a field).
struct PrefsPageRecord {
  HINSTANCE hInst;
  int dlgID;
  void* proc;  // the page's DLGPROC
  wchar_t* name;
  intptr_t where;
  intptr_t _id;  // the player's own
  void* next;    // the player's own
};

struct StandinPrefs {
  std::vector<PrefsPageRecord*> pages;  // as added, in order; the records are the plugins'
  HWND window = nullptr;                // the "Preferences" window, while open
  HWND page = nullptr;                  // the page shown in it
  PrefsPageRecord* shown = nullptr;     // the record of that page
};

// WM_USER 1332 (add), 333 (remove) and 380 (open at a page); false for other messages.
bool answerPrefsMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* answer);
// Opens the preferences at a page the player holds (null: the first one).
bool openPrefs(PrefsPageRecord* record);
// Destroys the page and its window; the page's procedure goes with its plugin.
void closePrefs();
// Clicks a control of the open page as a person does (BM_CLICK); the line to print.
std::string clickPrefsControl(int id);
// "prefs ID text="..." checked=N enabled=N visible=N" (and a progress bar's
// position and range), or "prefs ID missing".
std::string prefsControlReport(int id);
