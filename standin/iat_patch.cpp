// SPDX-License-Identifier: LGPL-2.1-or-later
#include "standin/iat_patch.h"

#include <string.h>

void* patchImport(HMODULE module, const char* dllName, const char* functionName, void* replacement) {
  BYTE* base = reinterpret_cast<BYTE*>(module);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return nullptr;
  auto* imports = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
  for (; imports->Name; ++imports) {
    if (_stricmp(reinterpret_cast<char*>(base + imports->Name), dllName) != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imports->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imports->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (strcmp(reinterpret_cast<char*>(byName->Name), functionName) != 0) continue;
      void* original = reinterpret_cast<void*>(slots->u1.Function);
      DWORD oldProtect;
      VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &oldProtect);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof(void*), oldProtect, &oldProtect);
      return original;
    }
  }
  return nullptr;
}
