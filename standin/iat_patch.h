// SPDX-License-Identifier: LGPL-2.1-or-later
// Replaces an imported function in a loaded module by rewriting its import
// address table, so that platform calls a test (or the stand-in) must observe or
// answer are seen without changing the module.
#pragma once

#include <windows.h>

// Returns the original address, or null when the module does not import it.
void* patchImport(HMODULE module, const char* dllName, const char* functionName, void* replacement);
