// SPDX-License-Identifier: LGPL-2.1-or-later
// Numbers of the resources that code and the resource script share; plain defines,
// so that the resource compiler reads them too.
#pragma once

// The preferences page (Plug-ins -> ID3 Vimbrel) and its controls.
#define IDD_PREFS_PAGE 200
#define IDC_PREFS_ACTIVE 201
#define IDC_PREFS_SAVE_PLAYER_RATINGS 202
#define IDC_PREFS_LIBRARY_WINS 203
#define IDC_PREFS_SAVE_LIBRARY 204
#define IDC_PREFS_PROGRESS 205
#define IDC_PREFS_CANCEL 206
#define IDC_PREFS_REPORT 207
#define IDC_PREFS_LIBRARY_GROUP 208

// The plugin's words, in the string table of its own module and of every translation
// (a .lng module of the player's language packs). %1, %2 ... are numbered places a
// translation may put in any order; it must keep each one the English text has.
#define IDS_CAPTION 1
#define IDS_ASK_DISABLE 2
#define IDS_ASK_ACTIVATE 3
#define IDS_LIBRARY_NOTICE 4
// The Global Hotkeys actions: remove the rating, rate 1 to 5 stars, one more, one less.
#define IDS_HOTKEY_RATE_0 10
#define IDS_HOTKEY_RATE_1 11
#define IDS_HOTKEY_RATE_2 12
#define IDS_HOTKEY_RATE_3 13
#define IDS_HOTKEY_RATE_4 14
#define IDS_HOTKEY_RATE_5 15
#define IDS_HOTKEY_ONE_MORE 16
#define IDS_HOTKEY_ONE_LESS 17
// The balloon when a rating was not saved; %1 the file's name.
#define IDS_NOT_SAVED_MISSING 20
#define IDS_NOT_SAVED_READ_ONLY 21
#define IDS_NOT_SAVED_LOCKED 22
#define IDS_NOT_SAVED_DISK_FULL 23
#define IDS_NOT_SAVED_REFUSED 24
#define IDS_NOT_SAVED_UNKNOWN_FORMAT 25
#define IDS_NOT_SAVED_OTHER 26
// The tooltip while a large file is written; %1 the percentage.
#define IDS_SAVING_PROGRESS 30
// The star menu's rows for screen readers: 0 to 5 stars.
#define IDS_MENU_ROW_0 40
#define IDS_MENU_ROW_1 41
#define IDS_MENU_ROW_2 42
#define IDS_MENU_ROW_3 43
#define IDS_MENU_ROW_4 44
#define IDS_MENU_ROW_5 45
// The preferences page's controls.
#define IDS_PREFS_ACTIVE 50
#define IDS_PREFS_SAVE_PLAYER_RATINGS 51
#define IDS_PREFS_LIBRARY_GROUP 52
#define IDS_PREFS_LIBRARY_WINS 53
#define IDS_PREFS_SAVE_LIBRARY 54
#define IDS_PREFS_CANCEL 55
// The library command's progress and report.
#define IDS_REPORT_NO_LIBRARY 60
#define IDS_REPORT_NOTHING_RATED 61
#define IDS_REPORT_PROGRESS 62
#define IDS_REPORT_COUNTS 63
#define IDS_REPORT_CANCELLED 64
#define IDS_REPORT_WITH_REASONS 65
#define IDS_REPORT_REASON_SEPARATOR 66
#define IDS_REPORT_LIST 67
// The reasons, as counted in the report (%1 the count) and as named in the list of files.
#define IDS_REASON_COUNT_FIRST 70
#define IDS_REASON_NAME_FIRST 80

// Where the translations' module names this plugin: its GUID.
#define IDS_PLUGIN_GUID 65535
