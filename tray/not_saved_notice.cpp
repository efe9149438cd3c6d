// SPDX-License-Identifier: LGPL-2.1-or-later
// The word to the user when a chosen rating could not be saved: one sentence
// in a balloon on the plugin's icon, naming the reason and the file.
#include "tray/tray.h"

namespace {

const WCHAR kLead[] = L"The rating was not saved: ";

// Each sentence reads kLead, before, the file's name, after.
struct Reason {
  RatingSaveResult result;
  const WCHAR* before;
  const WCHAR* after;
};

const Reason kReasons[] = {
    {kRatingFileMissing, L"", L" cannot be found."},
    {kRatingFileReadOnly, L"", L" is read-only."},
    {kRatingFileLocked, L"", L" is in use by another program."},
    {kRatingDiskFull, L"the disk holding ", L" is full."},
    {kRatingTagRefused, L"the tag of ", L" cannot be changed safely."},
    {kRatingUnknownFormat, L"", L" is in no format the plugin rates (MP3, FLAC, Ogg Vorbis, Opus, MP4, WAV, AIFF, AAC)."},
    {kRatingNotSaved, L"", L" could not be written."},
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
    // A name too long for the balloon keeps its start and ends in an ellipsis.
    const int room = kBalloonChars - 1 - lstrlenW(kLead) - lstrlenW(reason.before) - lstrlenW(reason.after);
    WCHAR name[kBalloonChars];
    lstrcpynW(name, fileName(path), kBalloonChars);
    if (lstrlenW(name) > room) {
      name[room - 1] = L'\x2026';
      name[room] = 0;
    }
    WCHAR text[kBalloonChars];
    lstrcpyW(text, kLead);
    lstrcatW(text, reason.before);
    lstrcatW(text, name);
    lstrcatW(text, reason.after);
    showTrayBalloon(text);
    return;
  }
}
