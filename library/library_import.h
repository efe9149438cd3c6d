// SPDX-License-Identifier: LGPL-2.1-or-later
// "Save the library's ratings into the files": every track the library rates gets its
// rating in its file, where the file holds none (or, when the user says so, another);
// the report counts what became of each file and lists those not saved.
#pragma once

#include <windows.h>

enum LibraryImportState {
  kImportIdle,          // not asked for since the start
  kImportNoLibrary,     // asked for, and no library answered
  kImportNothingRated,  // the library gave no rated track
  kImportRunning,
  kImportDone,  // finished or cancelled; the library batch's counts are its report
};

// Asks the library for its rated tracks and begins; false when there is no library or it
// gives nothing (the report says so). `progressed` is called as the work goes on and at its end.
bool startLibraryImport(void (*progressed)());
// Stops after the file being written: what is done stays done.
void cancelLibraryImport();
bool libraryImportRunning();
// 0..100 while running or after.
int libraryImportPercent();
// The report as the page shows it, or progress while running.
void libraryImportReport(WCHAR* text, int chars);
