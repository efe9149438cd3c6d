// SPDX-License-Identifier: LGPL-2.1-or-later
// Which star count a tray icon handle the plugin hands the shell stands for:
// the stand-in program and the benchmark watch the plugin load its pictures.
#pragma once

#include <windows.h>

// Watches the loaded plugin's LoadImageW calls; call before init.
void recordTrayPictures(HMODULE plugin);
// 0 to 5 for one of the plugin's tray pictures, -1 for anything else.
int starsOfTrayPicture(HICON icon);
