// SPDX-License-Identifier: LGPL-2.1-or-later
// The shipped DLL's image: its export, what it imports, and its resources.
#include <set>
#include <vector>

#include "support/test_host.h"

namespace {

struct IconGroupEntry {
  BYTE width, height, colors, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};

class ModuleImage : public ::testing::Test {
 protected:
  void SetUp() override {
    module = LoadLibraryW(findPluginDll().c_str());
    ASSERT_NE(module, nullptr);
    base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  }
  void TearDown() override { FreeLibrary(module); }
  const IMAGE_DATA_DIRECTORY& directory(int which) { return nt->OptionalHeader.DataDirectory[which]; }

  HMODULE module = nullptr;
  BYTE* base = nullptr;
  IMAGE_NT_HEADERS* nt = nullptr;
};

TEST_F(ModuleImage, IsA32BitDllWhoseOneExportIsThePlayerEntry) {
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
  EXPECT_TRUE(nt->FileHeader.Characteristics & IMAGE_FILE_DLL);
  auto* exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY*>(
      base + directory(IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress);
  ASSERT_EQ(exports->NumberOfNames, 1u);
  auto* names = reinterpret_cast<DWORD*>(base + exports->AddressOfNames);
  EXPECT_STREQ(reinterpret_cast<char*>(base + names[0]), "winampGetGeneralPurposePlugin");
}

TEST_F(ModuleImage, ImportsOnlyWindowsSystemDlls) {
  const std::set<std::string> system = {"kernel32.dll", "user32.dll", "shell32.dll", "gdi32.dll",
                                        "comctl32.dll", "msvcrt.dll"};
  auto* imports = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(
      base + directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress);
  int count = 0;
  for (; imports->Name; ++imports, ++count) {
    std::string name = reinterpret_cast<char*>(base + imports->Name);
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(system.count(name)) << "imports " << name;
  }
  EXPECT_GE(count, 3);
}

TEST_F(ModuleImage, CarriesTheTwelveIconsAtTheirSizesWith32BitColour) {
  const std::vector<int> menuSizes = {12, 15, 18, 24}, traySizes = {16, 20, 24, 32, 40, 48};
  for (int id : {103, 104, 105, 106, 107, 108, 110, 111, 112, 113, 114, 115}) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
    ASSERT_NE(found, nullptr) << id;
    auto* group = static_cast<BYTE*>(LockResource(LoadResource(module, found)));
    ASSERT_NE(group, nullptr);
    const std::vector<int>& sizes = id < 110 ? menuSizes : traySizes;
    WORD images = *reinterpret_cast<WORD*>(group + 4);
    ASSERT_EQ(images, sizes.size()) << id;
    for (size_t i = 0; i < sizes.size(); ++i) {
      // Group entries are 14 bytes, packed.
      IconGroupEntry entry;
      memcpy(&entry, group + 6 + 14 * i, 14);
      EXPECT_EQ(entry.width, sizes[i]) << id;
      EXPECT_EQ(entry.height, sizes[i]) << id;
      EXPECT_EQ(entry.bitCount, 32) << id;
    }
  }
  EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(109), MAKEINTRESOURCEW(14)), nullptr);
}

TEST_F(ModuleImage, CarriesAVersionResourceNamingTheProduct) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));  // RT_VERSION
  ASSERT_NE(found, nullptr);
  auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
  DWORD size = SizeofResource(module, found);
  std::wstring text(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
  EXPECT_NE(text.find(L"ID3 Vimbrel"), std::wstring::npos);
  EXPECT_NE(text.find(L"gen_id3vimbrel.dll"), std::wstring::npos);
  EXPECT_NE(text.find(L"0.6.0"), std::wstring::npos);
}

}  // namespace
