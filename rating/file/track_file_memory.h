// SPDX-License-Identifier: LGPL-2.1-or-later
// The rating store's file calls over files kept in memory, for the crash tests: the store's
// own code linked with track_file_memory.cpp in place of track_file_win.cpp.
//
// Every call of track_file.h is a step. At a chosen step the power goes: that call and all
// later ones fail, and the disk keeps what a real one might. What was flushed survives;
// renames, creations and removals survive in their order up to some point no earlier than
// the last flush; of the data written since the last flush of each file any part survives,
// sector by sector: a write within one 512-byte sector survives whole or not at all, a longer
// one may be torn at sector boundaries, its lost sectors holding the old bytes, zeros where
// only the file's new length survived, or (with `garbage`) anything. At another chosen step a
// call fails as an I/O error would, once.
//
// Handles share reading and writing but not deletion, as the Windows calls do; a hold "like
// the player" does the same from outside.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rating/file/track_file.h"

enum PowerCutSurvival {
  kAllUnflushedSurvive,   // everything written reached the disk
  kNoUnflushedSurvive,    // only what was flushed
  kSomeUnflushedSurvive,  // a choice made by the seed
};

// No files, only the folders added since; power on, no fault armed, no step taken.
void memoryFilesReset();
// A folder, named with its trailing backslash.
void memoryAddFolder(const std::wstring& folder);
// A file as it lies on the disk before the test (durable).
void memoryPutFile(const std::wstring& path, const std::string& bytes);
// The bytes of the file now; false when there is none.
bool memoryFileBytes(const std::wstring& path, std::string* bytes);
// The names of the files in a folder (named with its trailing backslash), sorted.
std::vector<std::wstring> memoryFileNamesIn(const std::wstring& folder);
// Another program holds the file as a player does: reading, sharing read and write but not
// deletion, until the next reset or restart.
void memoryHoldLikePlayer(const std::wstring& path);

// The power goes at the start of step `step` (counted from 0 since the reset or restart).
void memoryCutPowerAt(int step, PowerCutSurvival survival, uint32_t seed, bool garbage);
// Step `step` fails with `status`, once.
void memoryFailAt(int step, FileStatus status);
int memoryStepsTaken();
bool memoryPowerIsOn();
// Starts again after a cut (or after a run without one): the files are what the disk holds,
// no handle is open, power on, nothing armed, no step taken.
void memoryRestart();

// Each step's call on stderr, while on.
void memoryTraceSteps(bool trace);
