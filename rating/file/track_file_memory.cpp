// SPDX-License-Identifier: LGPL-2.1-or-later
// The rating store's file calls over files kept in memory, for the crash tests; see
// track_file_memory.h and track_file.h.
//
// The disk as it was at the last start (`base`) and every change since (`ops`, in order,
// each marked once flushed) are kept beside the files as the running program sees them.
// At a power cut the disk is made anew from the two, choosing what of the unflushed
// changes survives.
#include "rating/file/track_file_memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace {

const uint64_t kSector = 512;

struct DiskFile {
  std::vector<unsigned char> bytes;
  uint64_t time;
};

struct Inode {
  std::vector<unsigned char> bytes;
  uint64_t time;
  int handles;                            // open handles; none shares deletion
  bool playerHold;  // held from outside, sharing read and write but not deletion
};

enum OpKind { kOpCreate, kOpRemove, kOpRename, kOpWrite, kOpSize };

struct Op {
  OpKind kind;
  int inode;
  std::wstring name;   // create, remove, rename from
  std::wstring other;  // rename to
  uint64_t offset;     // write
  std::vector<unsigned char> bytes;
  uint64_t size;  // size
  uint64_t time;
  bool flushed;
};

struct Handle {
  int inode;
  bool writes;
};

struct MemoryDisk {
  std::set<std::wstring> folders;
  std::map<std::wstring, int> baseNames;
  std::map<int, DiskFile> baseFiles;
  std::map<std::wstring, int> names;
  std::map<int, Inode> inodes;
  std::vector<Op> ops;
  std::map<int, Handle> handles;
  std::map<std::wstring, DiskFile> afterCut;
  int nextHandle = 1;
  int nextInode = 1;
  uint64_t clock = 1000;
  int steps = 0;
  bool powerOn = true;
  int cutAt = -1;
  PowerCutSurvival survival = kAllUnflushedSurvive;
  uint32_t seed = 0;
  bool garbage = false;
  int failAt = -1;
  FileStatus failStatus = kFileFailed;
  bool trace = false;  // each step on stderr
};
MemoryDisk g_disk;

// ---- What survives a power cut -------------------------------------------

uint32_t g_random = 1;

uint32_t nextRandom() {
  // xorshift32
  g_random ^= g_random << 13;
  g_random ^= g_random >> 17;
  g_random ^= g_random << 5;
  return g_random;
}

bool coin() {
  return g_disk.survival == kAllUnflushedSurvive ||
         (g_disk.survival == kSomeUnflushedSurvive && (nextRandom() & 1));
}

void growTo(std::vector<unsigned char>* bytes, uint64_t size) {
  if (bytes->size() < size) bytes->resize(static_cast<size_t>(size), 0);
}

// An unflushed write on the disk after the cut: whole, not at all, or sector by sector.
void replayWrite(const Op& op, DiskFile* file) {
  const uint64_t end = op.offset + op.bytes.size();
  if (op.flushed || g_disk.survival == kAllUnflushedSurvive) {
    growTo(&file->bytes, end);
    std::memcpy(file->bytes.data() + op.offset, op.bytes.data(), op.bytes.size());
    file->time = op.time;
    return;
  }
  if (g_disk.survival == kNoUnflushedSurvive || op.bytes.empty()) return;
  const uint64_t firstSector = op.offset / kSector;
  const uint64_t lastSector = (end - 1) / kSector;
  // The file's new length may survive without the data.
  if (nextRandom() % 4 == 0) growTo(&file->bytes, end);
  for (uint64_t sector = firstSector; sector <= lastSector; ++sector) {
    const uint64_t from = sector * kSector > op.offset ? sector * kSector : op.offset;
    const uint64_t to = (sector + 1) * kSector < end ? (sector + 1) * kSector : end;
    if (nextRandom() & 1) {
      growTo(&file->bytes, to);
      std::memcpy(file->bytes.data() + from, op.bytes.data() + (from - op.offset),
                  static_cast<size_t>(to - from));
      file->time = op.time;
    } else if (g_disk.garbage && firstSector != lastSector && (nextRandom() & 1)) {
      growTo(&file->bytes, to);
      for (uint64_t at = from; at < to; ++at)
        file->bytes[static_cast<size_t>(at)] = static_cast<unsigned char>(nextRandom());
    }
  }
}

// The disk after a cut now: the base, the flushed changes, and what the survival rule
// keeps of the rest.
void computeDiskAfterCut() {
  g_random = g_disk.seed * 2654435761u + 12345u;
  if (g_random == 0) g_random = 1;
  size_t dirOps = 0;
  size_t flushedDirOps = 0;
  for (const Op& op : g_disk.ops) {
    if (op.kind != kOpCreate && op.kind != kOpRemove && op.kind != kOpRename) continue;
    ++dirOps;
    if (op.flushed) flushedDirOps = dirOps;
  }
  size_t keptDirOps = dirOps;
  if (g_disk.survival == kNoUnflushedSurvive) keptDirOps = flushedDirOps;
  if (g_disk.survival == kSomeUnflushedSurvive)
    keptDirOps = flushedDirOps + nextRandom() % (dirOps - flushedDirOps + 1);
  std::map<std::wstring, int> names = g_disk.baseNames;
  std::map<int, DiskFile> files = g_disk.baseFiles;
  size_t dirOp = 0;
  for (const Op& op : g_disk.ops) {
    DiskFile& file = files[op.inode];
    switch (op.kind) {
      case kOpCreate:
        if (dirOp++ < keptDirOps) {
          names[op.name] = op.inode;
          file.time = op.time;
        }
        break;
      case kOpRemove:
        if (dirOp++ < keptDirOps) names.erase(op.name);
        break;
      case kOpRename:
        if (dirOp++ < keptDirOps && names.count(op.name)) {
          names[op.other] = names[op.name];
          names.erase(op.name);
        }
        break;
      case kOpWrite:
        replayWrite(op, &file);
        break;
      case kOpSize:
        if (op.flushed || coin()) {
          file.bytes.resize(static_cast<size_t>(op.size), 0);
          file.time = op.time;
        }
        break;
    }
  }
  g_disk.afterCut.clear();
  for (const auto& name : names) g_disk.afterCut[name.first] = files[name.second];
}

void recordOp(Op op) {
  op.time = ++g_disk.clock;
  op.flushed = false;
  g_disk.ops.push_back(op);
}

void writeLive(int inode, uint64_t offset, const std::vector<unsigned char>& bytes) {
  Inode& file = g_disk.inodes[inode];
  Op op = {kOpWrite, inode, L"", L"", offset, bytes, 0, 0, false};
  recordOp(op);
  growTo(&file.bytes, offset + bytes.size());
  if (!bytes.empty()) std::memcpy(file.bytes.data() + offset, bytes.data(), bytes.size());
  file.time = g_disk.clock;
}

void sizeLive(int inode, uint64_t size) {
  Inode& file = g_disk.inodes[inode];
  Op op = {kOpSize, inode, L"", L"", 0, {}, size, 0, false};
  recordOp(op);
  file.bytes.resize(static_cast<size_t>(size), 0);
  file.time = g_disk.clock;
}

int createLive(const std::wstring& name) {
  const int inode = g_disk.nextInode++;
  Op op = {kOpCreate, inode, name, L"", 0, {}, 0, 0, false};
  recordOp(op);
  Inode file = {{}, g_disk.clock, 0, false};
  g_disk.inodes[inode] = file;
  g_disk.names[name] = inode;
  return inode;
}

// ---- Steps -----------------------------------------------------------------

// Starts a call: false when it fails (the power is off, or goes now, or the call fails),
// with *status set.
bool stepGoesOn(const char* call, FileStatus* status) {
  const int step = g_disk.steps++;
  if (g_disk.trace) std::fprintf(stderr, "step %d: %s\n", step, call);
  if (g_disk.powerOn && step == g_disk.cutAt) {
    computeDiskAfterCut();
    g_disk.powerOn = false;
  }
  if (!g_disk.powerOn) {
    if (status) *status = kFileFailed;
    return false;
  }
  if (step == g_disk.failAt) {
    if (status) *status = g_disk.failStatus;
    return false;
  }
  return true;
}

void setStatus(FileStatus* status, FileStatus value) {
  if (status) *status = value;
}

bool isFolderName(const std::wstring& path) {
  return !path.empty() && (path.back() == L'\\' || path.back() == L'/');
}

std::wstring folderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

int inodeAt(const wchar_t* path) {
  auto found = g_disk.names.find(path);
  return found == g_disk.names.end() ? 0 : found->second;
}

bool isHeld(int inode) { return g_disk.inodes[inode].handles > 0 || g_disk.inodes[inode].playerHold; }

Inode* inodeOf(TrackFile file) {
  auto found = g_disk.handles.find(static_cast<int>(reinterpret_cast<intptr_t>(file.handle)));
  return found == g_disk.handles.end() ? nullptr : &g_disk.inodes[found->second.inode];
}

int inodeNumberOf(TrackFile file) {
  auto found = g_disk.handles.find(static_cast<int>(reinterpret_cast<intptr_t>(file.handle)));
  return found == g_disk.handles.end() ? 0 : found->second.inode;
}

TrackFile openHandle(int inode, bool writes) {
  const int id = g_disk.nextHandle++;
  g_disk.handles[id] = {inode, writes};
  ++g_disk.inodes[inode].handles;
  TrackFile file = {reinterpret_cast<void*>(static_cast<intptr_t>(id))};
  return file;
}

void flushDirOps() {
  for (Op& op : g_disk.ops)
    if (op.kind == kOpCreate || op.kind == kOpRemove || op.kind == kOpRename) op.flushed = true;
}

void renameLive(const std::wstring& from, const std::wstring& to) {
  const int inode = g_disk.names[from];
  Op op = {kOpRename, inode, from, to, 0, {}, 0, 0, false};
  recordOp(op);
  g_disk.names.erase(from);
  g_disk.names[to] = inode;
}

void removeLive(const std::wstring& name) {
  Op op = {kOpRemove, g_disk.names[name], name, L"", 0, {}, 0, 0, false};
  recordOp(op);
  g_disk.names.erase(name);
}

// Copies a file's bytes (and its last-write time, as CopyFileW does) to `to`; with
// `failHalfway`, as a copy that fails after it has begun.
bool copyLive(const wchar_t* from, const wchar_t* to, bool overExisting, bool failHalfway) {
  const int source = inodeAt(from);
  int target = inodeAt(to);
  if (!source || g_disk.folders.count(folderOf(to)) == 0) return false;
  if (target && (!overExisting || target == source)) return false;
  std::vector<unsigned char> bytes = g_disk.inodes[source].bytes;
  const uint64_t time = g_disk.inodes[source].time;
  if (!target) target = createLive(to);
  sizeLive(target, 0);
  if (failHalfway) bytes.resize(bytes.size() / 2);
  writeLive(target, 0, bytes);
  g_disk.inodes[target].time = time;
  g_disk.ops.back().time = time;
  return !failHalfway;
}

void resetDisk(bool keepFiles) {
  std::map<std::wstring, DiskFile> files;
  if (keepFiles) files = g_disk.afterCut;
  g_disk.baseNames.clear();
  g_disk.baseFiles.clear();
  g_disk.names.clear();
  g_disk.inodes.clear();
  g_disk.ops.clear();
  g_disk.handles.clear();
  g_disk.afterCut.clear();
  g_disk.steps = 0;
  g_disk.powerOn = true;
  g_disk.cutAt = -1;
  g_disk.failAt = -1;
  for (const auto& file : files) {
    const int inode = g_disk.nextInode++;
    g_disk.baseNames[file.first] = inode;
    g_disk.baseFiles[inode] = file.second;
    g_disk.names[file.first] = inode;
    Inode live = {file.second.bytes, file.second.time, 0, false};
    g_disk.inodes[inode] = live;
  }
}

}  // namespace

// ---- The tests' controls ---------------------------------------------------

void memoryFilesReset() { resetDisk(false); }

void memoryAddFolder(const std::wstring& folder) { g_disk.folders.insert(folder); }

void memoryPutFile(const std::wstring& path, const std::string& bytes) {
  memoryAddFolder(folderOf(path));
  g_disk.afterCut.clear();
  for (const auto& name : g_disk.names) {
    DiskFile file = {g_disk.inodes[name.second].bytes, g_disk.inodes[name.second].time};
    g_disk.afterCut[name.first] = file;
  }
  DiskFile file = {std::vector<unsigned char>(bytes.begin(), bytes.end()), ++g_disk.clock};
  g_disk.afterCut[path] = file;
  resetDisk(true);
}

bool memoryFileBytes(const std::wstring& path, std::string* bytes) {
  const int inode = inodeAt(path.c_str());
  if (!inode) return false;
  const std::vector<unsigned char>& data = g_disk.inodes[inode].bytes;
  bytes->assign(data.begin(), data.end());
  return true;
}

std::vector<std::wstring> memoryFileNamesIn(const std::wstring& folder) {
  std::vector<std::wstring> found;
  for (const auto& name : g_disk.names)
    if (folderOf(name.first) == folder) found.push_back(name.first.substr(folder.size()));
  return found;
}

void memoryHoldLikePlayer(const std::wstring& path) {
  const int inode = inodeAt(path.c_str());
  if (inode) g_disk.inodes[inode].playerHold = true;
}

void memoryCutPowerAt(int step, PowerCutSurvival survival, uint32_t seed, bool garbage) {
  g_disk.cutAt = step;
  g_disk.survival = survival;
  g_disk.seed = seed;
  g_disk.garbage = garbage;
}

void memoryFailAt(int step, FileStatus status) {
  g_disk.failAt = step;
  g_disk.failStatus = status;
}

int memoryStepsTaken() { return g_disk.steps; }

bool memoryPowerIsOn() { return g_disk.powerOn; }

void memoryRestart() {
  if (g_disk.powerOn) {
    // A clean stop: everything reaches the disk.
    g_disk.survival = kAllUnflushedSurvive;
    computeDiskAfterCut();
  }
  resetDisk(true);
}

void memoryTraceSteps(bool trace) { g_disk.trace = trace; }

// ---- track_file.h ------------------------------------------------------------

TrackFile openTrackFile(const wchar_t* path, TrackAccess access, FileStatus* status) {
  TrackFile file = {nullptr};
  if (!stepGoesOn("openTrackFile", status)) return file;
  const int inode = inodeAt(path);
  if (!inode) {
    setStatus(status, kFileMissing);
    return file;
  }
  setStatus(status, kFileOk);
  return openHandle(inode, access == kTrackHold);
}

void closeTrackFile(TrackFile* file) {
  auto found = g_disk.handles.find(static_cast<int>(reinterpret_cast<intptr_t>(file->handle)));
  if (found != g_disk.handles.end()) {
    Inode& inode = g_disk.inodes[found->second.inode];
    --inode.handles;
    g_disk.handles.erase(found);
  }
  file->handle = nullptr;
}

TrackFile createNewFile(const wchar_t* path) {
  TrackFile file = {nullptr};
  if (!stepGoesOn("createNewFile", nullptr) || inodeAt(path) || g_disk.folders.count(folderOf(path)) == 0)
    return file;
  return openHandle(createLive(path), true);
}

bool trackFileSize(TrackFile file, uint64_t* size) {
  const Inode* inode = inodeOf(file);
  if (!stepGoesOn("trackFileSize", nullptr) || !inode) return false;
  *size = inode->bytes.size();
  return true;
}

size_t readTrackAt(TrackFile file, uint64_t offset, unsigned char* buffer, size_t count) {
  const Inode* inode = inodeOf(file);
  if (!stepGoesOn("readTrackAt", nullptr) || !inode || offset >= inode->bytes.size()) return 0;
  const uint64_t available = inode->bytes.size() - offset;
  const size_t got = count < available ? count : static_cast<size_t>(available);
  std::memcpy(buffer, inode->bytes.data() + offset, got);
  return got;
}

size_t writeTrackAt(TrackFile file, uint64_t offset, const unsigned char* bytes, size_t count,
                    FileStatus* status) {
  const int inode = inodeNumberOf(file);
  if (!stepGoesOn("writeTrackAt", status)) return 0;
  if (!inode || !g_disk.handles[static_cast<int>(reinterpret_cast<intptr_t>(file.handle))].writes) {
    setStatus(status, kFileFailed);
    return 0;
  }
  writeLive(inode, offset, std::vector<unsigned char>(bytes, bytes + count));
  setStatus(status, kFileOk);
  return count;
}

bool flushTrackFile(TrackFile file) {
  const int inode = inodeNumberOf(file);
  if (!stepGoesOn("flushTrackFile", nullptr) || !inode) return false;
  for (Op& op : g_disk.ops)
    if (op.inode == inode && (op.kind == kOpWrite || op.kind == kOpSize)) op.flushed = true;
  flushDirOps();
  return true;
}

bool setTrackFileSize(TrackFile file, uint64_t size) {
  const int inode = inodeNumberOf(file);
  if (!stepGoesOn("setTrackFileSize", nullptr) || !inode) return false;
  sizeLive(inode, size);
  return true;
}

PathInfo pathInfo(const wchar_t* path, FileStatus* status) {
  PathInfo info = {false, false, false, 0, 0};
  if (!stepGoesOn("pathInfo", status)) return info;
  setStatus(status, kFileOk);
  if (isFolderName(path) && g_disk.folders.count(path)) {
    info.exists = info.isFolder = true;
    return info;
  }
  const int inode = inodeAt(path);
  if (!inode) {
    setStatus(status, kFileMissing);
    return info;
  }
  info.exists = true;
  info.size = g_disk.inodes[inode].bytes.size();
  info.lastWriteTime = g_disk.inodes[inode].time;
  return info;
}

bool volumeHasRoom(const wchar_t*, uint64_t) { return stepGoesOn("volumeHasRoom", nullptr); }

// A copy that fails has begun: the target may be cut and half written.
bool copyStep(const wchar_t* from, const wchar_t* to, bool overExisting) {
  if (stepGoesOn("copyStep", nullptr)) return copyLive(from, to, overExisting, false);
  if (g_disk.powerOn) copyLive(from, to, overExisting, true);
  return false;
}

bool copyFileOver(const wchar_t* from, const wchar_t* to) { return copyStep(from, to, true); }

bool deleteFileAt(const wchar_t* path) {
  if (!stepGoesOn("deleteFileAt", nullptr)) return false;
  const int inode = inodeAt(path);
  if (!inode || isHeld(inode)) return false;
  removeLive(path);
  return true;
}

bool renameFile(const wchar_t* from, const wchar_t* to, bool overExisting) {
  if (!stepGoesOn("renameFile", nullptr)) return false;
  const int source = inodeAt(from);
  const int target = inodeAt(to);
  if (!source || isHeld(source) || (target && (!overExisting || isHeld(target)))) return false;
  if (g_disk.folders.count(folderOf(to)) == 0) return false;
  if (target) removeLive(to);
  renameLive(from, to);
  flushDirOps();  // written through
  return true;
}

FileStatus probeReplace(const wchar_t* path) {
  FileStatus status = kFileOk;
  if (!stepGoesOn("probeReplace", &status)) return status;
  const int inode = inodeAt(path);
  if (!inode) return kFileMissing;
  return isHeld(inode) ? kFileLocked : kFileOk;
}

FileStatus replaceFileWith(const wchar_t* path, const wchar_t* replacement, const wchar_t* backup) {
  FileStatus status = kFileOk;
  if (!stepGoesOn("replaceFileWith", &status)) return status;
  const int track = inodeAt(path);
  const int copy = inodeAt(replacement);
  if (!track || !copy) return kFileMissing;
  if (isHeld(track) || isHeld(copy)) return kFileLocked;
  // Two renames, as the platform does them: the track to the backup, the copy to the track.
  if (inodeAt(backup)) removeLive(backup);
  renameLive(path, backup);
  if (!stepGoesOn("replaceFileWith", &status)) return status;
  renameLive(replacement, path);
  return kFileOk;
}
