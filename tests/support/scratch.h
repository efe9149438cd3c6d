// SPDX-License-Identifier: LGPL-2.1-or-later
// Per-test scratch folders under the build folder.
#pragma once

#include <string>
#include <vector>

// Paths here are UTF-8 and may be long: the helpers open them in their UTF-16
// "\\?\" form, so that names in any script and of any length work.
// A fresh, empty folder named after the running test (Windows path, trailing backslash).
std::string scratchFolder();
// UTF-8 to UTF-16, and the form the platform calls take (with "\\?\" when long).
std::wstring widen(const std::string& utf8);
std::wstring platformForm(const std::string& utf8);
bool makeFolder(const std::string& path);
std::string readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
// The names of the files and folders in `folder` (trailing backslash), sorted.
std::vector<std::string> namesInFolder(const std::string& folder);
