// SPDX-License-Identifier: LGPL-2.1-or-later
// Times a write's parts; see write_parts.h.
//
// The clock is charged at every call's entry (the work since the last call goes to the
// phase the write is in) and exit (the call goes to its own part: a journal handle's
// calls to the journal, a flush to the flush of its file, else the phase). The phase moves
// on at the copy's creation (copy), its first read after its flush (check) and ReplaceFileW
// (after). A read of the copy is the check's wherever it comes.
#include "bench/write_parts.h"

#include <windows.h>

#include <string.h>
#include <wchar.h>

#include "standin/iat_patch.h"

namespace {

enum FileKind { kOther, kTrack, kCopy, kJournal };

struct OpenFile {
  HANDLE handle;
  FileKind kind;
};

const int kMaxOpen = 64;

struct Timing {
  bool on;
  wchar_t track[MAX_PATH];
  wchar_t journal[MAX_PATH];
  int phase;          // kPartPlan, kPartCopy, kPartCheck or kPartAfter
  int journalOpen;    // journal handles open: their stretch is the journal's
  double mark;        // where the clock was last charged
  bool copyFlushed;   // the copy was flushed: a read of it now begins a check pass
  WriteParts parts;
  OpenFile open[kMaxOpen];
  int openCount;
};
Timing g_timing = {};

double nowMs() {
  static LARGE_INTEGER frequency = {};
  if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return 1000.0 * now.QuadPart / frequency.QuadPart;
}

int currentPart() { return g_timing.journalOpen > 0 ? kPartJournal : g_timing.phase; }

void charge(int part) {
  const double now = nowMs();
  if (g_timing.on) g_timing.parts.ms[part] += now - g_timing.mark;
  g_timing.mark = now;
}

FileKind kindOfPath(const wchar_t* path) {
  if (!path) return kOther;
  const size_t trackLength = wcslen(g_timing.track);
  const size_t journalLength = wcslen(g_timing.journal);
  if (journalLength && _wcsnicmp(path, g_timing.journal, journalLength) == 0) return kJournal;
  if (trackLength && _wcsnicmp(path, g_timing.track, trackLength) == 0)
    return path[trackLength] == 0 ? kTrack : kCopy;
  return kOther;
}

FileKind kindOfHandle(HANDLE handle) {
  for (int i = 0; i < g_timing.openCount; ++i)
    if (g_timing.open[i].handle == handle) return g_timing.open[i].kind;
  return kOther;
}

void remember(HANDLE handle, FileKind kind) {
  if (handle == INVALID_HANDLE_VALUE || kind == kOther || g_timing.openCount == kMaxOpen) return;
  g_timing.open[g_timing.openCount++] = {handle, kind};
}

// Forgets the handle; its kind.
FileKind forget(HANDLE handle) {
  for (int i = 0; i < g_timing.openCount; ++i) {
    if (g_timing.open[i].handle != handle) continue;
    const FileKind kind = g_timing.open[i].kind;
    g_timing.open[i] = g_timing.open[--g_timing.openCount];
    return kind;
  }
  return kOther;
}

// The originals, one set for each patched module (0: the program, 1: the C runtime).
struct Originals {
  HANDLE(WINAPI* createW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  HANDLE(WINAPI* createA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  BOOL(WINAPI* close)(HANDLE);
  BOOL(WINAPI* read)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* write)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* flush)(HANDLE);
  BOOL(WINAPI* replace)(LPCWSTR, LPCWSTR, LPCWSTR, DWORD, LPVOID, LPVOID);
  BOOL(WINAPI* remove)(LPCWSTR);
};
Originals g_originals[2] = {};

// A file opened: the copy's creation starts the copy phase.
void opening(FileKind kind) {
  charge(currentPart());
  if (kind == kJournal) ++g_timing.journalOpen;
  if (kind == kCopy && g_timing.phase == kPartPlan) g_timing.phase = kPartCopy;
}

template <int M>
HANDLE WINAPI timedCreateW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                           DWORD disposition, DWORD flags, HANDLE from) {
  const FileKind kind = kindOfPath(path);
  opening(kind);
  HANDLE handle = g_originals[M].createW(path, access, share, security, disposition, flags, from);
  charge(currentPart());
  if (handle == INVALID_HANDLE_VALUE && kind == kJournal) --g_timing.journalOpen;
  remember(handle, kind);
  return handle;
}

template <int M>
HANDLE WINAPI timedCreateA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                           DWORD disposition, DWORD flags, HANDLE from) {
  wchar_t wide[MAX_PATH] = {};
  for (int i = 0; path && path[i] && i < MAX_PATH - 1; ++i) wide[i] = static_cast<unsigned char>(path[i]);
  const FileKind kind = kindOfPath(wide);
  opening(kind);
  HANDLE handle = g_originals[M].createA(path, access, share, security, disposition, flags, from);
  charge(currentPart());
  if (handle == INVALID_HANDLE_VALUE && kind == kJournal) --g_timing.journalOpen;
  remember(handle, kind);
  return handle;
}

template <int M>
BOOL WINAPI timedClose(HANDLE handle) {
  charge(currentPart());
  BOOL ok = g_originals[M].close(handle);
  charge(currentPart());
  if (forget(handle) == kJournal && g_timing.journalOpen > 0) --g_timing.journalOpen;
  return ok;
}

template <int M>
BOOL WINAPI timedRead(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped) {
  charge(currentPart());
  const bool copy = kindOfHandle(handle) == kCopy;
  // A pass that reads the copy back after it is written is the check from its first read on.
  if (copy && g_timing.phase == kPartCopy && g_timing.copyFlushed) g_timing.phase = kPartCheck;
  BOOL ok = g_originals[M].read(handle, buffer, size, got, overlapped);
  // A read-back within the copy pass is the check's too.
  charge(copy ? kPartCheck : currentPart());
  return ok;
}

template <int M>
BOOL WINAPI timedWrite(HANDLE handle, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  charge(currentPart());
  BOOL ok = g_originals[M].write(handle, data, size, written, overlapped);
  charge(currentPart());
  return ok;
}

template <int M>
BOOL WINAPI timedFlush(HANDLE handle) {
  charge(currentPart());
  BOOL ok = g_originals[M].flush(handle);
  const FileKind kind = kindOfHandle(handle);
  if (kind == kJournal) ++g_timing.parts.notes;
  if (kind == kCopy) g_timing.copyFlushed = true;
  charge(kind == kCopy ? kPartCopyFlush : kind == kTrack ? kPartTrackFlush : kind == kJournal ? kPartNoteFlush
                                                                                             : currentPart());
  return ok;
}

template <int M>
BOOL WINAPI timedReplace(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags, LPVOID exclude,
                         LPVOID reserved) {
  charge(currentPart());
  BOOL ok = g_originals[M].replace(replaced, replacement, backup, flags, exclude, reserved);
  charge(kPartReplace);
  g_timing.phase = kPartAfter;
  return ok;
}

template <int M>
BOOL WINAPI timedDelete(LPCWSTR path) {
  charge(currentPart());
  BOOL ok = g_originals[M].remove(path);
  charge(kindOfPath(path) == kJournal ? kPartJournal : kPartRemove);
  return ok;
}

template <typename F>
void patch(HMODULE module, const char* name, F* original, F replacement) {
  void* was = patchImport(module, "kernel32.dll", name, reinterpret_cast<void*>(replacement));
  if (!was) was = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name));
  *original = reinterpret_cast<F>(was);
}

template <int M>
void patchModule(HMODULE module) {
  Originals& o = g_originals[M];
  patch(module, "CreateFileW", &o.createW, &timedCreateW<M>);
  patch(module, "CreateFileA", &o.createA, &timedCreateA<M>);
  patch(module, "CloseHandle", &o.close, &timedClose<M>);
  patch(module, "ReadFile", &o.read, &timedRead<M>);
  patch(module, "WriteFile", &o.write, &timedWrite<M>);
  patch(module, "FlushFileBuffers", &o.flush, &timedFlush<M>);
  patch(module, "ReplaceFileW", &o.replace, &timedReplace<M>);
  patch(module, "DeleteFileW", &o.remove, &timedDelete<M>);
}

}  // namespace

void installPartTimers() {
  patchModule<0>(GetModuleHandleW(nullptr));
  patchModule<1>(GetModuleHandleW(L"msvcrt.dll"));
}

void beginPartTiming(const wchar_t* track, const wchar_t* journal) {
  g_timing.on = true;
  wcsncpy(g_timing.track, track, MAX_PATH - 1);
  wcsncpy(g_timing.journal, journal, MAX_PATH - 1);
  g_timing.phase = kPartPlan;
  g_timing.journalOpen = 0;
  g_timing.parts = WriteParts();
  g_timing.openCount = 0;
  g_timing.copyFlushed = false;
  g_timing.mark = nowMs();
}

WriteParts endPartTiming() {
  charge(currentPart());
  g_timing.on = false;
  return g_timing.parts;
}

const char* partName(int part) {
  static const char* const kNames[kPartCount] = {"plan",  "journal", "note flush", "copy",   "copy flush", "check",
                                                  "replace", "track flush", "remove", "after"};
  return part >= 0 && part < kPartCount ? kNames[part] : "?";
}
