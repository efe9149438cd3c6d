#include "support/scratch.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

void removeTree(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    std::string path = folder + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      removeTree(path + "\\");
      RemoveDirectoryA(path.c_str());
    } else {
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(path.c_str());
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

}  // namespace

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
  removeTree(folder);
  return folder;
}

std::string readFileBytes(const std::string& path) {
  std::string bytes;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

void writeFileBytes(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_EQ(written, bytes.size());
}

bool fileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
