// SPDX-License-Identifier: LGPL-2.1-or-later
#include "library/library_import.h"

#include <stdio.h>
#include <stdlib.h>

#include "host/media_library.h"
#include "host/plugin.h"
#include "host/settings.h"
#include "library/prefs_page.h"
#include "library/rating_batch.h"

namespace {

const WCHAR kRatedQuery[] = L"rating > 0";
const WCHAR kNotSavedListSuffix[] = L"-not-saved.txt";

const WCHAR* const kOutcomeNames[kBatchOutcomes] = {
    L"", L"rated", L"already held it", L"kept their own rating", L"",
    L"no full path", L"missing", L"read-only", L"locked", L"disk full",
    L"format not rated", L"refused as malformed", L"could not be written",
};

// Upper-case FNV-1a of the path: the same file named in another case is the same file.
DWORD pathHash(const WCHAR* path) {
  DWORD hash = 2166136261u;
  for (; *path; ++path) {
    WCHAR c = *path;
    if (c < 0x80) {
      if (c >= L'a' && c <= L'z') c = static_cast<WCHAR>(c - 32);
      if (c == L'/') c = L'\\';
    } else {
      c = static_cast<WCHAR>(reinterpret_cast<ULONG_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(c))));
    }
    hash = (hash ^ c) * 16777619u;
  }
  return hash;
}

// Marks every later record of a file already listed, so that each file is written once.
// False when the table does not fit in memory.
bool skipRepeatedFiles(RatingBatch* batch) {
  DWORD slots = 16;
  while (slots < 2u * static_cast<DWORD>(batch->count)) slots *= 2;
  int* table = static_cast<int*>(malloc(slots * sizeof(int)));
  if (!table) return false;
  for (DWORD i = 0; i < slots; ++i) table[i] = -1;
  for (int i = 0; i < batch->count; ++i) {
    const WCHAR* path = batchPath(batch, i);
    if (!path[0]) continue;
    for (DWORD slot = pathHash(path) & (slots - 1);; slot = (slot + 1) & (slots - 1)) {
      if (table[slot] < 0) {
        table[slot] = i;
        break;
      }
      if (lstrcmpiW(batchPath(batch, table[slot]), path) == 0) {
        batch->entries[i].outcome = kBatchSkipped;
        ++batch->outcomes[kBatchSkipped];
        break;
      }
    }
  }
  free(table);
  return true;
}

// The library's records into the batch; the records go back to the library at once.
bool listRatedTracks(HWND library, RatingBatch* batch) {
  LibraryQuery query = {};
  query.query = const_cast<wchar_t*>(kRatedQuery);
  query.maxResults = 0;
  if (!runLibraryQuery(library, &query)) return false;
  bool fits = true;
  for (int i = 0; i < query.results.size && fits; ++i) {
    const LibraryItem& item = query.results.items[i];
    if (item.rating <= 0) continue;  // nothing to save
    fits = addToBatch(batch, item.filename ? item.filename : L"", item.rating);
  }
  freeLibraryQuery(library, &query);
  return fits && batch->count > 0;
}

void notSavedListPath(WCHAR* path) {
  lstrcpynW(path, g_state.settingsPath, MAX_PATH);
  WCHAR* dot = nullptr;
  for (WCHAR* at = path; *at; ++at)
    if (*at == L'.') dot = at;
  if (!dot || (dot - path) + lstrlenW(kNotSavedListSuffix) + 1 > MAX_PATH) {
    path[0] = 0;
    return;
  }
  lstrcpyW(dot, kNotSavedListSuffix);
}

void writeText(HANDLE file, const WCHAR* text) {
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(lstrlenW(text)) * sizeof(WCHAR), &written, nullptr);
}

// One line a file not saved, "reason<TAB>path", in UTF-16 as Notepad reads it.
void writeNotSavedList(const RatingBatch* batch) {
  WCHAR path[MAX_PATH];
  notSavedListPath(path);
  lstrcpynW(g_state.notSavedListPath, path, MAX_PATH);
  if (!path[0]) return;
  HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    g_state.notSavedListPath[0] = 0;
    return;
  }
  writeText(file, L"\xFEFF");
  for (int i = 0; i < batch->count; ++i) {
    const int outcome = batch->entries[i].outcome;
    if (outcome < kFirstNotSaved) continue;
    writeText(file, kOutcomeNames[outcome]);
    writeText(file, L"\t");
    writeText(file, batchPath(batch, i));
    writeText(file, L"\r\n");
  }
  CloseHandle(file);
}

int notSavedCount(const RatingBatch* batch) {
  int count = 0;
  for (int outcome = kFirstNotSaved; outcome < kBatchOutcomes; ++outcome) count += batch->outcomes[outcome];
  return count;
}

// Appends with room checked; a report too long for the buffer is cut.
void append(WCHAR* text, int chars, const WCHAR* more) {
  const int used = lstrlenW(text);
  if (used < chars - 1) lstrcpynW(text + used, more, chars - used);
}

}  // namespace

bool startLibraryImport() {
  if (libraryImportRunning()) return true;
  RatingBatch& batch = g_state.libraryBatch;
  ZeroMemory(&batch, sizeof batch);
  batch.waiting = -1;
  g_state.libraryImportState = kImportNoLibrary;
  HWND library = nullptr;
  if (findLibrary(&library) != kLibraryPresent) return false;
  g_state.libraryImportState = kImportNothingRated;
  if (!listRatedTracks(library, &batch) || !skipRepeatedFiles(&batch)) {
    releaseBatchLists(&batch);
    ZeroMemory(batch.outcomes, sizeof batch.outcomes);
    return false;
  }
  batch.fromLibrary = true;
  batch.libraryWins = readSetting(kLibraryWinsKey, 0) != 0;
  g_state.libraryImportState = kImportRunning;
  carryOnBatches();
  return true;
}

void cancelLibraryImport() {
  if (libraryImportRunning()) g_state.libraryBatch.cancelled = true;
}

bool libraryImportRunning() { return batchRunning(&g_state.libraryBatch); }

int libraryImportPercent() {
  const RatingBatch& batch = g_state.libraryBatch;
  if (!libraryImportRunning()) return g_state.libraryImportState == kImportDone ? 100 : 0;
  return batch.count ? MulDiv(batch.next, 100, batch.count) : 0;
}

void finishLibraryImport() {
  RatingBatch& batch = g_state.libraryBatch;
  writeNotSavedList(&batch);
  releaseBatchLists(&batch);
  g_state.libraryImportState = kImportDone;
  libraryImportProgressed();
}

void libraryImportProgressed() {
  if (g_state.libraryImportState != kImportIdle) updatePrefsPageProgress();
}

void libraryImportReport(WCHAR* text, int chars) {
  const RatingBatch& batch = g_state.libraryBatch;
  text[0] = 0;
  WCHAR line[160];
  switch (g_state.libraryImportState) {
    case kImportIdle:
      return;
    case kImportNoLibrary:
      return append(text, chars, L"The player's media library does not answer.");
    case kImportNothingRated:
      return append(text, chars, L"The media library holds no rated tracks.");
    case kImportRunning:
      _snwprintf(line, 159, L"Saving: %d of %d tracks", batch.next, batch.count);
      line[159] = 0;
      return append(text, chars, line);
    case kImportDone:
      break;
  }
  _snwprintf(line, 159, L"%s%d rated, %d already held it, %d kept their own rating, %d not saved",
             batch.cancelled ? L"Cancelled: " : L"", batch.outcomes[kBatchRated], batch.outcomes[kBatchAlreadyHeld],
             batch.outcomes[kBatchKeptOwn], notSavedCount(&batch));
  line[159] = 0;
  append(text, chars, line);
  if (notSavedCount(&batch) == 0) return;
  const WCHAR* separator = L" (";
  for (int outcome = kFirstNotSaved; outcome < kBatchOutcomes; ++outcome) {
    if (!batch.outcomes[outcome]) continue;
    _snwprintf(line, 159, L"%s%d %s", separator, batch.outcomes[outcome], kOutcomeNames[outcome]);
    line[159] = 0;
    append(text, chars, line);
    separator = L", ";
  }
  append(text, chars, L").");
  if (g_state.notSavedListPath[0]) {
    append(text, chars, L" The files not saved are listed in ");
    append(text, chars, g_state.notSavedListPath);
  }
}
