// SPDX-License-Identifier: LGPL-2.1-or-later
#include "library/library_import.h"

#include <stdio.h>
#include <stdlib.h>

#include "host/media_library.h"
#include "host/plugin.h"
#include "host/settings.h"
#include "host/texts.h"
#include "tray/rating_batch.h"
#include "resources/resource_ids.h"

namespace {

const WCHAR kRatedQuery[] = L"rating > 0";
const WCHAR kNotSavedListSuffix[] = L"-not-saved.txt";

const int kReasonChars = 64;
const int kLineChars = 512;

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
  WCHAR reasons[kBatchOutcomes - kFirstNotSaved][kReasonChars];
  for (int reason = 0; reason < kBatchOutcomes - kFirstNotSaved; ++reason)
    loadText(IDS_REASON_NAME_FIRST + reason, reasons[reason], kReasonChars);
  for (int i = 0; i < batch->count; ++i) {
    const int outcome = batch->entries[i].outcome;
    if (outcome < kFirstNotSaved) continue;
    writeText(file, reasons[outcome - kFirstNotSaved]);
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

void number(WCHAR* text, int value) {
  _snwprintf(text, 11, L"%d", value);
  text[11] = 0;
}

// Appends with room checked; a report too long for the buffer is cut.
void append(WCHAR* text, int chars, const WCHAR* more) {
  const int used = lstrlenW(text);
  if (used < chars - 1) lstrcpynW(text + used, more, chars - used);
}

}  // namespace

namespace {

// The batch's end (all done, cancelled, or the player quitting): the list of files not
// saved is written.
void finishLibraryImport() {
  RatingBatch& batch = g_state.libraryBatch;
  writeNotSavedList(&batch);
  releaseBatchLists(&batch);
  g_state.libraryImportState = kImportDone;
  if (batch.progressed) batch.progressed();
}

}  // namespace

bool startLibraryImport(void (*progressed)()) {
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
  batch.finished = finishLibraryImport;
  batch.progressed = progressed;
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

void libraryImportReport(WCHAR* text, int chars) {
  const RatingBatch& batch = g_state.libraryBatch;
  text[0] = 0;
  switch (g_state.libraryImportState) {
    case kImportIdle:
      return;
    case kImportNoLibrary:
      return loadText(IDS_REPORT_NO_LIBRARY, text, chars);
    case kImportNothingRated:
      return loadText(IDS_REPORT_NOTHING_RATED, text, chars);
    case kImportRunning: {
      WCHAR done[12], count[12];
      number(done, batch.next);
      number(count, batch.count);
      const WCHAR* places[] = {done, count};
      return formatText(IDS_REPORT_PROGRESS, text, chars, places, 2);
    }
    case kImportDone:
      break;
  }
  WCHAR numbers[4][12], counts[kLineChars], line[kLineChars];
  number(numbers[0], batch.outcomes[kBatchRated]);
  number(numbers[1], batch.outcomes[kBatchAlreadyHeld]);
  number(numbers[2], batch.outcomes[kBatchKeptOwn]);
  number(numbers[3], notSavedCount(&batch));
  const WCHAR* countPlaces[] = {numbers[0], numbers[1], numbers[2], numbers[3]};
  formatText(IDS_REPORT_COUNTS, counts, kLineChars, countPlaces, 4);
  if (batch.cancelled) {
    const WCHAR* places[] = {counts};
    formatText(IDS_REPORT_CANCELLED, line, kLineChars, places, 1);
    lstrcpynW(counts, line, kLineChars);
  }
  if (notSavedCount(&batch) == 0) return (void)lstrcpynW(text, counts, chars);
  // "... not saved (3 read-only, 2 missing)."
  WCHAR reasons[kLineChars] = L"", separator[16], reason[kReasonChars + 12];
  loadText(IDS_REPORT_REASON_SEPARATOR, separator, 16);
  for (int outcome = kFirstNotSaved; outcome < kBatchOutcomes; ++outcome) {
    if (!batch.outcomes[outcome]) continue;
    WCHAR count[12];
    number(count, batch.outcomes[outcome]);
    const WCHAR* places[] = {count};
    formatText(IDS_REASON_COUNT_FIRST + outcome - kFirstNotSaved, reason, kReasonChars + 12, places, 1);
    if (reasons[0]) append(reasons, kLineChars, separator);
    append(reasons, kLineChars, reason);
  }
  const WCHAR* places[] = {counts, reasons};
  formatText(IDS_REPORT_WITH_REASONS, text, chars, places, 2);
  if (g_state.notSavedListPath[0]) {
    const WCHAR* listPlaces[] = {g_state.notSavedListPath};
    formatText(IDS_REPORT_LIST, line, kLineChars, listPlaces, 1);
    append(text, chars, L" ");
    append(text, chars, line);
  }
}
