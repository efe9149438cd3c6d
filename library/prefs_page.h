// SPDX-License-Identifier: LGPL-2.1-or-later
// The plugin's page in the player's preferences (Plug-ins -> ID3 Vimbrel): the switches,
// and the command that saves the library's ratings into the files, with its progress
// and report.
#pragma once

#include <windows.h>

#include <stdint.h>

// The player's record of a page (prefsDlgRecW); it keeps a pointer to it while the page is listed.
struct PrefsPageRecord {
  HINSTANCE instance;
  int dialogId;
  void* dialogProc;
  wchar_t* name;
  intptr_t where;  // 1: under "Plug-ins"
  intptr_t id;     // the player's
  void* next;      // the player's
};

void addPrefsPage();
void removePrefsPage();
// The page, when it is open, shows the switches and the library command as they are now.
void updatePrefsPage();
// Only the library command's buttons, progress and report.
void updatePrefsPageProgress();
