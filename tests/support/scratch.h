// Per-test scratch folders under the build folder.
#pragma once

#include <string>

// A fresh, empty folder named after the running test (Windows path, trailing backslash).
std::string scratchFolder();
std::string readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
