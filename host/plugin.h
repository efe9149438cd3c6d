// SPDX-License-Identifier: LGPL-2.1-or-later
// The plugin's chief header: the record handed to the player, the process-wide
// state, and the operations shared between the host, rating and tray code.
#pragma once

#include <windows.h>

#include "library/library_import.h"
#include "tray/rating_batch.h"
#include "rating/store/rewrite_job.h"

// What the player reads from winampGetGeneralPurposePlugin(); the layout is the
// player's, one machine word per field.
struct PluginHeader {
  int version;
  const char* description;
  int (*init)();
  void (*config)();
  void (*quit)();
  HWND hostWindow;           // written by the player before init
  HINSTANCE moduleInstance;  // written by the player before init
};

enum {
  kStarLevels = 6,    // 0 to 5 stars
  kTitleChars = 128,  // tooltip room: 127 characters and the terminator
  kEntryPathChars = 32768,  // the longest path Windows knows, and the terminator
};

struct PluginState {
  int active;                    // nonzero: icon shown and messages handled
  WCHAR settingsPath[MAX_PATH];  // full path of gen_id3vimbrel.ini
  WCHAR journalPath[MAX_PATH];   // the rewrite journal beside it, gen_id3vimbrel.journal
  WNDPROC previousWindowProc;    // the host window's own procedure
  HICON menuIcons[kStarLevels];  // star, hot star, current, hot current, dot, hot dot
  HICON trayIcons[kStarLevels];  // 0 to 5 stars
  SYSTEMTIME refreshStamp;       // when a refresh was last asked for
  UINT taskbarMessage;           // "TaskbarCreated"
  int iconShown;                 // the tray icon has been added
  int currentRating;             // 0 to 5, what the icon and the menu show
  WCHAR title[kTitleChars];      // first 127 characters of the current title
  UINT_PTR refreshTimer;         // pending refresh timer, 0 when none
  int starMenusOpen;             // star menus whose message loop is running
  int quitWhileStarMenuOpen;     // the player quit the plugin meanwhile
  int menuDpi;                   // LOGPIXELSY at init: the star menu's scale
  int menuPictureSize;           // pixels of the loaded menu icons
  int messagesPassedOn;          // messages the hook passed on that the player still handles
  WCHAR entryPathFromCodePage[kEntryPathChars];  // an 8-bit entry path, converted
  RewriteJob pendingSave;        // a chosen rating being written into a large file
  WCHAR pendingSavePath[kEntryPathChars];  // that file
  UINT_PTR saveTimer;            // the timer that carries the save on, 0 when none
  RatingBatch playerBatch;       // the player's rating of its selected entries, going into their files
  RatingBatch libraryBatch;      // the library's ratings going into the files
  UINT_PTR batchTimer;           // the timer that carries the batches on, 0 when none
  LibraryImportState libraryImportState;
  WCHAR notSavedListPath[MAX_PATH];  // the last library run's list of files not saved
  HWND prefsPage;                // the preferences page while it is open
  HINSTANCE languageModule;      // the player's translation of the plugin's words, or none
};

extern PluginHeader g_header;
extern PluginState g_state;

// Callbacks the player calls through PluginHeader.
int init();
void config();
void quit();

void buildSettingsPath();
// Switches the plugin on or off, as config's question does, and stores it.
void setPluginActive(int active);
