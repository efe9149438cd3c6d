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
