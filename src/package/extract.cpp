#include "package/extract.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <dll.hpp>

#include "system/files.h"
#include "system/guards.h"
#include "system/hook.h"
#include "system/os.h"
#include "system/progress.h"
#include "system/str.h"
#include "system/workers.h"

namespace {

// Reads a decimal key of the information section from its profile file (see UpdateNumber).
long long ProfileNumber(const char* file, const char* key, long long fallback) {
  char text[64];
  GetPrivateProfileStringA("update_info", key, "", text, sizeof text, file);
  return UpdateNumber(text, fallback);
}

bool WriteAll(HANDLE file, const char* path, const void* data, DWORD size) {
  DWORD written = 0;
  return SysWriteFile(file, path, data, size, &written) && written == size;
}

// ---- RAR archives ----

// Entries up to this size are decoded into memory and written by a worker thread, so that the
// library decodes the next entry while files are created; larger ones are written as they come.
const size_t kBufferedMax = 8u << 20;
// Bytes of decoded entries waiting for their worker, at most.
const size_t kQueuedMax = 64u << 20;

// Where the library's decoded bytes go: the file the program created for the current entry, or a
// buffer that a worker writes out.
struct Sink {
  HANDLE file = INVALID_HANDLE_VALUE;
  const char* path = nullptr;  // of file
  bool buffering = false;
  char* buffer = nullptr;
  size_t size = 0;
  size_t capacity = 0;
  size_t announced = 0;  // the entry's size as its header gives it
  bool counted = false;  // the bytes written count as the wait dialog's progress
};

bool Append(Sink* sink, const void* data, size_t n) {
  // More data than the header announced is a damaged archive, not a reason to grow without end.
  if (sink->size + n > sink->announced) return false;
  if (sink->size + n > sink->capacity) {
    size_t capacity = sink->capacity == 0 ? 64 * 1024 : sink->capacity;
    while (capacity < sink->size + n) capacity *= 2;
    if (capacity > sink->announced) capacity = sink->announced;
    char* grown = static_cast<char*>(realloc(sink->buffer, capacity));
    if (grown == nullptr) return false;
    sink->buffer = grown;
    sink->capacity = capacity;
  }
  memcpy(sink->buffer + sink->size, data, n);
  sink->size += n;
  return true;
}

int CALLBACK RarCallback(UINT message, LPARAM userData, LPARAM p1, LPARAM p2) {
  Sink* sink = reinterpret_cast<Sink*>(userData);
  if (message == UCM_PROCESSDATA) {
    const void* data = reinterpret_cast<const void*>(p1);
    if (sink->buffering) return Append(sink, data, static_cast<size_t>(p2)) ? 1 : -1;
    if (sink->file == INVALID_HANDLE_VALUE) return -1;
    if (!WriteAll(sink->file, sink->path, data, static_cast<DWORD>(p2))) return -1;
    // Counted as written, not as decoded: decoding runs far ahead of the workers' writes.
    if (sink->counted) SysProgressAdd(static_cast<uint64_t>(p2));
    return 1;
  }
  // No password is ever supplied and no further volume is looked for: both end the entry with an
  // error.
  return -1;
}

// An open archive, closed at the end of the scope. The file itself is held open beside the
// library's own handle, shared for reading and writing, for as long as the walk lasts.
struct Archive {
  HANDLE handle = nullptr;
  HandleGuard file;
  Sink sink;
  ~Archive() {
    if (handle != nullptr) RARCloseArchive(handle);
  }
  bool Open(const char* path) {
    file.handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.handle == INVALID_HANDLE_VALUE) return false;
    wchar_t wide[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) == 0) return false;
    RAROpenArchiveDataEx data;
    memset(&data, 0, sizeof data);
    data.ArcNameW = wide;
    data.OpenMode = RAR_OM_EXTRACT;
    data.Callback = RarCallback;
    data.UserData = reinterpret_cast<LPARAM>(&sink);
    handle = RAROpenArchiveEx(&data);
    return handle != nullptr && data.OpenResult == ERAR_SUCCESS;
  }
};

enum Next { NEXT_ENTRY, NEXT_END, NEXT_ERROR };

// Reads the next header; an entry the program can only write as a plain file is NEXT_ENTRY with
// its narrow name in name (MAX_PATH bytes).
Next ReadEntry(HANDLE archive, RARHeaderDataEx* header, char* name) {
  int rc = RARReadHeaderEx(archive, header);
  if (rc == ERAR_END_ARCHIVE) return NEXT_END;
  if (rc != ERAR_SUCCESS) return NEXT_ERROR;
  if ((header->Flags & (RHDF_DIRECTORY | RHDF_ENCRYPTED | RHDF_SPLITBEFORE | RHDF_SPLITAFTER)) ||
      header->RedirType != 0) {
    return NEXT_ERROR;
  }
  BOOL lossy = FALSE;
  int n = WideCharToMultiByte(CP_ACP, 0, header->FileNameW, -1, name, MAX_PATH, nullptr, &lossy);
  if (n == 0 || lossy) return NEXT_ERROR;
  return NEXT_ENTRY;
}

// Creates an entry's file: new in the fresh extraction folder, or over an entry of the same name
// earlier in the archive.
HANDLE CreateOutput(const char* path) {
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH;
  HANDLE file = SysCreateFile(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              CREATE_NEW, flags);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
    file = SysCreateFile(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         CREATE_ALWAYS, flags);
  }
  return file;
}

// One archive's extraction: what its files still wait for, and how it went. Every queued file
// holds one count of pending, and the walk holds one while it reads the archive; the last one
// released sets done (when there is an event).
struct Extraction {
  char path[MAX_PATH];
  char folder[MAX_PATH];
  LONG pending;
  LONG failed;
  int result;   // the walk reached the regular end of the archive
  HANDLE done;  // manual-reset event of a queued archive; null otherwise
};

void Release(Extraction* e) {
  if (InterlockedDecrement(&e->pending) == 0 && e->done != nullptr) SetEvent(e->done);
}

// A decoded entry waiting to be written by a worker; it frees itself.
struct WriteJob {
  WorkerJob job;
  char path[MAX_PATH];
  size_t nameAt;  // where the entry's name starts in path
  char* data;
  size_t size;
  Extraction* owner;
};

void RunWrite(void* arg) {
  WriteJob* w = static_cast<WriteJob*>(arg);
  SysProgressItem(w->path + w->nameAt);
  HANDLE file = CreateOutput(w->path);
  bool ok =
      file != INVALID_HANDLE_VALUE && WriteAll(file, w->path, w->data, static_cast<DWORD>(w->size));
  if (file != INVALID_HANDLE_VALUE && !CloseHandle(file)) ok = false;
  // A file written in part must not pass for the entry.
  if (!ok && file != INVALID_HANDLE_VALUE) SysDeleteFile(w->path);
  if (ok) SysProgressAdd(w->size);
  if (!ok) InterlockedExchange(&w->owner->failed, 1);
  Extraction* owner = w->owner;
  free(w->data);
  free(w);
  Release(owner);
}

// Decodes the current entry into memory, checking its CRC, and queues its file for a worker.
bool ExtractBuffered(Archive* archive, const char* output, size_t nameAt, unsigned lane,
                     size_t announced, WorkerPool* pool, Extraction* owner) {
  Sink& sink = archive->sink;
  sink.buffering = true;
  // The header gives the size: one block, never grown and copied on the way.
  sink.buffer = announced > 0 ? static_cast<char*>(malloc(announced)) : nullptr;
  if (announced > 0 && sink.buffer == nullptr) return false;
  sink.size = 0;
  sink.capacity = announced;
  sink.announced = announced;
  int rc = RARProcessFile(archive->handle, RAR_TEST, nullptr, nullptr);
  sink.buffering = false;
  WriteJob* w = rc == ERAR_SUCCESS ? static_cast<WriteJob*>(calloc(1, sizeof(WriteJob))) : nullptr;
  if (w == nullptr) {
    free(sink.buffer);
    sink.buffer = nullptr;
    return false;
  }
  StrCopyN(w->path, output, sizeof w->path);
  w->nameAt = nameAt;
  w->data = sink.buffer;
  w->size = sink.size;
  w->owner = owner;
  w->job.fn = RunWrite;
  w->job.arg = w;
  w->job.bytes = sink.size;
  sink.buffer = nullptr;
  InterlockedIncrement(&owner->pending);
  WorkerPoolSubmit(pool, lane, &w->job);
  return true;
}

// The lanes of the entries queued since the workers were last drained, as bits of a small table:
// a lane that shares a bit with a queued one only costs a drain more.
struct QueuedLanes {
  unsigned char bits[512];
  QueuedLanes() { Clear(); }
  void Clear() { memset(bits, 0, sizeof bits); }
  void Add(unsigned lane) { bits[(lane / 8) % sizeof bits] |= 1u << (lane % 8); }
  bool Has(unsigned lane) const { return (bits[(lane / 8) % sizeof bits] >> (lane % 8)) & 1u; }
};

// Creates output and lets the library decode the current entry into it, checking its CRC.
bool ExtractCurrent(Archive* archive, const char* output) {
  archive->sink.file = CreateOutput(output);
  archive->sink.path = output;
  if (archive->sink.file == INVALID_HANDLE_VALUE) return false;
  int rc = RARProcessFile(archive->handle, RAR_TEST, nullptr, nullptr);
  bool closed = CloseHandle(archive->sink.file) != 0;
  archive->sink.file = INVALID_HANDLE_VALUE;
  if (rc == ERAR_SUCCESS && closed) return true;
  SysDeleteFile(output);
  return false;
}

}  // namespace

int ExtractUpdateData(const char* path, const char* output, char* infoName) {
  infoName[0] = 0;
  HeapGuard<char> data;
  long size = 0;
  {
    HandleGuard file(FileOpenRetry(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
    if (file.handle == INVALID_HANDLE_VALUE) return 0;
    DWORD high = 0;
    DWORD low = GetFileSize(file.handle, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return 0;
    if (high != 0 || low > 0x7FFFFFF0u) return 0;
    size = static_cast<long>(low);
    data.block = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
    if (data.block == nullptr) return 0;
    DWORD got = 0;
    if (!ReadFile(file.handle, data.block, low, &got, nullptr) || got != low) return 0;
  }
  UpdateLayout layout;
  if (!UpdateLocate(data.block, size, &layout)) return 0;

  char folder[MAX_PATH];
  DWORD n = GetTempPathA(sizeof folder, folder);
  if (n == 0 || n >= sizeof folder) return 0;
  char info[MAX_PATH];
  if (SysGetTempFileName(folder, "ZSFX", 0, info) == 0) return 0;
  {
    HandleGuard file(SysCreateFile(info, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH));
    if (file.handle == INVALID_HANDLE_VALUE) {
      SysDeleteFile(info);
      return 0;
    }
    StrCopyN(infoName, info, MAX_PATH);
    if (!WriteAll(file.handle, info, data.block + layout.section,
                  static_cast<DWORD>(layout.marker - layout.section))) {
      return 0;
    }
  }

  long long fileSize = ProfileNumber(info, "filesize", 0);
  // An unsigned 32-bit number written either way: "4294967295" and "-1" are the same CRC.
  uint32_t expected = static_cast<uint32_t>(ProfileNumber(info, "crc", -1));
  if (!UpdateCheckPayload(data.block, size, layout, fileSize, expected)) return 0;
  const char* payload = data.block + layout.payload;

  HANDLE out = SysCreateFile(output, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH);
  if (out == INVALID_HANDLE_VALUE) return 0;
  bool written = WriteAll(out, output, payload, static_cast<DWORD>(fileSize));
  if (!CloseHandle(out)) written = false;
  if (!written) {
    SysDeleteFile(output);
    return 0;
  }
  return 1;
}

int ExtractArchive(const char* path, const char* folder) {
  return ExtractArchiveCancellable(path, folder, nullptr);
}

namespace {

// Reads the archive e->path into the folder e->folder: each entry is decoded here, and its file
// written by the pool's workers (here without a pool, or when it is larger than kBufferedMax).
// Sets e->result; leaves e->pending as the walk found it (the caller releases the walk's count).
void ExtractInto(Extraction* e, WorkerPool* pool, volatile LONG* cancel) {
  Archive archive;
  if (!archive.Open(e->path)) return;
  archive.sink.counted = true;
  size_t folderLength = strlen(e->folder);
  QueuedLanes queued;
  RARHeaderDataEx header;
  memset(&header, 0, sizeof header);
  for (;;) {
    if (InterlockedCompareExchange(&e->failed, 0, 0) != 0) break;
    if (cancel != nullptr && InterlockedCompareExchange(cancel, 0, 0) != 0) break;
    char name[MAX_PATH];
    Next next = ReadEntry(archive.handle, &header, name);
    if (next == NEXT_END) e->result = 1;
    if (next != NEXT_ENTRY) break;
    // The library hands names over as stored: "..\x" or "C:\x" would be written outside.
    if (!StrIsPlainFileName(name) || folderLength + strlen(name) > MAX_PATH - 1) break;
    // On the main thread (an archive extracted in its turn) the wait dialog moves meanwhile.
    SysProgressPump();
    char output[MAX_PATH];
    StrCopyN(output, e->folder, sizeof output);
    StrAppendN(output, name, sizeof output);
    unsigned long long size =
        (static_cast<unsigned long long>(header.UnpSizeHigh) << 32) | header.UnpSize;
    unsigned lane = WorkerLaneOf(output, strlen(output));
    bool ok;
    if (pool != nullptr && size <= kBufferedMax) {
      ok =
          ExtractBuffered(&archive, output, folderLength, lane, static_cast<size_t>(size), pool, e);
      queued.Add(lane);
    } else {
      // Written here, on this thread: an earlier entry of the same name that still waits for a
      // worker must be written first, or the older content would win or the two would mix.
      if (pool != nullptr && queued.Has(lane)) {
        WorkerPoolDrain(pool);
        queued.Clear();
      }
      SysProgressItem(name);
      ok = ExtractCurrent(&archive, output);
    }
    if (!ok) break;
  }
}

}  // namespace

int ExtractArchiveCancellable(const char* path, const char* folder, volatile LONG* cancel) {
  Extraction e = {};
  StrCopyN(e.path, path, sizeof e.path);
  StrCopyN(e.folder, folder, sizeof e.folder);
  e.pending = 1;
  // The library decodes on this thread; the files are created and written by the workers.
  WorkerPool* pool = WorkerPoolStart(WorkerCount(), kQueuedMax);
  ExtractInto(&e, pool, cancel);
  WorkerPoolStop(pool);
  return e.failed != 0 ? 0 : e.result;
}

// ---- The extraction queue ----

struct ExtractQueue {
  enum { kMost = 32 };
  CRITICAL_SECTION lock;
  Extraction* items[kMost];
  int count;     // queued so far
  HANDLE added;  // semaphore: one count per archive queued, and one to stop
  volatile LONG cancel;
  WorkerPool* pool;  // the writers of every archive
  HANDLE thread;
};

namespace {

DWORD WINAPI QueueMain(void* arg) {
  ExtractQueue* q = static_cast<ExtractQueue*>(arg);
  for (int next = 0;; ++next) {
    WaitForSingleObject(q->added, INFINITE);
    EnterCriticalSection(&q->lock);
    Extraction* e = next < q->count ? q->items[next] : nullptr;
    LeaveCriticalSection(&q->lock);
    if (e == nullptr) break;
    ExtractInto(e, q->pool, &q->cancel);
    Release(e);
  }
  return 0;
}

}  // namespace

ExtractQueue* ExtractQueueStart() {
  if (WorkerCount() < 2) return nullptr;
  ExtractQueue* q = static_cast<ExtractQueue*>(calloc(1, sizeof(ExtractQueue)));
  if (q == nullptr) return nullptr;
  InitializeCriticalSection(&q->lock);
  q->added = CreateSemaphoreA(nullptr, 0, ExtractQueue::kMost + 1, nullptr);
  q->pool = q->added != nullptr ? WorkerPoolStart(WorkerCount(), kQueuedMax) : nullptr;
  // It works as this thread does, with the authorized account's token when there is one: it
  // writes the entries too large for the workers itself.
  q->thread = q->pool != nullptr ? WorkerThreadStart(QueueMain, q) : nullptr;
  if (q->thread == nullptr) {
    WorkerPoolStop(q->pool);
    if (q->added != nullptr) CloseHandle(q->added);
    DeleteCriticalSection(&q->lock);
    free(q);
    return nullptr;
  }
  return q;
}

int ExtractQueueAdd(ExtractQueue* q, const char* path, const char* folder) {
  if (q == nullptr || q->count == ExtractQueue::kMost) return -1;
  Extraction* e = static_cast<Extraction*>(calloc(1, sizeof(Extraction)));
  if (e == nullptr) return -1;
  StrCopyN(e->path, path, sizeof e->path);
  StrCopyN(e->folder, folder, sizeof e->folder);
  e->pending = 1;
  e->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (e->done == nullptr) {
    free(e);
    return -1;
  }
  EnterCriticalSection(&q->lock);
  int ticket = q->count;
  q->items[q->count++] = e;
  LeaveCriticalSection(&q->lock);
  ReleaseSemaphore(q->added, 1, nullptr);
  return ticket;
}

int ExtractQueueWait(ExtractQueue* q, int ticket) {
  if (q == nullptr || ticket < 0 || ticket >= q->count) return 0;
  Extraction* e = q->items[ticket];
  // The waiting thread's windows stay alive meanwhile.
  while (MsgWaitForMultipleObjects(1, &e->done, FALSE, INFINITE, QS_ALLINPUT) ==
         WAIT_OBJECT_0 + 1) {
    SysPumpMessages();
  }
  return e->failed == 0 && e->result == 1 ? 1 : 0;
}

void ExtractQueueStop(ExtractQueue* q) {
  if (q == nullptr) return;
  InterlockedExchange(&q->cancel, 1);
  ReleaseSemaphore(q->added, 1, nullptr);
  WaitForSingleObject(q->thread, INFINITE);
  CloseHandle(q->thread);
  // The files already queued are written before the folders can be deleted.
  WorkerPoolStop(q->pool);
  for (int i = 0; i < q->count; ++i) {
    CloseHandle(q->items[i]->done);
    free(q->items[i]);
  }
  CloseHandle(q->added);
  DeleteCriticalSection(&q->lock);
  free(q);
}

int ArchiveSurvey(const char* path, const char* wanted, char** text, ArchiveEntryFn entry,
                  void* context) {
  *text = nullptr;
  Archive archive;
  if (!archive.Open(path)) return 0;
  RARHeaderDataEx header;
  memset(&header, 0, sizeof header);
  for (;;) {
    char name[MAX_PATH];
    Next next = ReadEntry(archive.handle, &header, name);
    if (next == NEXT_END) return 1;
    if (next != NEXT_ENTRY) return 0;
    unsigned long long size =
        (static_cast<unsigned long long>(header.UnpSizeHigh) << 32) | header.UnpSize;
    entry(context, name, size);
    if (*text != nullptr || lstrcmpiA(name, wanted) != 0 || size > kBufferedMax) {
      if (RARProcessFile(archive.handle, RAR_SKIP, nullptr, nullptr) != ERAR_SUCCESS) return 0;
      continue;
    }
    Sink& sink = archive.sink;
    sink.buffering = true;
    sink.buffer = nullptr;
    sink.size = sink.capacity = 0;
    sink.announced = static_cast<size_t>(size);
    int rc = RARProcessFile(archive.handle, RAR_TEST, nullptr, nullptr);
    sink.buffering = false;
    char* whole = rc == ERAR_SUCCESS ? static_cast<char*>(malloc(sink.size + 1)) : nullptr;
    if (whole != nullptr) {
      if (sink.size > 0) memcpy(whole, sink.buffer, sink.size);
      whole[sink.size] = 0;
    }
    free(sink.buffer);
    sink.buffer = nullptr;
    if (whole == nullptr) return 0;
    *text = whole;
  }
}

int ExtractArchiveEntry(const char* path, const char* output, const char* entry) {
  char wanted[MAX_PATH];
  StrCopyN(wanted, entry, sizeof wanted);
  Archive archive;
  if (!archive.Open(path)) return 0;
  RARHeaderDataEx header;
  memset(&header, 0, sizeof header);
  for (;;) {
    int rc = RARReadHeaderEx(archive.handle, &header);
    if (rc != ERAR_SUCCESS) return 0;
    char name[MAX_PATH];
    BOOL lossy = FALSE;
    bool plain = (header.Flags & RHDF_DIRECTORY) == 0 && header.RedirType == 0 &&
                 WideCharToMultiByte(CP_ACP, 0, header.FileNameW, -1, name, MAX_PATH, nullptr,
                                     &lossy) != 0 &&
                 !lossy;
    if (plain && lstrcmpiA(name, wanted) == 0) return ExtractCurrent(&archive, output) ? 1 : 0;
    if (RARProcessFile(archive.handle, RAR_SKIP, nullptr, nullptr) != ERAR_SUCCESS) return 0;
  }
}
