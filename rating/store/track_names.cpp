// SPDX-License-Identifier: LGPL-2.1-or-later
// The names of the files the store makes beside a track; see track_names.h.
#include "rating/store/track_names.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>

#include "rating/file/track_file.h"
#include "rating/store/tag_file.h"

const wchar_t kLeftoverSuffix[] = L".XXXXXX";
const wchar_t kReplacedSuffix[] = L".vimbrel-old";
const wchar_t kRewriteCopySuffix[] = L".vimbrel-new";

wchar_t* freeNameBeside(const wchar_t* path, const wchar_t* suffix) {
  const int kNames = 16;
  for (int attempt = 1; attempt <= kNames; ++attempt) {
    wchar_t numbered[40];
    if (attempt == 1)
      std::swprintf(numbered, 40, L"%ls", suffix);
    else
      std::swprintf(numbered, 40, L"%ls-%d", suffix, attempt);
    wchar_t* name = pathWithSuffix(path, numbered);
    if (!name) return nullptr;
    FileStatus status = kFileFailed;
    // Free only when the platform says so: a name it cannot see may still be taken.
    if (!pathInfo(name, &status).exists && status == kFileMissing) return name;
    std::free(name);
  }
  return nullptr;
}

namespace {

bool endsWith(const wchar_t* text, const wchar_t* suffix) {
  const size_t length = std::wcslen(text);
  const size_t suffixLength = std::wcslen(suffix);
  return length >= suffixLength && std::wcscmp(text + length - suffixLength, suffix) == 0;
}

// `name` is `path` with `suffix`, or with `suffix` and "-2" to "-16" (freeNameBeside).
bool isNumberedName(const wchar_t* name, const wchar_t* path, const wchar_t* suffix) {
  const size_t pathLength = std::wcslen(path);
  const size_t suffixLength = std::wcslen(suffix);
  if (std::wcsncmp(name, path, pathLength) != 0 || std::wcsncmp(name + pathLength, suffix, suffixLength) != 0)
    return false;
  const wchar_t* rest = name + pathLength + suffixLength;
  if (rest[0] == 0) return true;
  if (rest[0] != L'-') return false;
  int number = 0;
  for (const wchar_t* at = rest + 1; *at; ++at) {
    if (*at < L'0' || *at > L'9' || number > 16) return false;
    number = number * 10 + (*at - L'0');
  }
  return number >= 2 && number <= 16 && rest[1] != L'0';
}

// A plain copy's name as earlier versions made it: "vimbrel-" eight hex digits ".tmp".
bool isPlainCopyName(const wchar_t* path) {
  const size_t length = std::wcslen(path);
  const wchar_t* name = path + length;
  while (name > path && name[-1] != L'\\' && name[-1] != L'/') --name;
  if (std::wcslen(name) != 20 || std::wcsncmp(name, L"vimbrel-", 8) != 0 || !endsWith(name, L".tmp"))
    return false;
  for (int i = 8; i < 16; ++i)
    if (!std::iswxdigit(name[i])) return false;
  return true;
}

}  // namespace

bool noteNamesOnlyOwnFiles(const RewriteRecord& note) {
  if (note.backup && !isNumberedName(note.backup, note.track, kReplacedSuffix)) return false;
  switch (note.route) {
    case kRouteNewFile:
      return !note.input && (!note.copy || isNumberedName(note.copy, note.track, kRewriteCopySuffix));
    case kRouteEarlierCopy:
      return !note.input && (!note.copy || endsWith(note.copy, kLeftoverSuffix));
    case kRouteEarlierPlainCopy:
      return note.input && isPlainCopyName(note.input) &&
             (!note.copy || isNumberedName(note.copy, note.input, kLeftoverSuffix));
  }
  return false;
}
