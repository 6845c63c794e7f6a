// Benchmark floor A: zsbunrar.exe [--like-setup] [--workers N] FOLDER ARCHIVE... extracts every
// archive into FOLDER\<archive name without extension>\ (new folders), the way the setup program
// extracts: the library tests each entry (RAR_TEST, so it checks the CRC) and hands the decoded
// bytes to a callback. With one worker the callback writes them into a file this program created
// with CREATE_NEW, all on one thread. With N workers (default 2) the main thread decodes each entry
// into memory and N writer threads create and write the files, since creating files under Wine is
// bound by the latency of each call; an entry above 8 MiB is written by the main thread as it
// comes. --like-setup creates the files with the setup program's flags (CREATE_ALWAYS,
// FILE_FLAG_WRITE_THROUGH), to measure what those flags cost. Exit 0 when every entry was
// extracted; otherwise one line on stderr, 1.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <dll.hpp>

#include "system/guards.h"

namespace {

const unsigned long long kLargestBuffered = 8ull << 20;  // larger entries are written directly
const size_t kMostQueued = 64u << 20;                    // bytes decoded but not yet written
const int kMostWorkers = MAXIMUM_WAIT_OBJECTS;           // all are joined with one wait

struct Options {
  DWORD disposition = CREATE_NEW;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  int workers = 2;
};

// The first failure of any thread, printed by the main thread once every thread has ended.
struct Failure {
  CRITICAL_SECTION lock;
  volatile LONG failed = 0;
  char text[2 * MAX_PATH];
};

void Fail(Failure* failure, const char* format, ...) {
  EnterCriticalSection(&failure->lock);
  if (!failure->failed) {
    va_list args;
    va_start(args, format);
    vsnprintf(failure->text, sizeof failure->text, format, args);
    va_end(args);
    InterlockedExchange(&failure->failed, 1);
  }
  LeaveCriticalSection(&failure->lock);
}

bool WriteAll(HANDLE file, const void* data, DWORD size) {
  DWORD written = 0;
  return WriteFile(file, data, size, &written, nullptr) && written == size;
}

// A decoded entry waiting for a writer; its bytes follow it in the same block.
struct Job {
  Job* next;
  size_t size;
  char path[MAX_PATH];
  char* data() { return reinterpret_cast<char*>(this + 1); }
};

// Writer threads taking jobs in queue order. ready counts queued jobs, plus one per worker when
// the pool stops; space is signalled whenever queued bytes are released.
struct Pool {
  const Options* options;
  Failure* failure;
  CRITICAL_SECTION lock;
  Job* head = nullptr;
  Job* tail = nullptr;
  size_t queued = 0;  // bytes of jobs queued or being written
  HANDLE ready = nullptr;
  HANDLE space = nullptr;
  HANDLE threads[kMostWorkers];
  int started = 0;
};

void WriteJob(Pool* pool, Job* job) {
  if (pool->failure->failed) return;  // the run is over: only free what is left
  HandleGuard file(CreateFileA(job->path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, pool->options->disposition, pool->options->flags, nullptr));
  if (file.handle == INVALID_HANDLE_VALUE) {
    Fail(pool->failure, "zsbunrar: cannot create %s: %lu", job->path, GetLastError());
  } else if (!WriteAll(file.handle, job->data(), static_cast<DWORD>(job->size))) {
    Fail(pool->failure, "zsbunrar: cannot write %s: %lu", job->path, GetLastError());
  }
}

DWORD WINAPI WriterMain(void* arg) {
  Pool* pool = static_cast<Pool*>(arg);
  for (;;) {
    WaitForSingleObject(pool->ready, INFINITE);
    EnterCriticalSection(&pool->lock);
    Job* job = pool->head;
    if (job != nullptr) {
      pool->head = job->next;
      if (pool->head == nullptr) pool->tail = nullptr;
    }
    LeaveCriticalSection(&pool->lock);
    if (job == nullptr) return 0;  // a stop release: every job has been taken
    WriteJob(pool, job);
    EnterCriticalSection(&pool->lock);
    pool->queued -= job->size;
    LeaveCriticalSection(&pool->lock);
    free(job);
    SetEvent(pool->space);
  }
}

bool PoolStart(Pool* pool, const Options* options, Failure* failure) {
  pool->options = options;
  pool->failure = failure;
  InitializeCriticalSection(&pool->lock);
  pool->ready = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
  pool->space = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (pool->ready == nullptr || pool->space == nullptr) {
    Fail(failure, "zsbunrar: cannot make the writers' signals: %lu", GetLastError());
    return false;
  }
  for (; pool->started < options->workers; ++pool->started) {
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WriterMain, pool, 0, &id);
    if (thread == nullptr) {
      Fail(failure, "zsbunrar: cannot start a writer: %lu", GetLastError());
      return false;
    }
    pool->threads[pool->started] = thread;
  }
  return true;
}

// Waits until the queue holds room for size more bytes (or nothing), then queues job.
bool PoolSubmit(Pool* pool, Job* job) {
  EnterCriticalSection(&pool->lock);
  while (!pool->failure->failed && pool->queued > 0 && pool->queued + job->size > kMostQueued) {
    LeaveCriticalSection(&pool->lock);
    WaitForSingleObject(pool->space, INFINITE);
    EnterCriticalSection(&pool->lock);
  }
  bool ok = !pool->failure->failed;
  if (ok) {
    job->next = nullptr;
    (pool->tail ? pool->tail->next : pool->head) = job;
    pool->tail = job;
    pool->queued += job->size;
  }
  LeaveCriticalSection(&pool->lock);
  if (!ok) {
    free(job);
    return false;
  }
  ReleaseSemaphore(pool->ready, 1, nullptr);
  return true;
}

// Lets the writers finish what is queued (after a failure they only free it), joins them and
// releases everything; on every path, through PoolGuard.
void PoolStop(Pool* pool) {
  if (pool->started > 0) {
    ReleaseSemaphore(pool->ready, pool->started, nullptr);
    WaitForMultipleObjects(static_cast<DWORD>(pool->started), pool->threads, TRUE, INFINITE);
    for (int i = 0; i < pool->started; ++i) CloseHandle(pool->threads[i]);
  }
  while (pool->head != nullptr) {  // left only when no writer could be started
    Job* job = pool->head;
    pool->head = job->next;
    free(job);
  }
  if (pool->ready != nullptr) CloseHandle(pool->ready);
  if (pool->space != nullptr) CloseHandle(pool->space);
  DeleteCriticalSection(&pool->lock);
}

struct PoolGuard {
  Pool* pool = nullptr;
  PoolGuard() = default;
  PoolGuard(const PoolGuard&) = delete;
  PoolGuard& operator=(const PoolGuard&) = delete;
  ~PoolGuard() {
    if (pool != nullptr) PoolStop(pool);
  }
};

// Where the callback puts the decoded bytes: into an open file, or into a job's buffer.
struct Sink {
  HANDLE file = INVALID_HANDLE_VALUE;
  Job* job = nullptr;
  size_t filled = 0;
};

int CALLBACK OnData(UINT message, LPARAM userData, LPARAM p1, LPARAM p2) {
  Sink* sink = reinterpret_cast<Sink*>(userData);
  if (message != UCM_PROCESSDATA) return -1;
  const void* bytes = reinterpret_cast<const void*>(p1);
  size_t size = static_cast<size_t>(p2);
  if (sink->job != nullptr) {
    if (size > sink->job->size - sink->filled) return -1;  // more than the header announced
    memcpy(sink->job->data() + sink->filled, bytes, size);
    sink->filled += size;
    return 1;
  }
  return sink->file != INVALID_HANDLE_VALUE && WriteAll(sink->file, bytes, static_cast<DWORD>(size))
             ? 1
             : -1;
}

struct RarGuard {
  HANDLE handle = nullptr;
  RarGuard() = default;
  RarGuard(const RarGuard&) = delete;
  RarGuard& operator=(const RarGuard&) = delete;
  ~RarGuard() {
    if (handle != nullptr) RARCloseArchive(handle);
  }
};

// Tests the current entry, writing it into output from the callback on this thread.
bool ExtractDirect(HANDLE rar, Sink* sink, const char* output, const Options& options,
                   Failure* failure) {
  HandleGuard file(CreateFileA(output, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               options.disposition, options.flags, nullptr));
  if (file.handle == INVALID_HANDLE_VALUE) {
    Fail(failure, "zsbunrar: cannot create %s: %lu", output, GetLastError());
    return false;
  }
  sink->file = file.handle;
  int rc = RARProcessFile(rar, RAR_TEST, nullptr, nullptr);
  sink->file = INVALID_HANDLE_VALUE;
  if (rc != ERAR_SUCCESS) {
    Fail(failure, "zsbunrar: cannot extract %s: %d", output, rc);
    return false;
  }
  return true;
}

// Tests the current entry into memory and queues its file for the writers.
bool ExtractBuffered(HANDLE rar, Sink* sink, const char* output, size_t size, Pool* pool) {
  Job* job = static_cast<Job*>(malloc(sizeof(Job) + size));
  if (job == nullptr) {
    Fail(pool->failure, "zsbunrar: no memory for %s", output);
    return false;
  }
  job->size = size;
  snprintf(job->path, sizeof job->path, "%s", output);
  sink->job = job;
  sink->filled = 0;
  int rc = RARProcessFile(rar, RAR_TEST, nullptr, nullptr);
  sink->job = nullptr;
  if (rc != ERAR_SUCCESS || sink->filled != size) {
    free(job);
    Fail(pool->failure, "zsbunrar: cannot extract %s: %d", output, rc);
    return false;
  }
  return PoolSubmit(pool, job);
}

bool Extract(const char* archive, const char* folder, const Options& options, Pool* pool,
             Failure* failure, long* files) {
  // Made here, before any of its files is queued.
  if (!CreateDirectoryA(folder, nullptr)) {
    Fail(failure, "zsbunrar: cannot create %s: %lu", folder, GetLastError());
    return false;
  }
  wchar_t wide[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, archive, -1, wide, MAX_PATH) == 0) {
    Fail(failure, "zsbunrar: bad archive name %s", archive);
    return false;
  }
  Sink sink;
  RAROpenArchiveDataEx open;
  memset(&open, 0, sizeof open);
  open.ArcNameW = wide;
  open.OpenMode = RAR_OM_EXTRACT;
  open.Callback = OnData;
  open.UserData = reinterpret_cast<LPARAM>(&sink);
  RarGuard rar;
  rar.handle = RAROpenArchiveEx(&open);
  if (rar.handle == nullptr || open.OpenResult != ERAR_SUCCESS) {
    Fail(failure, "zsbunrar: cannot open %s: %u", archive, open.OpenResult);
    return false;
  }
  RARHeaderDataEx header;
  memset(&header, 0, sizeof header);
  for (;;) {
    int rc = RARReadHeaderEx(rar.handle, &header);
    if (rc == ERAR_END_ARCHIVE) return true;
    char name[MAX_PATH];
    char output[MAX_PATH];
    if (rc != ERAR_SUCCESS ||
        WideCharToMultiByte(CP_ACP, 0, header.FileNameW, -1, name, MAX_PATH, nullptr, nullptr) ==
            0 ||
        snprintf(output, sizeof output, "%s\\%s", folder, name) >= MAX_PATH) {
      Fail(failure, "zsbunrar: bad entry in %s: %d", archive, rc);
      return false;
    }
    unsigned long long size =
        (static_cast<unsigned long long>(header.UnpSizeHigh) << 32) | header.UnpSize;
    bool ok = pool->started == 0 || size > kLargestBuffered
                  ? ExtractDirect(rar.handle, &sink, output, options, failure)
                  : ExtractBuffered(rar.handle, &sink, output, static_cast<size_t>(size), pool);
    if (!ok) return false;
    ++*files;
  }
}

bool ParseWorkers(const char* text, int* workers) {
  char* end = nullptr;
  long n = strtol(text, &end, 10);
  if (end == text || *end != 0 || n < 1 || n > kMostWorkers) return false;
  *workers = static_cast<int>(n);
  return true;
}

// Extracts every archive; false with the failure recorded. The writers (none with one worker)
// are joined before it returns.
bool Run(const char* root, char** archives, int count, const Options& options, Failure* failure,
         long* files) {
  Pool pool;
  PoolGuard stop;
  if (options.workers > 1) {
    stop.pool = &pool;
    if (!PoolStart(&pool, &options, failure)) return false;
  }
  if (!CreateDirectoryA(root, nullptr)) {
    Fail(failure, "zsbunrar: cannot create %s: %lu", root, GetLastError());
    return false;
  }
  for (int i = 0; i < count; ++i) {
    // The folder is named after the archive's file name without its extension.
    const char* base = strrchr(archives[i], '\\');
    base = base ? base + 1 : archives[i];
    char stem[MAX_PATH];
    snprintf(stem, sizeof stem, "%s", base);
    char* dot = strrchr(stem, '.');
    if (dot != nullptr) *dot = 0;
    char folder[MAX_PATH];
    if (snprintf(folder, sizeof folder, "%s\\%s", root, stem) >= MAX_PATH) {
      Fail(failure, "zsbunrar: path too long below %s", root);
      return false;
    }
    if (!Extract(archives[i], folder, options, &pool, failure, files)) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int first = 1;
  for (; first < argc && strncmp(argv[first], "--", 2) == 0; ++first) {
    if (strcmp(argv[first], "--like-setup") == 0) {
      options.disposition = CREATE_ALWAYS;
      options.flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH;
    } else if (strcmp(argv[first], "--workers") != 0 || first + 1 >= argc ||
               !ParseWorkers(argv[++first], &options.workers)) {
      first = argc;  // unknown option or bad count: usage
    }
  }
  if (argc - first < 2) {
    fprintf(stderr, "usage: zsbunrar [--like-setup] [--workers 1-%d] FOLDER ARCHIVE...\n",
            kMostWorkers);
    return 2;
  }
  Failure failure;
  InitializeCriticalSection(&failure.lock);
  long files = 0;
  bool ok = Run(argv[first], argv + first + 1, argc - first - 1, options, &failure, &files);
  DeleteCriticalSection(&failure.lock);
  if (!ok || failure.failed) {
    fprintf(stderr, "%s\n", failure.failed ? failure.text : "zsbunrar: failed");
    return 1;
  }
  printf("files: %ld\n", files);
  return 0;
}
