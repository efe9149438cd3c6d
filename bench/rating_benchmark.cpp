// Measures the rating store on real-sized files and the time from a menu
// choice to the icon showing the new rating. Prints a table; not a test.
//   rating_benchmark.exe FOLDER   (the files of make_bench_files.py)
#include <windows.h>

#include <shellapi.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "rating/rating.h"
#include "standin/host_core.h"
#include "standin/iat_patch.h"

namespace {

const int kRuns = 11;

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
};

// Bytes that reach WriteFile, from the store itself and from the C runtime
// under id3lib's file streams, plus files copied by the recovery.
unsigned long long g_bytesWritten = 0;
BOOL(WINAPI* g_writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = nullptr;
BOOL(WINAPI* g_copyFile)(LPCWSTR, LPCWSTR, BOOL) = nullptr;

BOOL WINAPI countingWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                              LPOVERLAPPED overlapped) {
  BOOL ok = g_writeFile(file, data, size, written, overlapped);
  if (ok && written) g_bytesWritten += *written;
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

void countWrites() {
  void* self = reinterpret_cast<void*>(countingWriteFile);
  g_writeFile = reinterpret_cast<decltype(g_writeFile)>(
      patchImport(GetModuleHandleW(nullptr), "kernel32.dll", "WriteFile", self));
  void* viaRuntime = patchImport(GetModuleHandleW(L"msvcrt.dll"), "kernel32.dll", "WriteFile", self);
  if (!g_writeFile) g_writeFile = reinterpret_cast<decltype(g_writeFile)>(viaRuntime);
  if (!g_writeFile) g_writeFile = WriteFile;
  if (!viaRuntime) printf("note: writes of the C runtime are not counted\n");
  g_copyFile = reinterpret_cast<decltype(g_copyFile)>(patchImport(
      GetModuleHandleW(nullptr), "kernel32.dll", "CopyFileW", reinterpret_cast<void*>(countingCopyFile)));
  if (!g_copyFile) g_copyFile = CopyFileW;
}

double nowMs() {
  static LARGE_INTEGER frequency = {};
  if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return 1000.0 * now.QuadPart / frequency.QuadPart;
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

void benchmarkCase(const std::string& folder, const Case& c) {
  const std::string pristine = folder + c.file;
  const std::string work = folder + "work.mp3";
  if (fileSize(pristine) == 0) {
    printf("| %-40s | missing file %s |\n", c.what, c.file);
    return;
  }
  std::vector<double> reads, writes;
  unsigned long long bytes = 0;
  for (int run = 0; run < kRuns; ++run) {
    CopyFileA(pristine.c_str(), work.c_str(), FALSE);
    double start = nowMs();
    readRating(wide(work).c_str());
    reads.push_back(nowMs() - start);
    g_bytesWritten = 0;
    start = nowMs();
    writeRating(wide(work).c_str(), c.stars);
    writes.push_back(nowMs() - start);
    bytes = g_bytesWritten;
  }
  const bool readBack = readRating(wide(work).c_str()) == c.stars;
  unsigned long long limit = 1;
  if (std::string(c.limitIs) == "whole file") limit = fileSize(work);
  if (std::string(c.limitIs) == "new frame") limit = tagBytes(pristine);
  Stats r = stats(reads), w = stats(writes);
  char readText[40], writeText[40], limitText[40];
  snprintf(readText, sizeof readText, "%.2f (%.2f-%.2f)", r.median, r.low, r.high);
  snprintf(writeText, sizeof writeText, "%.2f (%.2f-%.2f)", w.median, w.low, w.high);
  snprintf(limitText, sizeof limitText, "%s: %llu", c.limitIs, limit);
  printf("| %-40s | %-24s | %-24s | %10llu | %-22s | %10.3f | %-10s |\n", c.what, readText, writeText, bytes,
         limitText, limit ? static_cast<double>(bytes) / limit : 0.0, readBack ? "yes" : "NO");
  DeleteFileA(work.c_str());
}

// --- From a menu choice to the icon showing it, through the real timer ---

double g_choiceAt = 0;
double g_iconAt = 0;
int g_wanted = 0;
int g_chosen = 0;

int starsOfIcon(HICON icon) {
  for (int i = 0; i < 6; ++i)
    if (LoadIconW(g_host.plugin, MAKEINTRESOURCEW(110 + i)) == icon) return i;
  return -1;
}

BOOL WINAPI timedNotifyIcon(DWORD, PNOTIFYICONDATAW data) {
  if (g_choiceAt > 0 && g_iconAt == 0 && (data->uFlags & NIF_ICON) && starsOfIcon(data->hIcon) == g_wanted)
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: rating_benchmark FOLDER\n");
    return 2;
  }
  std::string folder = argv[1];
  if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
  countWrites();
  printf("Median (min-max) of %d runs; bytes as written through WriteFile and CopyFile.\n\n", kRuns);
  printf("| %-40s | %-24s | %-24s | %10s | %-22s | %10s | %-10s |\n", "file", "readRating ms",
         "writeRating ms", "bytes", "limit", "ratio", "reads back");
  printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(42, '-').c_str(), std::string(26, '-').c_str(),
         std::string(26, '-').c_str(), std::string(12, '-').c_str(), std::string(24, '-').c_str(),
         std::string(12, '-').c_str(), std::string(12, '-').c_str());
  for (const Case& c : kCases) benchmarkCase(folder, c);
  benchmarkMenuToIcon(folder);
  return 0;
}
