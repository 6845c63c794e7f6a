// Benchmark floor A: zsbunrar.exe [--like-setup] [--private] [--ahead] [--workers N] FOLDER
// ARCHIVE... extracts every archive into FOLDER\<archive name without extension>\ (new folders),
// the way the setup program extracts: the library tests each entry (RAR_TEST, so it checks the
// CRC) and hands the decoded bytes to a callback. With one worker the callback writes them into a
// file this program created with CREATE_NEW, all on one thread. With N workers (default 2) the
// main thread decodes each entry into memory and the setup program's worker pool, with N threads,
// creates and writes the files, since creating files under Wine is bound by the latency of each
// call; an entry above 8 MiB is written by the main thread as it comes. The options each take one
// more of the setup program's ways, to measure what it costs: --like-setup creates the files with
// its flags (FILE_FLAG_WRITE_THROUGH beside CREATE_NEW); --private makes each archive's folder
// as it makes its extraction folders (an access list that what is created inside inherits);
// --ahead extracts two archives at once, the next one on a thread of its own with a pool of its
// own. Exit 0 when every entry was extracted; otherwise one line on stderr, 1.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <dll.hpp>

#include "auth/privatefolder.h"
#include "system/guards.h"
#include "system/workers.h"

namespace {

const unsigned long long kLargestBuffered = 8ull << 20;  // larger entries are written directly
const size_t kMostQueued = 64u << 20;                    // bytes decoded but not yet written
const int kMostWorkers = 8;                              // the worker pool's limit

struct Options {
  DWORD disposition = CREATE_NEW;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  int workers = 2;
  bool privateFolders = false;
  bool ahead = false;
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

// A decoded entry waiting for a writer of the product's worker pool; its bytes follow it in the
// same block, and it frees itself once written.
struct Job {
  WorkerJob job;
  const Options* options;
  Failure* failure;
  size_t size;
  char path[MAX_PATH];
  char* data() { return reinterpret_cast<char*>(this + 1); }
};

void WriteJob(void* arg) {
  Job* job = static_cast<Job*>(arg);
  // After a failure the run is over: only free what is left.
  if (!job->failure->failed) {
    HandleGuard file(CreateFileA(job->path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, job->options->disposition, job->options->flags, nullptr));
    if (file.handle == INVALID_HANDLE_VALUE) {
      Fail(job->failure, "zsbunrar: cannot create %s: %lu", job->path, GetLastError());
    } else if (!WriteAll(file.handle, job->data(), static_cast<DWORD>(job->size))) {
      Fail(job->failure, "zsbunrar: cannot write %s: %lu", job->path, GetLastError());
    }
  }
  free(job);
}

// Joins the writers (after letting them finish what is queued) on every path.
struct PoolGuard {
  WorkerPool* pool = nullptr;
  unsigned jobs = 0;  // each job its own lane: entries are distinct files
  PoolGuard() = default;
  PoolGuard(const PoolGuard&) = delete;
  PoolGuard& operator=(const PoolGuard&) = delete;
  ~PoolGuard() { WorkerPoolStop(pool); }
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
bool ExtractBuffered(HANDLE rar, Sink* sink, const char* output, size_t size,
                     const Options& options, Failure* failure, PoolGuard* pool) {
  Job* job = static_cast<Job*>(malloc(sizeof(Job) + size));
  if (job == nullptr) {
    Fail(failure, "zsbunrar: no memory for %s", output);
    return false;
  }
  job->job.fn = WriteJob;
  job->job.arg = job;
  job->job.bytes = size;
  job->options = &options;
  job->failure = failure;
  job->size = size;
  snprintf(job->path, sizeof job->path, "%s", output);
  sink->job = job;
  sink->filled = 0;
  int rc = RARProcessFile(rar, RAR_TEST, nullptr, nullptr);
  sink->job = nullptr;
  if (rc != ERAR_SUCCESS || sink->filled != size) {
    free(job);
    Fail(failure, "zsbunrar: cannot extract %s: %d", output, rc);
    return false;
  }
  WorkerPoolSubmit(pool->pool, pool->jobs++, &job->job);
  return !failure->failed;
}

bool Extract(const char* archive, const char* folder, const Options& options, PoolGuard* pool,
             Failure* failure, long* files) {
  // Made here, before any of its files is queued.
  if (options.privateFolders ? !AuthCreatePrivateFolder(folder)
                             : !CreateDirectoryA(folder, nullptr)) {
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
    bool ok = pool->pool == nullptr || size > kLargestBuffered
                  ? ExtractDirect(rar.handle, &sink, output, options, failure)
                  : ExtractBuffered(rar.handle, &sink, output, static_cast<size_t>(size), options,
                                    failure, pool);
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

// Extracts the archives first, first + step, ... below root; false with the failure recorded. The
// writers (none with one worker) are joined before it returns.
bool Run(const char* root, char** archives, int count, int first, int step, const Options& options,
         Failure* failure, long* files) {
  PoolGuard pool;
  if (options.workers > 1) {
    pool.pool = WorkerPoolStart(options.workers, kMostQueued);
    if (pool.pool == nullptr) {
      Fail(failure, "zsbunrar: cannot start the writers: %lu", GetLastError());
      return false;
    }
  }
  for (int i = first; i < count; i += step) {
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

// The other half of the archives, with --ahead.
struct Ahead {
  const char* root;
  char** archives;
  int count;
  const Options* options;
  Failure* failure;
  long files = 0;
};

DWORD WINAPI RunAhead(void* arg) {
  Ahead* a = static_cast<Ahead*>(arg);
  Run(a->root, a->archives, a->count, 1, 2, *a->options, a->failure, &a->files);
  return 0;
}

bool RunAll(const char* root, char** archives, int count, const Options& options, Failure* failure,
            long* files) {
  if (!CreateDirectoryA(root, nullptr)) {
    Fail(failure, "zsbunrar: cannot create %s: %lu", root, GetLastError());
    return false;
  }
  if (!options.ahead) return Run(root, archives, count, 0, 1, options, failure, files);
  Ahead ahead = {root, archives, count, &options, failure};
  DWORD id = 0;
  HandleGuard thread(CreateThread(nullptr, 0, RunAhead, &ahead, 0, &id));
  if (thread.handle == nullptr) {
    Fail(failure, "zsbunrar: cannot start a thread: %lu", GetLastError());
    return false;
  }
  bool ok = Run(root, archives, count, 0, 2, options, failure, files);
  WaitForSingleObject(thread.handle, INFINITE);
  *files += ahead.files;
  return ok && !failure->failed;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int first = 1;
  for (; first < argc && strncmp(argv[first], "--", 2) == 0; ++first) {
    if (strcmp(argv[first], "--like-setup") == 0) {
      options.flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH;
    } else if (strcmp(argv[first], "--private") == 0) {
      options.privateFolders = true;
    } else if (strcmp(argv[first], "--ahead") == 0) {
      options.ahead = true;
    } else if (strcmp(argv[first], "--workers") != 0 || first + 1 >= argc ||
               !ParseWorkers(argv[++first], &options.workers)) {
      first = argc;  // unknown option or bad count: usage
    }
  }
  if (argc - first < 2) {
    fprintf(stderr,
            "usage: zsbunrar [--like-setup] [--private] [--ahead] [--workers 1-%d] FOLDER "
            "ARCHIVE...\n",
            kMostWorkers);
    return 2;
  }
  Failure failure;
  InitializeCriticalSection(&failure.lock);
  long files = 0;
  bool ok = RunAll(argv[first], argv + first + 1, argc - first - 1, options, &failure, &files);
  DeleteCriticalSection(&failure.lock);
  if (!ok || failure.failed) {
    fprintf(stderr, "%s\n", failure.failed ? failure.text : "zsbunrar: failed");
    return 1;
  }
  printf("files: %ld\n", files);
  return 0;
}
