// SPDX-License-Identifier: LGPL-2.1-or-later
// Scratch files for the native fuzz targets; see fuzz_files.h.
#include "fuzz/fuzz_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::string folder;

void removeFolderAtExit() { removePath(folder); }

}  // namespace

std::string scratchPath(const char* name) {
  if (folder.empty()) {
    struct stat shm;
    const char* base = stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/vimbrel-fuzz-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    folder = pattern;
    std::atexit(&removeFolderAtExit);
  }
  return folder + "/" + name;
}

bool writeWholeFile(const std::string& path, const unsigned char* data, size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    const ssize_t put = write(fd, data + done, size - done);
    if (put <= 0) break;
    done += static_cast<size_t>(put);
  }
  return close(fd) == 0 && done == size;
}

bool readWholeFile(const std::string& path, std::vector<unsigned char>* bytes) {
  bytes->clear();
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  unsigned char buffer[65536];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) bytes->insert(bytes->end(), buffer, buffer + got);
  close(fd);
  return got == 0;
}

bool pathExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

void removePath(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  if (!S_ISDIR(info.st_mode)) {
    unlink(path.c_str());
    return;
  }
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
        removePath(path + "/" + entry->d_name);
      }
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}
