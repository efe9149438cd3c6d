// SPDX-License-Identifier: LGPL-2.1-or-later
// Measures the rating store on real-sized files, its growth writes beside
// TagLib's on the same files, and the time from a menu choice to the icon
// showing the new rating. Prints tables; not a test.
//   rating_benchmark.exe FOLDER [--beside | --library]   (the files of make_bench_files.py)
//   rating_benchmark.exe --peak none|read|write FILE STARS
//                                 one operation in a process of its own; its exit
//                                 code is the process's peak working set in KiB
#include <windows.h>

#include <psapi.h>
#include <shellapi.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/taglib_growth.h"
#include "bench/taglib_mp4.h"
#include "bench/taglib_xiph.h"
#include "bench/write_parts.h"
#include "rating/rating.h"
#include "rating/store/rewrite_journal.h"
#include "resources/resource_ids.h"
#include "standin/host_core.h"
#include "standin/iat_patch.h"
#include "standin/tray_pictures.h"

namespace {

const int kRuns = 11;
// Reads take tens of microseconds under Wine: more of them steady the median.
const int kReadRuns = 101;
// Processes started per operation for its peak memory (the median is shown).
const int kPeakRuns = 3;

struct Case {
  const char* file;
  const char* what;
  int stars;            // the rating written
  const char* limitIs;  // what must change at the least
};

const Case kCases[] = {
    {"v23_popm_5mb.mp3", "5 MB, small v2.3 tag with POPM", 5, "1 byte"},
    {"v23_popm_cover8mb_5mb.mp3", "5 MB + 8 MB cover, v2.3 with POPM", 5, "1 byte"},
    {"untagged_10mb.mp3", "10 MB, no tag", 5, "whole file"},
    {"v24_popm_5mb.mp3", "5 MB, v2.4 with POPM", 5, "1 byte"},
    {"v24_nopopm_padding_5mb.mp3", "5 MB, v2.4 without POPM, 1 KB padding", 5, "new frame"},
    {"v23_padding20k_5mb.mp3", "5 MB, v2.3 without POPM, 20 KB padding", 5, "new frame"},
    {"v24_nopopm_nopadding_5mb.mp3", "5 MB, v2.4 without POPM or padding", 5, "whole file"},
    {"v23_unsync_5mb.mp3", "5 MB, unsynchronised v2.3", 5, "whole file"},
    {"v23_cover1mb_nopadding_5mb.mp3", "5 MB + 1 MB cover, v2.3, no padding", 5, "whole file"},
    {"v24_cover1mb_nopadding_5mb.mp3", "5 MB + 1 MB cover, v2.4, no padding", 5, "whole file"},
    {"untagged_100mb.mp3", "100 MB, no tag (one call)", 5, "whole file"},
    {"m4a_cover8mb_5mb.m4a", "M4A 5 MB + 8 MB cover, moov first", 5, "whole file"},
    {"m4a_free_5mb.m4a", "M4A 5 MB, 2 KB free after ilst", 5, "moov"},
    {"m4a_moovfirst_noroom_5mb.m4a", "M4A 5 MB, moov first, no room", 5, "whole file"},
};

// Bytes that reach WriteFile, from the store itself and from the C runtime
// under id3lib's file streams (also counted apart: they show id3lib's route),
// plus files copied by the recovery.
unsigned long long g_bytesWritten = 0;
unsigned long long g_runtimeBytesWritten = 0;
BOOL(WINAPI* g_writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = nullptr;
BOOL(WINAPI* g_copyFile)(LPCWSTR, LPCWSTR, BOOL) = nullptr;

BOOL WINAPI countingWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                              LPOVERLAPPED overlapped) {
  BOOL ok = g_writeFile(file, data, size, written, overlapped);
  if (ok && written) g_bytesWritten += *written;
  return ok;
}

BOOL WINAPI countingRuntimeWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                     LPOVERLAPPED overlapped) {
  BOOL ok = g_writeFile(file, data, size, written, overlapped);
  if (ok && written) {
    g_bytesWritten += *written;
    g_runtimeBytesWritten += *written;
  }
  return ok;
}

unsigned long long fileSizeW(const wchar_t* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
  return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The benchmark's folders and files have plain names.
std::wstring wide(const std::string& path) { return std::wstring(path.begin(), path.end()); }

unsigned long long fileSize(const std::string& path) { return fileSizeW(wide(path).c_str()); }

BOOL WINAPI countingCopyFile(LPCWSTR from, LPCWSTR to, BOOL failIfExists) {
  BOOL ok = g_copyFile(from, to, failIfExists);
  if (ok) g_bytesWritten += fileSizeW(to);
  return ok;
}

double nowMs() {
  static LARGE_INTEGER frequency = {};
  if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return 1000.0 * now.QuadPart / frequency.QuadPart;
}

void countWrites() {
  void* self = reinterpret_cast<void*>(countingWriteFile);
  g_writeFile = reinterpret_cast<decltype(g_writeFile)>(
      patchImport(GetModuleHandleW(nullptr), "kernel32.dll", "WriteFile", self));
  void* viaRuntime = patchImport(GetModuleHandleW(L"msvcrt.dll"), "kernel32.dll", "WriteFile",
                                 reinterpret_cast<void*>(countingRuntimeWriteFile));
  if (!g_writeFile) g_writeFile = reinterpret_cast<decltype(g_writeFile)>(viaRuntime);
  if (!g_writeFile) g_writeFile = WriteFile;
  if (!viaRuntime) printf("note: writes of the C runtime are not counted\n");
  g_copyFile = reinterpret_cast<decltype(g_copyFile)>(patchImport(
      GetModuleHandleW(nullptr), "kernel32.dll", "CopyFileW", reinterpret_cast<void*>(countingCopyFile)));
  if (!g_copyFile) g_copyFile = CopyFileW;
}

struct Stats {
  double median, low, high;
};

Stats stats(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.front(), values.back()};
}

// The tag's size as the limit of a write that adds a frame into the tag.
unsigned long long tagBytes(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  unsigned char header[10] = {};
  DWORD got = 0;
  ReadFile(file, header, 10, &got, nullptr);
  CloseHandle(file);
  if (got < 10 || header[0] != 'I' || header[1] != 'D' || header[2] != '3') return 0;
  return 10 +
         ((header[6] & 0x7F) << 21 | (header[7] & 0x7F) << 14 | (header[8] & 0x7F) << 7 | (header[9] & 0x7F));
}

// The moov atom's size as the limit of an M4A write into its free room (32-bit sizes; 0
// when there is no moov among the top-level atoms).
unsigned long long moovBytes(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  unsigned long long at = 0, found = 0;
  for (int atoms = 0; atoms < 64 && !found; ++atoms) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(at);
    unsigned char header[8] = {};
    DWORD got = 0;
    if (!SetFilePointerEx(file, to, nullptr, FILE_BEGIN) || !ReadFile(file, header, 8, &got, nullptr) || got < 8)
      break;
    const unsigned long long size = static_cast<unsigned long long>(header[0]) << 24 | header[1] << 16 |
                                    header[2] << 8 | header[3];
    if (size < 8) break;
    if (memcmp(header + 4, "moov", 4) == 0) found = size;
    at += size;
  }
  CloseHandle(file);
  return found;
}

// ---- Peak memory of one operation ----
// Peak memory cannot be reset within a process, so each operation runs in a
// process of its own, which exits with its peak working set (PeakWorkingSetSize;
// under Wine the peak resident set of the process) in KiB. The table shows that
// peak minus the peak of a process that does no operation: what the operation
// needed beyond loading the program, stack and heap alike.

int runOneOperation(const char* what, const char* path, int stars) {
  if (strcmp(what, "read") == 0) readRating(wide(path).c_str());
  if (strcmp(what, "write") == 0) writeRating(wide(path).c_str(), stars);
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return static_cast<int>(counters.PeakWorkingSetSize / 1024);
}

// The peak in KiB of a process running one operation; -1 when it cannot be had.
long long peakOfOperation(const char* what, const std::string& path, int stars) {
  char self[MAX_PATH];
  if (GetModuleFileNameA(nullptr, self, sizeof self) == 0) return -1;
  std::string command =
      std::string("\"") + self + "\" --peak " + what + " \"" + path + "\" " + std::to_string(stars);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return -1;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  const bool exited = GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return exited && code > 0 && code < (1u << 24) ? code : -1;
}

// The median peak of kPeakRuns processes; `pristine` is copied to `work` before each.
long long medianPeak(const char* what, const std::string& pristine, const std::string& work, int stars) {
  std::vector<double> peaks;
  for (int run = 0; run < kPeakRuns; ++run) {
    CopyFileA(pristine.c_str(), work.c_str(), FALSE);
    const long long peak = peakOfOperation(what, work, stars);
    if (peak < 0) return -1;
    peaks.push_back(static_cast<double>(peak));
  }
  return static_cast<long long>(stats(peaks).median);
}

long long g_baselinePeak = -1;

// An operation's peak above the baseline, as table text.
std::string peakText(long long peak) {
  if (peak < 0 || g_baselinePeak < 0) return "?";
  char text[24];
  snprintf(text, sizeof text, "%lld", peak - g_baselinePeak);
  return text;
}

void benchmarkCase(const std::string& folder, const Case& c) {
  const std::string pristine = folder + c.file;
  const std::string work = folder + "work" + strrchr(c.file, '.');
  if (fileSize(pristine) == 0) {
    printf("| %-40s | missing file %s |\n", c.what, c.file);
    return;
  }
  std::vector<double> reads, writes;
  // Reads of the file as it lies in the library, away from the writes of the copies
  // below, whose flushing to disk would be timed too.
  for (int run = 0; run < kReadRuns; ++run) {
    const double start = nowMs();
    readRating(wide(pristine).c_str());
    reads.push_back(nowMs() - start);
  }
  unsigned long long bytes = 0;
  for (int run = 0; run < kRuns; ++run) {
    CopyFileA(pristine.c_str(), work.c_str(), FALSE);
    g_bytesWritten = 0;
    const double start = nowMs();
    writeRating(wide(work).c_str(), c.stars);
    writes.push_back(nowMs() - start);
    bytes = g_bytesWritten;
  }
  const bool readBack = readRating(wide(work).c_str()) == c.stars;
  const std::string readPeak = peakText(medianPeak("read", pristine, work, c.stars));
  const std::string writePeak = peakText(medianPeak("write", pristine, work, c.stars));
  unsigned long long limit = 1;
  if (std::string(c.limitIs) == "whole file") limit = fileSize(work);
  if (std::string(c.limitIs) == "new frame") limit = tagBytes(pristine);
  if (std::string(c.limitIs) == "moov") limit = moovBytes(pristine);
  Stats r = stats(reads), w = stats(writes);
  char readText[40], writeText[40], limitText[40];
  snprintf(readText, sizeof readText, "%.2f (%.2f-%.2f)", r.median, r.low, r.high);
  snprintf(writeText, sizeof writeText, "%.2f (%.2f-%.2f)", w.median, w.low, w.high);
  snprintf(limitText, sizeof limitText, "%s: %llu", c.limitIs, limit);
  printf("| %-40s | %-22s | %9s | %-22s | %9s | %10llu | %-22s | %7.3f | %-10s |\n", c.what, readText,
         readPeak.c_str(), writeText, writePeak.c_str(), bytes, limitText,
         limit ? static_cast<double>(bytes) / limit : 0.0, readBack ? "yes" : "NO");
  DeleteFileA(work.c_str());
}

// --- Writes beside TagLib's ---
// For each file whose tag must grow, and for FLAC and Ogg files, the store and TagLib do
// the same (add the frame, set the field, or read it), run by turns on fresh copies of the
// same file so that both meet the same disk and the same load. Each store write is timed
// by its parts (write_parts.h).

enum PeerOp { kPeerGrowPopm, kPeerWriteXiph, kPeerReadXiph, kPeerWriteMp4, kPeerReadMp4 };

struct PeerCase {
  const char* file;
  const char* what;
  PeerOp op;
  XiphKind kind;
};

const PeerCase kPeerCases[] = {
    {"untagged_10mb.mp3", "10 MB, no tag", kPeerGrowPopm, kXiphFlac},
    {"v24_nopopm_nopadding_5mb.mp3", "5 MB, v2.4 without POPM or padding", kPeerGrowPopm, kXiphFlac},
    {"v23_unsync_5mb.mp3", "5 MB, unsynchronised v2.3", kPeerGrowPopm, kXiphFlac},
    {"v23_cover1mb_nopadding_5mb.mp3", "5 MB + 1 MB cover, v2.3, no padding", kPeerGrowPopm, kXiphFlac},
    {"v24_cover1mb_nopadding_5mb.mp3", "5 MB + 1 MB cover, v2.4, no padding", kPeerGrowPopm, kXiphFlac},
    {"untagged_100mb.mp3", "100 MB, no tag (one call)", kPeerGrowPopm, kXiphFlac},
    {"flac_picture8mb_5mb.flac", "FLAC 5 MB + 8 MB picture: read", kPeerReadXiph, kXiphFlac},
    {"flac_padding_5mb.flac", "FLAC 5 MB, 8 KB padding", kPeerWriteXiph, kXiphFlac},
    {"flac_nopadding_5mb.flac", "FLAC 5 MB, no padding", kPeerWriteXiph, kXiphFlac},
    {"vorbis_picture8mb_5mb.ogg", "Vorbis 5 MB + 8 MB picture: read", kPeerReadXiph, kXiphVorbis},
    {"vorbis_slack_5mb.ogg", "Vorbis 5 MB, 512 B slack", kPeerWriteXiph, kXiphVorbis},
    {"vorbis_5mb.ogg", "Vorbis 5 MB, no slack", kPeerWriteXiph, kXiphVorbis},
    {"opus_padding_5mb.opus", "Opus 5 MB, 512 B padding", kPeerWriteXiph, kXiphOpus},
    {"opus_5mb.opus", "Opus 5 MB, no padding", kPeerWriteXiph, kXiphOpus},
    {"m4a_cover8mb_5mb.m4a", "M4A 5 MB + 8 MB cover: read", kPeerReadMp4, kXiphFlac},
    {"m4a_free_5mb.m4a", "M4A 5 MB, 2 KB free after ilst", kPeerWriteMp4, kXiphFlac},
    {"m4a_moovfirst_noroom_5mb.m4a", "M4A 5 MB, moov first, no room", kPeerWriteMp4, kXiphFlac},
};

// TagLib's side of a peer case: the same write, and its reading of the rating written.
bool peerWrite(const PeerCase& c, const std::wstring& path, int stars) {
  if (c.op == kPeerGrowPopm) return addPopmWithTagLib(path.c_str(), RatingScale[stars]);
  if (c.op == kPeerWriteMp4) return setMp4RatingWithTagLib(path.c_str(), stars * 20);
  return setXiphRatingWithTagLib(path.c_str(), c.kind, stars * 20);
}

bool peerReadsBack(const PeerCase& c, const std::wstring& path, int stars) {
  if (c.op == kPeerGrowPopm) return readRating(path.c_str()) == stars;
  if (c.op == kPeerWriteMp4 || c.op == kPeerReadMp4) return readMp4RatingWithTagLib(path.c_str()) == stars * 20;
  return readXiphRatingWithTagLib(path.c_str(), c.kind) == stars * 20;
}

bool peerReads(const PeerCase& c, const std::wstring& path) {
  return (c.op == kPeerReadMp4 ? readMp4RatingWithTagLib(path.c_str())
                               : readXiphRatingWithTagLib(path.c_str(), c.kind)) >= 0;
}

std::wstring g_journal;

// What the store's write did, for the route column.
const char* routeOf(RatingSaveResult result, bool throughRuntime, const WriteParts& parts, bool mp3) {
  if (result == kRatingTagRefused) return "refused";
  if (result == kRatingUnknownFormat) return "unknown";
  if (result != kRatingSaved) return "failed";
  if (throughRuntime) return "id3lib";
  if (parts.ms[kPartCopy] > 0) return mp3 ? "editor" : "rewrite";
  return "in place";
}

std::string timesText(const Stats& s) {
  char text[40];
  snprintf(text, sizeof text, "%.2f (%.2f-%.2f)", s.median, s.low, s.high);
  return text;
}

void printPeerHeader() {
  printf("\nThe store beside TagLib 1.13 (median (min-max) of %d runs each, by turns on fresh copies; "
         "the journal noted and flushed as in the plugin)\n\n",
         kRuns);
  printf("| %-38s | %-8s | %-22s | %-22s | %8s | %8s | %-10s |\n", "file", "route", "store ms", "TagLib ms",
         "x median", "x min", "TagLib ok");
  printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(40, '-').c_str(), std::string(10, '-').c_str(),
         std::string(24, '-').c_str(), std::string(24, '-').c_str(), std::string(10, '-').c_str(),
         std::string(10, '-').c_str(), std::string(12, '-').c_str());
}

// One row of the parts table, kept until the TagLib table is printed.
struct PartsRow {
  std::string what;
  Stats total;
  Stats part[kPartCount];
  int notes;
};
std::vector<PartsRow> g_partsRows;

void benchmarkBesidePeer(const std::string& folder, const PeerCase& c) {
  const std::string pristine = folder + c.file;
  const std::string work = folder + "work" + strrchr(c.file, '.');
  if (fileSize(pristine) == 0) {
    printf("| %-38s | missing file %s (no ffmpeg?) |\n", c.what, c.file);
    return;
  }
  const bool mp3 = c.op == kPeerGrowPopm;
  const bool readOnly = c.op == kPeerReadXiph || c.op == kPeerReadMp4;
  const int stars = 5;
  std::vector<double> store, peer, total;
  std::vector<double> parts[kPartCount];
  int notes = 0;
  bool throughRuntime = false, peerOk = true;
  RatingSaveResult result = kRatingSaved;
  WriteParts last = {};
  for (int run = 0; run < kRuns; ++run) {
    double start = 0;
    if (readOnly) {
      start = nowMs();
      readRating(wide(pristine).c_str());
      store.push_back(nowMs() - start);
      start = nowMs();
      peerOk = peerReads(c, wide(pristine)) && peerOk;
      peer.push_back(nowMs() - start);
      continue;
    }
    CopyFileA(pristine.c_str(), work.c_str(), FALSE);
    g_runtimeBytesWritten = 0;
    beginPartTiming(wide(work).c_str(), g_journal.c_str());
    start = nowMs();
    result = writeRating(wide(work).c_str(), stars);
    store.push_back(nowMs() - start);
    last = endPartTiming();
    for (int part = 0; part < kPartCount; ++part) parts[part].push_back(last.ms[part]);
    notes = last.notes;
    throughRuntime = throughRuntime || g_runtimeBytesWritten > 0;

    CopyFileA(pristine.c_str(), work.c_str(), FALSE);
    start = nowMs();
    const bool saved = peerWrite(c, wide(work), stars);
    peer.push_back(nowMs() - start);
    peerOk = peerOk && saved && peerReadsBack(c, wide(work), stars);
  }
  DeleteFileA(work.c_str());
  const Stats s = stats(store), p = stats(peer);
  const char* route = readOnly ? "read" : routeOf(result, throughRuntime, last, mp3);
  printf("| %-38s | %-8s | %-22s | %-22s | %8.2f | %8.2f | %-10s |\n", c.what, route, timesText(s).c_str(),
         timesText(p).c_str(), p.median > 0 ? s.median / p.median : 0.0, p.low > 0 ? s.low / p.low : 0.0,
         peerOk ? "yes" : "NO");
  if (readOnly || result != kRatingSaved) return;
  PartsRow row;
  row.what = c.what;
  row.total = s;
  for (int part = 0; part < kPartCount; ++part) row.part[part] = stats(parts[part]);
  row.notes = notes;
  g_partsRows.push_back(row);
}

void printPartsTable() {
  printf("\nWhere a write's time goes (ms, median of %d runs; the parts add up to the whole, "
         "so their medians to about the median)\n\n",
         kRuns);
  printf("| %-38s | %8s |", "file", "whole");
  for (int part = 0; part < kPartCount; ++part) printf(" %11s |", partName(part));
  printf(" %5s |\n|%s|%s|", "notes", std::string(40, '-').c_str(), std::string(10, '-').c_str());
  for (int part = 0; part < kPartCount; ++part) printf("%s|", std::string(13, '-').c_str());
  printf("%s|\n", std::string(7, '-').c_str());
  for (const PartsRow& row : g_partsRows) {
    printf("| %-38s | %8.2f |", row.what.c_str(), row.total.median);
    for (int part = 0; part < kPartCount; ++part) printf(" %11.2f |", row.part[part].median);
    printf(" %5d |\n", row.notes);
  }
}

// --- From a menu choice to the icon showing it, through the real timer ---

double g_choiceAt = 0;
double g_iconAt = 0;
int g_wanted = 0;
int g_chosen = 0;

BOOL WINAPI timedNotifyIcon(DWORD, PNOTIFYICONDATAW data) {
  if (g_choiceAt > 0 && g_iconAt == 0 && (data->uFlags & NIF_ICON) && starsOfTrayPicture(data->hIcon) == g_wanted)
    g_iconAt = nowMs();
  return TRUE;
}

BOOL WINAPI choosingTrackPopupMenu(HMENU, UINT, int, int, int, HWND owner, const RECT*) {
  g_choiceAt = nowMs();
  PostMessageW(owner, WM_COMMAND, 11000 + g_chosen, 0);
  return TRUE;
}

void benchmarkMenuToIcon(const std::string& folder) {
  const std::string song = folder + "menu.mp3";
  CopyFileA((folder + "v24_popm_5mb.mp3").c_str(), song.c_str(), FALSE);
  PlaylistEntry entry;
  entry.path = song;
  entry.title = L"Benchmark song";
  g_host.playlist.push_back(entry);
  g_host.playing = 1;
  g_host.iniPath = folder + "player.ini";
  createHostWindow(true);
  if (!loadPlugin(findPluginDll().c_str())) {
    printf("cannot load the plugin\n");
    return;
  }
  recordTrayPictures(g_host.plugin);
  patchImport(g_host.plugin, "shell32.dll", "Shell_NotifyIconW", reinterpret_cast<void*>(timedNotifyIcon));
  patchImport(g_host.plugin, "user32.dll", "TrackPopupMenu", reinterpret_cast<void*>(choosingTrackPopupMenu));
  g_host.header->init();
  std::vector<double> delays;
  for (int run = 0; run < kRuns; ++run) {
    g_chosen = g_wanted = run % 2 ? 2 : 4;
    g_choiceAt = g_iconAt = 0;
    SendMessageW(g_host.window, 0x20F4, 4538, WM_LBUTTONUP);
    double deadline = nowMs() + 2000;
    while (g_iconAt == 0 && nowMs() < deadline) {
      pumpMessages();
      Sleep(1);
    }
    if (g_iconAt > 0) delays.push_back(g_iconAt - g_choiceAt);
  }
  g_host.header->quit();
  unloadPlugin();
  destroyHostWindow();
  DeleteFileA(song.c_str());
  if (delays.empty()) {
    printf("menu choice to icon: the icon never followed\n");
    return;
  }
  Stats d = stats(delays);
  printf("\nMenu choice to icon, through the real 100 ms timer: median %.0f ms (%.0f-%.0f), %zu of %d runs\n",
         d.median, d.low, d.high, delays.size(), kRuns);
}

// The save of a 100 MB file through the plugin, as a person chooses it while
// playing: the longest the player's window thread is kept from its messages
// (one dispatch of the save's timer, or of the choice itself), and the bytes the
// plugin wrote. An MP3 without a tag is written anew in slices; an Opus file with
// padding in place, after its pages are walked.
bool g_saving = false;
BOOL(WINAPI* g_pluginWriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = nullptr;
unsigned long long g_pluginBytes = 0;

int g_iconChanges = 0;

BOOL WINAPI savingNotifyIcon(DWORD message, PNOTIFYICONDATAW data) {
  if (data->uFlags & NIF_TIP) g_saving = wcsstr(data->szTip, L"Saving rating") != nullptr;
  if (message == NIM_MODIFY) ++g_iconChanges;
  return TRUE;
}

BOOL WINAPI countingPluginWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                    LPOVERLAPPED overlapped) {
  BOOL ok = g_pluginWriteFile(file, data, size, written, overlapped);
  if (ok && written) g_pluginBytes += *written;
  return ok;
}

void benchmarkLargeFileStall(const std::string& folder, const char* file, const char* label) {
  const std::string name = file;
  const std::string song = folder + "large" + name.substr(name.rfind('.'));
  if (!CopyFileA((folder + name).c_str(), song.c_str(), FALSE)) {
    printf("\n%s: no such file\n", file);
    return;
  }
  g_host.playlist.clear();
  PlaylistEntry entry;
  entry.path = song;
  entry.title = L"Large song";
  g_host.playlist.push_back(entry);
  createHostWindow(true);
  if (!loadPlugin(findPluginDll().c_str())) {
    printf("cannot load the plugin\n");
    return;
  }
  patchImport(g_host.plugin, "shell32.dll", "Shell_NotifyIconW", reinterpret_cast<void*>(savingNotifyIcon));
  patchImport(g_host.plugin, "user32.dll", "TrackPopupMenu", reinterpret_cast<void*>(choosingTrackPopupMenu));
  g_pluginWriteFile = reinterpret_cast<decltype(g_pluginWriteFile)>(
      patchImport(g_host.plugin, "kernel32.dll", "WriteFile", reinterpret_cast<void*>(countingPluginWriteFile)));
  g_host.header->init();
  g_chosen = 3;
  g_pluginBytes = 0;
  const double start = nowMs();
  SendMessageW(g_host.window, 0x20F4, 4538, WM_LBUTTONUP);
  double longest = nowMs() - start;
  // The choice arrives as a posted command; the save starts when it is dispatched, and the
  // icon changes when it ends or goes on in slices.
  const int iconChangesBefore = g_iconChanges;
  const std::wstring songPath = wide(song);
  while (nowMs() - start < 120000) {
    if (!g_saving && g_iconChanges != iconChangesBefore && readRating(songPath.c_str()) == 3) break;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      const double before = nowMs();
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      longest = std::max(longest, nowMs() - before);
    }
    Sleep(1);
  }
  const double total = nowMs() - start;
  g_host.header->quit();
  unloadPlugin();
  destroyHostWindow();
  const bool readBack = readRating(wide(song).c_str()) == 3;
  const unsigned long long size = fileSize(song);
  DeleteFileA(song.c_str());
  printf("\n%s, chosen through the plugin: longest stall of the window thread %.0f ms, "
         "%.1f s in all, %llu bytes written (%.2f x the file), reads back: %s\n",
         label, longest, total / 1000, g_pluginBytes, size ? static_cast<double>(g_pluginBytes) / size : 0.0,
         readBack ? "yes" : "no");
}

// --- The library command on 1,000 files, beside TagLib ---
// "Save the library's ratings into the files" as a person starts it: the stand-in's
// library holds 1,000 rated MP3s whose tags have room for the POPM frame, the plugin's
// preferences page is open and its button clicked, and the player's message loop runs
// until the report tells the end. TagLib makes the same 1,000 writes on copies of the
// same file, each followed by a flush: durability costs TagLib that much too, as the store
// flushes its one write of a new frame within one sector of padding.

const int kLibraryFiles = 1000;

std::wstring libraryCopyPath(const std::string& folder, const char* side, int index) {
  char name[32];
  snprintf(name, sizeof name, "%04d.mp3", index);
  return wide(folder + side + "\\" + name);
}

// Every star count in turn, so that each rating byte is written.
int libraryStars(int index) { return 1 + index % 5; }

bool flushByName(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(file) != 0;
  CloseHandle(file);
  return flushed;
}

// Copies flushed before any write is timed: a library's files lie on the disk already, and
// the flush of a fresh copy would pay for the copy's own megabyte.
bool makeLibraryCopies(const std::string& pristine, const std::string& folder, const char* side) {
  CreateDirectoryA((folder + side).c_str(), nullptr);
  for (int index = 0; index < kLibraryFiles; ++index) {
    const std::wstring copy = libraryCopyPath(folder, side, index);
    if (!CopyFileW(wide(pristine).c_str(), copy.c_str(), FALSE) || !flushByName(copy)) return false;
  }
  return true;
}

int libraryFilesReadingBack(const std::string& folder, const char* side) {
  int good = 0;
  for (int index = 0; index < kLibraryFiles; ++index)
    if (readRating(libraryCopyPath(folder, side, index).c_str()) == libraryStars(index)) ++good;
  return good;
}

void removeLibraryCopies(const std::string& folder, const char* side) {
  for (int index = 0; index < kLibraryFiles; ++index) DeleteFileW(libraryCopyPath(folder, side, index).c_str());
  RemoveDirectoryA((folder + side).c_str());
}

std::wstring reportText() {
  HWND report = g_host.prefs.page ? GetDlgItem(g_host.prefs.page, IDC_PREFS_REPORT) : nullptr;
  if (!report) return std::wstring();
  wchar_t text[1024] = L"";
  GetWindowTextW(report, text, 1024);
  return text;
}

bool reportSaysDone() { return reportText().find(L" not saved") != std::wstring::npos; }

struct LibraryCommandRun {
  double ms = -1;     // from the click to the report's end; -1 when it never ended
  double longest = 0;  // the longest single dispatch (or the click itself)
  double busy = 0;     // all dispatches together: the rest is the thread waiting for a tick
  std::wstring report;  // the report's text, or why the run could not be made
};

// Runs the loop from the click on, dispatching until the report tells the end.
void dispatchUntilDone(double start, LibraryCommandRun* run) {
  while (nowMs() - start < 600000) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      const double before = nowMs();
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      const double after = nowMs();
      run->longest = std::max(run->longest, after - before);
      run->busy += after - before;
      // The end is the dispatch that wrote the report, not the next wait.
      if (reportSaysDone()) {
        run->ms = after - start;
        return;
      }
    }
    // Waits as the player's GetMessage does, so that a tick is dispatched when it is due.
    MsgWaitForMultipleObjectsEx(0, nullptr, 100, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

LibraryCommandRun runLibraryCommand(const std::string& work) {
  LibraryCommandRun run;
  // The plugin keeps its settings, journal and list of files not saved beside the player's
  // ini: a clean folder is a first run. The library's own "Save ratings to file" is off, so
  // the files are the plugin's to write.
  const std::string plugins = work + "Plugins\\";
  CreateDirectoryA(plugins.c_str(), nullptr);
  DeleteFileA((plugins + "gen_id3vimbrel.ini").c_str());
  DeleteFileA((plugins + "gen_id3vimbrel.journal").c_str());
  DeleteFileA((plugins + "gen_id3vimbrel-not-saved.txt").c_str());
  WritePrivateProfileStringA("gen_ml_config", "writeratings", "0", (plugins + "gen_ml.ini").c_str());
  g_host.iniPath = work + "player.ini";
  g_host.wideIniPath = wide(g_host.iniPath);
  g_host.playlist.clear();
  g_host.library = StandinLibrary();
  g_host.library.presence = kLibraryPresent;
  for (int index = 0; index < kLibraryFiles; ++index) {
    LibraryEntry entry;
    entry.path = libraryCopyPath(work, "plugin", index);
    entry.rating = libraryStars(index);
    g_host.library.entries.push_back(entry);
  }
  createHostWindow(true);
  if (!loadPlugin(findPluginDll().c_str())) {
    destroyHostWindow();
    run.report = L"cannot load the plugin";
    return run;
  }
  g_host.header->init();
  if (g_host.prefs.pages.empty() || !openPrefs(g_host.prefs.pages.back())) {
    run.report = L"the plugin's preferences page does not open";
  } else {
    const double start = nowMs();
    const std::string clicked = clickPrefsControl(IDC_PREFS_SAVE_LIBRARY);
    run.longest = run.busy = nowMs() - start;
    if (clicked == "prefs clicked " + std::to_string(IDC_PREFS_SAVE_LIBRARY)) {
      dispatchUntilDone(start, &run);
      run.report = reportText();
    } else {
      run.report = wide(clicked);
    }
  }
  g_host.header->quit();
  unloadPlugin();
  destroyHostWindow();
  g_host.library = StandinLibrary();
  g_host.wideIniPath.clear();
  return run;
}

void benchmarkLibraryCommand(const std::string& folder) {
  const std::string pristine = folder + "library_v23_padding_1mb.mp3";
  const std::string work = folder + "library\\";
  CreateDirectoryA(work.c_str(), nullptr);
  if (fileSize(pristine) == 0 || !makeLibraryCopies(pristine, work, "taglib") ||
      !makeLibraryCopies(pristine, work, "plugin")) {
    printf("\nLibrary command: cannot make the 1,000 copies of %s\n", pristine.c_str());
    removeLibraryCopies(work, "taglib");
    removeLibraryCopies(work, "plugin");
    return;
  }
  bool taglibSaved = true;
  double flushMs = 0;
  const double taglibStart = nowMs();
  for (int index = 0; index < kLibraryFiles; ++index) {
    const std::wstring path = libraryCopyPath(work, "taglib", index);
    taglibSaved = addPopmWithTagLib(path.c_str(), RatingScale[libraryStars(index)]) && taglibSaved;
    const double flushStart = nowMs();
    taglibSaved = flushByName(path) && taglibSaved;
    flushMs += nowMs() - flushStart;
  }
  const double taglibMs = nowMs() - taglibStart;

  const LibraryCommandRun run = runLibraryCommand(work);
  const int pluginGood = libraryFilesReadingBack(work, "plugin");
  const int taglibGood = libraryFilesReadingBack(work, "taglib");
  removeLibraryCopies(work, "taglib");
  removeLibraryCopies(work, "plugin");
  if (run.ms < 0) {
    printf("\nLibrary command: the plugin's run never ended: %s\n", toUtf8(run.report.c_str()).c_str());
    return;
  }
  printf("\nLibrary command, 1,000 MP3s with room: plugin %.0f files/s (%.2f s), TagLib with a flush after "
         "each %.0f files/s (%.2f s), ratio %.2f x; longest stall of the window thread %.0f ms\n",
         kLibraryFiles * 1000.0 / run.ms, run.ms / 1000, kLibraryFiles * 1000.0 / taglibMs, taglibMs / 1000,
         run.ms / taglibMs, run.longest);
  printf("  plugin: %d of %d read back, %.2f s of its time in dispatches (the rest waits for its timer); "
         "TagLib: %d of %d read back%s, %.2f s of its time in the flushes\n  the page's report: %s\n",
         pluginGood, kLibraryFiles, run.busy / 1000, taglibGood, kLibraryFiles,
         taglibSaved ? "" : " (a save or flush failed)", flushMs / 1000, toUtf8(run.report.c_str()).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  // A process started for one operation never runs the benchmark itself.
  if (argc >= 2 && strcmp(argv[1], "--peak") == 0) {
    return argc == 5 ? runOneOperation(argv[2], argv[3], atoi(argv[4])) : 0;
  }
  if (argc < 2) {
    fprintf(stderr, "usage: rating_benchmark FOLDER [--beside | --library]\n");
    return 2;
  }
  std::string folder = argv[1];
  if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
  // --beside: only the tables beside TagLib and the stall, for a quick look.
  const bool besideOnly = argc >= 3 && strcmp(argv[2], "--beside") == 0;
  // --library: only the library command beside TagLib.
  const bool libraryOnly = argc >= 3 && strcmp(argv[2], "--library") == 0;
  // The journal the plugin keeps: its notes are part of every rewrite.
  g_journal = wide(folder + "bench.journal");
  DeleteFileW(g_journal.c_str());
  setRewriteJournal(g_journal.c_str());
  countWrites();
  if (libraryOnly) {
    benchmarkLibraryCommand(folder);
    return 0;
  }
  if (!besideOnly) {
    std::vector<double> baselines;
    for (int run = 0; run < 5; ++run) baselines.push_back(static_cast<double>(peakOfOperation("none", "-", 0)));
    const Stats baseline = stats(baselines);
    g_baselinePeak = baseline.low < 0 ? -1 : static_cast<long long>(baseline.median);
    printf("Median (min-max) of %d reads and %d writes; bytes as written through WriteFile and CopyFile.\n",
           kReadRuns, kRuns);
    printf("Peak KiB: the peak working set of a process running the one operation (median of %d processes),\n"
           "minus that of a process running none (median %lld KiB, %.0f-%.0f in 5 processes).\n\n",
           kPeakRuns, g_baselinePeak, baseline.low, baseline.high);
    printf("| %-40s | %-22s | %9s | %-22s | %9s | %10s | %-22s | %7s | %-10s |\n", "file", "readRating ms",
           "peak KiB", "writeRating ms", "peak KiB", "bytes", "limit", "ratio", "reads back");
    printf("|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(42, '-').c_str(), std::string(24, '-').c_str(),
           std::string(11, '-').c_str(), std::string(24, '-').c_str(), std::string(11, '-').c_str(),
           std::string(12, '-').c_str(), std::string(24, '-').c_str(), std::string(9, '-').c_str(),
           std::string(12, '-').c_str());
  }
  for (const Case& c : kCases) {
    if (besideOnly) break;
    benchmarkCase(folder, c);
  }
  installPartTimers();
  printPeerHeader();
  for (const PeerCase& c : kPeerCases) benchmarkBesidePeer(folder, c);
  printPartsTable();
  if (!besideOnly) benchmarkMenuToIcon(folder);
  benchmarkLargeFileStall(folder, "untagged_100mb.mp3", "100 MB file without a tag");
  benchmarkLargeFileStall(folder, "opus_padding_100mb.opus", "100 MB Opus file with padding");
  if (!besideOnly) benchmarkLibraryCommand(folder);
  return 0;
}
