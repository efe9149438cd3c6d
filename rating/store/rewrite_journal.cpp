// SPDX-License-Identifier: LGPL-2.1-or-later
// The rewrite journal; see rewrite_journal.h.
//
// A note, all numbers little-endian:
//   0  "VBJ1"
//   4  u32 length of the note, from here to the end of its CRC
//   8  u32 id
//  12  u8 step (0: the rewrite is closed), u8 route, u8 stars, u8 1 when patches follow
//  16  u64 rating offset, u64 track size, u64 track time, u64 new size
//  48  u32 length in UTF-16 units of each path: track, copy, input, backup
//  64  the paths, UTF-16
//      when patches follow: u32 their length, then the patches (rewrite_journal.h)
//      u32 CRC-32 of everything before it
// then zeros to the next 512-byte boundary, and one zeroed sector that ends the log until
// the next note is written over it.
#include "rating/store/rewrite_journal.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "rating/bytes/crc32.h"
#include "rating/file/track_file.h"
#include "rating/store/tag_file.h"

namespace {

const unsigned char kMagic[4] = {'V', 'B', 'J', '1'};
const size_t kSector = 512;
const size_t kHeaderBytes = 64;
const int kPathCount = 4;
const uint32_t kMaxPathUnits = 32767;
const uint32_t kMaxNoteBytes = kHeaderBytes + kPathCount * kMaxPathUnits * 2 + 4 + 4 + kMaxPatchNoteBytes;
// A journal is read this far at most; a longer one is no journal of ours.
const uint64_t kMaxJournalBytes = 4u * 1024 * 1024;
// From this length on the open notes move to a fresh file before the next note.
const uint64_t kCompactFrom = 64 * 1024;
// Open rewrites kept track of; there is one at a time, a few after failed recoveries.
const int kMaxOpenNotes = 32;

struct JournalState {
  wchar_t* path;    // null: no journal
  bool knownQuiet;  // no rewrite open since the journal was last read or written
};
JournalState g_journal = {nullptr, false};

// Where the latest note of each rewrite stands in the log.
struct NoteList {
  int count;
  uint64_t at[kMaxOpenNotes];
  uint32_t id[kMaxOpenNotes];
};

// The journal as read: its bytes, where the valid notes end, and the latest note of each
// open rewrite and of each closed one.
struct JournalLog {
  unsigned char* bytes;
  uint64_t size;
  uint64_t validEnd;
  uint32_t lastId;
  NoteList open;
  NoteList closed;
};

uint32_t get32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
         static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

uint64_t get64(const unsigned char* at) { return get32(at) | static_cast<uint64_t>(get32(at + 4)) << 32; }

void put32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

void put64(unsigned char* at, uint64_t value) {
  put32(at, static_cast<uint32_t>(value));
  put32(at + 4, static_cast<uint32_t>(value >> 32));
}

uint64_t roundUpToSector(uint64_t bytes) { return (bytes + kSector - 1) / kSector * kSector; }

const wchar_t* pathOf(const RewriteRecord& record, int index) {
  const wchar_t* paths[kPathCount] = {record.track, record.copy, record.input, record.backup};
  return paths[index];
}

// The note's length when it is whole at `at`, else 0.
uint32_t validNoteAt(const unsigned char* bytes, uint64_t size, uint64_t at) {
  if (size - at < kHeaderBytes + 4 || std::memcmp(bytes + at, kMagic, 4) != 0) return 0;
  const uint32_t length = get32(bytes + at + 4);
  if (length < kHeaderBytes + 4 || length > kMaxNoteBytes || length > size - at) return 0;
  uint64_t units = 0;
  for (int i = 0; i < kPathCount; ++i) units += get32(bytes + at + 48 + 4 * i);
  uint64_t expected = kHeaderBytes + units * 2 + 4;
  if (bytes[at + 15] == 1) {
    if (expected + 4 > length) return 0;
    expected += 4 + uint64_t{get32(bytes + at + kHeaderBytes + units * 2)};
  } else if (bytes[at + 15] != 0) {
    return 0;
  }
  if (expected != length) return 0;
  if (get32(bytes + at + length - 4) != crc32Of(bytes + at, length - 4)) return 0;
  return length;
}

int indexOf(const NoteList& list, uint32_t id) {
  for (int i = 0; i < list.count; ++i)
    if (list.id[i] == id) return i;
  return -1;
}

void forget(NoteList* list, uint32_t id) {
  const int index = indexOf(*list, id);
  if (index < 0) return;
  for (int i = index; i + 1 < list->count; ++i) {
    list->at[i] = list->at[i + 1];
    list->id[i] = list->id[i + 1];
  }
  --list->count;
}

// Notes the latest note of `id`; when the list is full, the oldest entry makes room.
void remember(NoteList* list, uint32_t id, uint64_t at) {
  forget(list, id);
  if (list->count == kMaxOpenNotes) forget(list, list->id[0]);
  list->at[list->count] = at;
  list->id[list->count] = id;
  ++list->count;
}

// Walks the notes from the start up to the first that is not whole.
void walkLog(JournalLog* log) {
  uint64_t at = 0;
  while (at < log->size) {
    const uint32_t length = validNoteAt(log->bytes, log->size, at);
    if (length == 0) break;
    const uint32_t id = get32(log->bytes + at + 8);
    const int step = log->bytes[at + 12];
    if (id > log->lastId) log->lastId = id;
    if (step == 0) {
      forget(&log->open, id);
      remember(&log->closed, id, at);
    } else {
      forget(&log->closed, id);
      remember(&log->open, id, at);
    }
    at += roundUpToSector(length);
  }
  log->validEnd = at < log->size ? at : log->size;
}

// Reads the open journal file; false when it could not be read (or is too long to be ours).
bool readLog(TrackFile file, JournalLog* log) {
  std::memset(log, 0, sizeof *log);
  uint64_t size = 0;
  if (!trackFileSize(file, &size) || size > kMaxJournalBytes) return false;
  log->size = size;
  if (size > 0) {
    log->bytes = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(size)));
    if (!log->bytes || readTrackAt(file, 0, log->bytes, static_cast<size_t>(size)) != size) {
      std::free(log->bytes);
      log->bytes = nullptr;
      return false;
    }
  }
  walkLog(log);
  return true;
}

void releaseLog(JournalLog* log) {
  std::free(log->bytes);
  log->bytes = nullptr;
}

// The note for `record` at step `step` (0: closed), padded and followed by a zeroed sector
// (malloc'd); null when a path is too long or memory is short.
unsigned char* encodeNote(const RewriteRecord& record, int step, size_t* encodedSize) {
  uint32_t units[kPathCount];
  uint64_t length = kHeaderBytes + 4;
  for (int i = 0; i < kPathCount; ++i) {
    const wchar_t* path = pathOf(record, i);
    const size_t count = path ? std::wcslen(path) : 0;
    if (count > kMaxPathUnits) return nullptr;
    for (size_t k = 0; k < count; ++k)
      if ((static_cast<uint32_t>(path[k]) >> 16) != 0) return nullptr;  // no UTF-16 unit
    units[i] = static_cast<uint32_t>(count);
    length += 2 * uint64_t{count};
  }
  if (record.patch) {
    if (record.patchSize > kMaxPatchNoteBytes) return nullptr;
    length += 4 + uint64_t{record.patchSize};
  }
  const size_t total = static_cast<size_t>(roundUpToSector(length) + kSector);
  unsigned char* note = static_cast<unsigned char*>(std::calloc(total, 1));
  if (!note) return nullptr;
  std::memcpy(note, kMagic, 4);
  put32(note + 4, static_cast<uint32_t>(length));
  put32(note + 8, record.id);
  note[12] = static_cast<unsigned char>(step);
  note[13] = static_cast<unsigned char>(record.route);
  note[14] = static_cast<unsigned char>(record.stars);
  note[15] = record.patch ? 1 : 0;
  put64(note + 16, record.ratingOffset);
  put64(note + 24, record.trackSize);
  put64(note + 32, record.trackTime);
  put64(note + 40, record.newSize);
  unsigned char* at = note + kHeaderBytes;
  for (int i = 0; i < kPathCount; ++i) {
    put32(note + 48 + 4 * i, units[i]);
    const wchar_t* path = pathOf(record, i);
    for (uint32_t k = 0; k < units[i]; ++k, at += 2) {
      at[0] = static_cast<unsigned char>(path[k] & 0xFF);
      at[1] = static_cast<unsigned char>((path[k] >> 8) & 0xFF);
    }
  }
  if (record.patch) {
    put32(at, record.patchSize);
    std::memcpy(at + 4, record.patch, record.patchSize);
  }
  put32(note + length - 4, crc32Of(note, static_cast<size_t>(length - 4)));
  *encodedSize = total;
  return note;
}

wchar_t* decodePath(const unsigned char* at, uint32_t units) {
  if (units == 0) return nullptr;
  wchar_t* path = static_cast<wchar_t*>(std::malloc((units + 1) * sizeof(wchar_t)));
  if (!path) return nullptr;
  for (uint32_t k = 0; k < units; ++k) path[k] = static_cast<wchar_t>(at[2 * k] | at[2 * k + 1] << 8);
  path[units] = 0;
  return path;
}

// The record of the whole note at `at`; false when memory is short or it names no track.
bool decodeNote(const unsigned char* note, RewriteRecord* record) {
  std::memset(record, 0, sizeof *record);
  record->id = get32(note + 8);
  record->step = note[12];
  record->route = note[13];
  record->stars = note[14];
  record->ratingOffset = get64(note + 16);
  record->trackSize = get64(note + 24);
  record->trackTime = get64(note + 32);
  record->newSize = get64(note + 40);
  wchar_t** paths[kPathCount] = {&record->track, &record->copy, &record->input, &record->backup};
  const unsigned char* at = note + kHeaderBytes;
  for (int i = 0; i < kPathCount; ++i) {
    const uint32_t units = get32(note + 48 + 4 * i);
    *paths[i] = decodePath(at, units);
    if (units > 0 && !*paths[i]) {
      releaseRewriteRecord(record);
      return false;
    }
    at += 2 * uint64_t{units};
  }
  if (note[15] == 1) {
    record->patchSize = get32(at);
    record->patch = static_cast<unsigned char*>(std::malloc(record->patchSize ? record->patchSize : 1));
    if (!record->patch) {
      releaseRewriteRecord(record);
      return false;
    }
    std::memcpy(record->patch, at + 4, record->patchSize);
  }
  if (record->track) return true;
  releaseRewriteRecord(record);
  return false;
}

TrackFile openJournal(bool create) {
  TrackFile file = openTrackFile(g_journal.path, kTrackHold, nullptr);
  if (!file.handle && create && !pathInfo(g_journal.path, nullptr).exists)
    file = createNewFile(g_journal.path);
  return file;
}

// Moves the open notes and `note` to a fresh journal that replaces the old one in one
// rename; the old one stays as it was when anything fails. The closed notes go: by now
// what they removed is long on the disk.
bool compactInto(const JournalLog& log, const unsigned char* note, size_t noteSize, uint32_t noteId) {
  wchar_t* fresh = pathWithSuffix(g_journal.path, L".new");
  if (!fresh) return false;
  deleteFileAt(fresh);  // a fresh journal of an earlier try: the plugin's own
  TrackFile file = createNewFile(fresh);
  bool written = file.handle != nullptr;
  uint64_t at = 0;
  for (int i = 0; written && i < log.open.count; ++i) {
    if (log.open.id[i] == noteId) continue;  // `note` follows it
    const uint32_t length = get32(log.bytes + log.open.at[i] + 4);
    written = writeTrackAt(file, at, log.bytes + log.open.at[i], length, nullptr) == length;
    at += roundUpToSector(length);
  }
  written = written && writeTrackAt(file, at, note, noteSize, nullptr) == noteSize && flushTrackFile(file);
  closeTrackFile(&file);
  written = written && renameFile(fresh, g_journal.path, true);
  if (!written) deleteFileAt(fresh);
  std::free(fresh);
  return written;
}

// A rewrite's closing note may be lost to a crash: its open note then leads recovery to a
// track that is whole and to the files beside it, which it removes again. A patch's may not:
// recovery would write its bytes again over whatever the file holds by then.
bool closingNoteMayBeLost(const RewriteRecord& record, int step) {
  return step == 0 && record.route != kRoutePatch;
}

// Writes `record` at `step` (0: closed) after the valid notes and makes it durable. A
// closing note keeps the record's names, so that recovery can remove what a lost removal
// left (journal_recovery.h).
bool writeNote(RewriteRecord* record, int step) {
  if (!g_journal.path || !record->track) return false;
  TrackFile file = openJournal(true);
  if (!file.handle) return false;
  JournalLog log;
  bool written = false;
  if (readLog(file, &log)) {
    if (record->id == 0) record->id = log.lastId + 1;
    int stillOpen = log.open.count;
    if (indexOf(log.open, record->id) >= 0) --stillOpen;
    size_t noteSize = 0;
    unsigned char* note = encodeNote(*record, step, &noteSize);
    if (note && log.validEnd >= kCompactFrom) {
      closeTrackFile(&file);
      written = compactInto(log, note, noteSize, record->id);
    } else if (note) {
      written = writeTrackAt(file, log.validEnd, note, noteSize, nullptr) == noteSize &&
                (closingNoteMayBeLost(*record, step) || flushTrackFile(file));
    }
    std::free(note);
    releaseLog(&log);
    g_journal.knownQuiet = written && step == 0 && stillOpen == 0;
  }
  closeTrackFile(&file);
  return written;
}

// The notes of the list, those naming `track` (all when null), decoded for the caller.
int decodeNotes(const JournalLog& log, const NoteList& list, const wchar_t* track, RewriteRecord* records,
                int capacity) {
  int found = 0;
  for (int i = 0; i < list.count && found < capacity; ++i) {
    RewriteRecord record;
    if (!decodeNote(log.bytes + list.at[i], &record)) continue;
    if (track && std::wcscmp(track, record.track) != 0) {
      releaseRewriteRecord(&record);
      continue;
    }
    records[found++] = record;
  }
  return found;
}

// Reads the journal and decodes the open notes (or the closed ones) naming `track`.
int readNotes(const wchar_t* track, bool closed, RewriteRecord* records, int capacity) {
  if (!g_journal.path || (!closed && g_journal.knownQuiet)) return 0;
  TrackFile file = openTrackFile(g_journal.path, kTrackRead, nullptr);
  if (!file.handle) {
    g_journal.knownQuiet = !pathInfo(g_journal.path, nullptr).exists;
    return 0;
  }
  JournalLog log;
  int found = 0;
  if (readLog(file, &log)) {
    g_journal.knownQuiet = log.open.count == 0;
    found = decodeNotes(log, closed ? log.closed : log.open, track, records, capacity);
    releaseLog(&log);
  }
  closeTrackFile(&file);
  return found;
}

}  // namespace

void setRewriteJournal(const wchar_t* path) {
  std::free(g_journal.path);
  g_journal.path = copyOfPath(path && path[0] ? path : nullptr);
  g_journal.knownQuiet = false;
}

bool noteRewrite(RewriteRecord* record) {
  if (record->step < kStepCopying || record->step > kStepPatching) return false;
  g_journal.knownQuiet = false;
  return writeNote(record, record->step);
}

void closeRewriteNote(RewriteRecord* record) {
  if (record->id != 0) writeNote(record, 0);
  record->id = 0;
}

int openRewriteNotes(const wchar_t* track, RewriteRecord* records, int capacity) {
  return readNotes(track, false, records, capacity);
}

int closedRewriteNotes(RewriteRecord* records, int capacity) {
  return readNotes(nullptr, true, records, capacity);
}

void clearRewriteJournal() {
  if (!g_journal.path) return;
  TrackFile file = openTrackFile(g_journal.path, kTrackHold, nullptr);
  if (!file.handle) return;
  JournalLog log;
  if (readLog(file, &log) && log.open.count == 0 && log.size > 0 && setTrackFileSize(file, 0))
    flushTrackFile(file);
  releaseLog(&log);
  closeTrackFile(&file);
}

void releaseRewriteRecord(RewriteRecord* record) {
  std::free(record->track);
  std::free(record->copy);
  std::free(record->input);
  std::free(record->backup);
  std::free(record->patch);
  record->track = record->copy = record->input = record->backup = nullptr;
  record->patch = nullptr;
  record->patchSize = 0;
}

wchar_t* copyOfPath(const wchar_t* path) { return path ? pathWithSuffix(path, L"") : nullptr; }

bool noteRewriteStep(RewriteRecord* record, int step) {
  record->step = step;
  return noteRewrite(record) || record->id == 0;
}

void dropRewrite(RewriteRecord* record) {
  bool gone = true;
  const wchar_t* made[] = {record->copy, record->input, record->backup};
  for (const wchar_t* path : made) {
    if (path && !deleteFileAt(path) && !fileIsMissing(path)) gone = false;
  }
  if (gone) closeRewriteNote(record);
}
