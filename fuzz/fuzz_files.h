// SPDX-License-Identifier: LGPL-2.1-or-later
// Files for the native fuzz targets: one scratch folder per process, in /dev/shm when there is
// one (so that the many small files never reach a disk), removed when the process ends.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// "<scratch folder>/<name>"; the folder is made on first use.
std::string scratchPath(const char* name);

bool writeWholeFile(const std::string& path, const unsigned char* data, size_t size);
bool readWholeFile(const std::string& path, std::vector<unsigned char>* bytes);
bool pathExists(const std::string& path);
// Removes a file, or a folder with everything in it.
void removePath(const std::string& path);
