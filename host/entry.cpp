// SPDX-License-Identifier: LGPL-2.1-or-later
// The module's one export and the records that live as long as the module.
#include "host/plugin.h"

PluginHeader g_header = {
    0x10, "ID3 Vimbrel v0.6 based on Kestrin' Vimbrel v0.1", nullptr, nullptr, nullptr, nullptr, nullptr,
};

PluginState g_state = {
    1,  // active until the settings file says otherwise
    {}, {}, nullptr, {}, {}, {}, 0, 0, 0, {}, 0, 0, 0, 0, 0, 0, {}, {}, {}, 0, {}, {}, 0, kImportIdle, {}, nullptr, nullptr,
};

extern "C" __declspec(dllexport) PluginHeader* winampGetGeneralPurposePlugin() {
  g_header.init = init;
  g_header.config = config;
  g_header.quit = quit;
  return &g_header;
}
