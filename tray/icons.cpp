// SPDX-License-Identifier: LGPL-2.1-or-later
// The tray and menu pictures, loaded at the size the display asks for: the
// small-icon metric for the tray, the process's DPI for the star menu.
#include <stdlib.h>

#include "host/plugin.h"
#include "tray/tray.h"

namespace {

const int kFirstTrayIcon = 110;
const int kFirstMenuIcon = 103;
const int kBaseDpi = 96;
const int kBaseMenuPicture = 12;
// The menu sizes make_icons.py draws; anything between is the nearest of them,
// so that the pictures are never stretched by more than a pixel or two.
const int kMenuPictureSizes[] = {12, 15, 18, 24};

// What the screen reports, kept to 100 % through 500 % so that a stray
// setting cannot make the menu vanish or fill the screen.
int screenDpi() {
  HDC screen = GetDC(nullptr);
  int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : kBaseDpi;
  if (screen) ReleaseDC(nullptr, screen);
  if (dpi < kBaseDpi) dpi = kBaseDpi;
  if (dpi > 5 * kBaseDpi) dpi = 5 * kBaseDpi;
  return dpi;
}

int nearestMenuPictureSize(int wanted) {
  int best = kMenuPictureSizes[0];
  for (int size : kMenuPictureSizes)
    if (abs(size - wanted) < abs(best - wanted)) best = size;
  return best;
}

// A private copy at exactly that size (not the shared one LoadIconW gives),
// so that quit can destroy it.
HICON loadIconAt(int id, int width, int height) {
  return static_cast<HICON>(
      LoadImageW(g_header.moduleInstance, MAKEINTRESOURCEW(id), IMAGE_ICON, width, height, LR_DEFAULTCOLOR));
}

}  // namespace

void loadIcons() {
  g_state.menuDpi = screenDpi();
  g_state.menuPictureSize = nearestMenuPictureSize(scaledToMenuDpi(kBaseMenuPicture));
  const int trayWidth = GetSystemMetrics(SM_CXSMICON), trayHeight = GetSystemMetrics(SM_CYSMICON);
  for (int i = 0; i < kStarLevels; ++i)
    g_state.trayIcons[i] = loadIconAt(kFirstTrayIcon + i, trayWidth, trayHeight);
  for (int i = 0; i < kStarLevels; ++i)
    g_state.menuIcons[i] = loadIconAt(kFirstMenuIcon + i, g_state.menuPictureSize, g_state.menuPictureSize);
}

void destroyIcons() {
  for (HICON& icon : g_state.trayIcons) {
    DestroyIcon(icon);
    icon = nullptr;
  }
  for (HICON& icon : g_state.menuIcons) {
    DestroyIcon(icon);
    icon = nullptr;
  }
}

int scaledToMenuDpi(int pixels) { return MulDiv(pixels, g_state.menuDpi, kBaseDpi); }
