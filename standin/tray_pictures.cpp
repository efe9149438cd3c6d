// SPDX-License-Identifier: LGPL-2.1-or-later
#include "standin/tray_pictures.h"

#include "standin/iat_patch.h"

namespace {

const ULONG_PTR kFirstTrayPicture = 110;
HICON g_trayPictures[6] = {};  // as the plugin loaded them

HANDLE WINAPI recordingLoadImage(HINSTANCE instance, LPCWSTR name, UINT type, int width, int height, UINT flags) {
  HANDLE image = LoadImageW(instance, name, type, width, height, flags);
  const ULONG_PTR id = reinterpret_cast<ULONG_PTR>(name);
  if (type == IMAGE_ICON && id >= kFirstTrayPicture && id < kFirstTrayPicture + 6)
    g_trayPictures[id - kFirstTrayPicture] = static_cast<HICON>(image);
  return image;
}

}  // namespace

void recordTrayPictures(HMODULE plugin) {
  patchImport(plugin, "user32.dll", "LoadImageW", reinterpret_cast<void*>(recordingLoadImage));
}

int starsOfTrayPicture(HICON icon) {
  for (int i = 0; i < 6; ++i)
    if (icon && g_trayPictures[i] == icon) return i;
  return -1;
}
