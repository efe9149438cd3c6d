// SPDX-License-Identifier: LGPL-2.1-or-later
#include "support/scratch.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

void removeTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    std::wstring path = folder + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      removeTree(path + L"\\");
      RemoveDirectoryW(path.c_str());
    } else {
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(path.c_str());
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

}  // namespace

std::wstring widen(const std::string& utf8) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring wide(length > 0 ? length - 1 : 0, L'\0');
  if (length > 1) MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], length);
  return wide;
}

std::wstring platformForm(const std::string& utf8) {
  const std::wstring wide = widen(utf8);
  if (wide.size() < 240 || wide.compare(0, 4, L"\\\\?\\") == 0) return wide;
  return L"\\\\?\\" + wide;
}

bool makeFolder(const std::string& path) { return CreateDirectoryW(platformForm(path).c_str(), nullptr) != 0; }

std::string scratchFolder() {
  char root[MAX_PATH] = "";
  std::string base;
  if (GetEnvironmentVariableA("VIMBREL_SCRATCH", root, MAX_PATH) && root[0] == '/') {
    base = std::string("Z:") + root;  // a Unix path, as CTest passes it
  } else if (root[0]) {
    base = root;
  } else {
    GetTempPathA(MAX_PATH, root);
    base = std::string(root) + "vimbrel-tests";
  }
  for (char& c : base)
    if (c == '/') c = '\\';
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string folder = base + "\\" + test->test_suite_name() + "." + test->name() + "\\";
  CreateDirectoryA(base.c_str(), nullptr);
  CreateDirectoryA(folder.c_str(), nullptr);
  removeTree(platformForm(folder));
  return folder;
}

std::string readFileBytes(const std::string& path) {
  std::string bytes;
  HANDLE file = CreateFileW(platformForm(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

void writeFileBytes(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileW(platformForm(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_EQ(written, bytes.size());
}

bool fileExists(const std::string& path) {
  return GetFileAttributesW(platformForm(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> namesInFolder(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((platformForm(folder) + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const int length = WideCharToMultiByte(CP_UTF8, 0, name.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(length > 0 ? length - 1 : 0, '\0');
    if (length > 1) WideCharToMultiByte(CP_UTF8, 0, name.c_str(), -1, &utf8[0], length, nullptr, nullptr);
    names.push_back(utf8);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}
