// SPDX-License-Identifier: LGPL-2.1-or-later
// The word to the user when a chosen rating could not be saved: one sentence
// in a balloon on the plugin's icon, naming the reason and the file.
#include "host/texts.h"
#include "resources/resource_ids.h"
#include "tray/tray.h"

namespace {

struct Reason {
  RatingSaveResult result;
  UINT text;  // %1: the file's name
};

const Reason kReasons[] = {
    {kRatingFileMissing, IDS_NOT_SAVED_MISSING},
    {kRatingFileReadOnly, IDS_NOT_SAVED_READ_ONLY},
    {kRatingFileLocked, IDS_NOT_SAVED_LOCKED},
    {kRatingDiskFull, IDS_NOT_SAVED_DISK_FULL},
    {kRatingTagRefused, IDS_NOT_SAVED_REFUSED},
    {kRatingUnknownFormat, IDS_NOT_SAVED_UNKNOWN_FORMAT},
    {kRatingNotSaved, IDS_NOT_SAVED_OTHER},
};

// The last component of the path; the whole path when it ends in a separator.
const WCHAR* fileName(const WCHAR* path) {
  const WCHAR* name = path;
  for (const WCHAR* at = path; *at; ++at)
    if ((*at == L'\\' || *at == L'/') && at[1]) name = at + 1;
  return name;
}

}  // namespace

void showRatingNotSaved(RatingSaveResult result, const WCHAR* path) {
  // With no current entry there is no file the user could have meant.
  if (!path || !path[0]) return;
  for (const Reason& reason : kReasons) {
    if (reason.result != result) continue;
    WCHAR name[kBalloonChars];
    lstrcpynW(name, fileName(path), kBalloonChars);
    const WCHAR* places[] = {name};
    // The sentence with the whole name, measured with room to spare: a name too long
    // for the balloon keeps its start and ends in an ellipsis.
    WCHAR text[2 * kBalloonChars];
    formatText(reason.text, text, 2 * kBalloonChars, places, 1);
    const int over = lstrlenW(text) - (kBalloonChars - 1);
    const int nameLength = lstrlenW(name);
    if (over > 0 && nameLength > over) {
      name[nameLength - over - 1] = L'\x2026';
      name[nameLength - over] = 0;
    }
    formatText(reason.text, text, kBalloonChars, places, 1);
    showTrayBalloon(text);
    return;
  }
}
