#include "system/workers.h"

#include <stdlib.h>

#include "system/guards.h"
#include "system/os.h"

namespace {

const int kMaxWorkers = 8;
// How far a worker looks past jobs whose lane is busy. Bounded so that a long run of one lane
// cannot make every pick walk the whole queue; a worker that finds nothing in reach waits for the
// running jobs, one of which frees the lane in front.
const int kScanReach = 64;

// The event is set only when the submitting thread waits and its condition has come: each setting
// is a round trip to the system's server, which file creation keeps busy already.
enum { kWaitNone, kWaitIdle, kWaitRoom };

struct Worker {
  WorkerPool* pool;
  HANDLE thread;
  bool running;  // runs a job of lane
  unsigned lane;
};

}  // namespace

struct WorkerPool {
  CRITICAL_SECTION lock;
  Worker workers[kMaxWorkers];
  int count;
  WorkerJob* head;  // one queue for all workers, in the order jobs were queued
  WorkerJob* tail;
  size_t queuedBytes;
  size_t maxQueuedBytes;
  int pending;        // jobs queued or running
  int idle;           // workers waiting on wake
  HANDLE wake;        // semaphore: one count per idle worker woken
  HANDLE progressed;  // auto-reset event: what the submitting thread waits for has come
  int waiting;        // what that is: kWaitNone, kWaitIdle or kWaitRoom (for waitBytes)
  size_t waitBytes;
  bool stopping;
};

namespace {

// A job of bytes may be queued now.
bool HasRoom(const WorkerPool* pool, size_t bytes) {
  // A job larger than the limit waits until nothing else is queued, then goes alone.
  return pool->pending == 0 || pool->queuedBytes + bytes <= pool->maxQueuedBytes;
}

bool LaneBusy(const WorkerPool* pool, unsigned lane) {
  for (int i = 0; i < pool->count; ++i) {
    if (pool->workers[i].running && pool->workers[i].lane == lane) return true;
  }
  return false;
}

// Unlinks and returns the first queued job whose lane no worker is running; null when none is in
// reach. Called under the lock.
WorkerJob* TakeJob(WorkerPool* pool) {
  WorkerJob* before = nullptr;
  int looked = 0;
  for (WorkerJob* job = pool->head; job != nullptr && looked < kScanReach;
       before = job, job = job->next, ++looked) {
    if (LaneBusy(pool, job->lane)) continue;
    (before != nullptr ? before->next : pool->head) = job->next;
    if (pool->tail == job) pool->tail = before;
    return job;
  }
  return nullptr;
}

// Wakes one idle worker, if any. Called under the lock.
void WakeOne(WorkerPool* pool) {
  if (pool->idle == 0) return;
  --pool->idle;
  ReleaseSemaphore(pool->wake, 1, nullptr);
}

DWORD WINAPI WorkerMain(void* param) {
  Worker* self = static_cast<Worker*>(param);
  WorkerPool* pool = self->pool;
  EnterCriticalSection(&pool->lock);
  for (;;) {
    WorkerJob* job = TakeJob(pool);
    if (job == nullptr) {
      if (pool->stopping && pool->head == nullptr) break;
      ++pool->idle;
      LeaveCriticalSection(&pool->lock);
      WaitForSingleObject(pool->wake, INFINITE);
      EnterCriticalSection(&pool->lock);
      continue;
    }
    self->running = true;
    self->lane = job->lane;
    // Another job may be free to start beside this one.
    if (pool->head != nullptr) WakeOne(pool);
    LeaveCriticalSection(&pool->lock);
    size_t bytes = job->bytes;
    job->fn(job->arg);
    EnterCriticalSection(&pool->lock);
    self->running = false;
    pool->queuedBytes -= bytes;
    --pool->pending;
    bool come = pool->waiting == kWaitIdle
                    ? pool->pending == 0
                    : pool->waiting == kWaitRoom && HasRoom(pool, pool->waitBytes);
    if (come) {
      pool->waiting = kWaitNone;
      SetEvent(pool->progressed);
    }
  }
  LeaveCriticalSection(&pool->lock);
  return 0;
}

// What a thread started by WorkerThreadStart runs, once it may.
struct ThreadStart {
  LPTHREAD_START_ROUTINE fn;
  void* arg;
  bool go;  // false: it could not be given the token, and ends at once
};

DWORD WINAPI StartWhenAllowed(void* param) {
  ThreadStart start = *static_cast<ThreadStart*>(param);
  free(param);
  return start.go ? start.fn(start.arg) : 0;
}

// Waits for a job to finish, dispatching the window messages of the waiting thread meanwhile, so
// that a dialog of the main thread stays alive during a long batch.
void WaitProgress(WorkerPool* pool) {
  if (MsgWaitForMultipleObjects(1, &pool->progressed, FALSE, INFINITE, QS_ALLINPUT) ==
      WAIT_OBJECT_0 + 1) {
    SysPumpMessages();
  }
}

}  // namespace

HANDLE WorkerThreadStart(LPTHREAD_START_ROUTINE fn, void* arg) {
  HandleGuard token(SysThreadToken());
  if (token.handle == INVALID_HANDLE_VALUE) return nullptr;
  ThreadStart* start = static_cast<ThreadStart*>(malloc(sizeof(ThreadStart)));
  if (start == nullptr) return nullptr;
  *start = ThreadStart{fn, arg, true};
  DWORD id = 0;
  // Suspended until it carries the token: not one call of it may run as the starting user.
  HANDLE thread = CreateThread(nullptr, 0, StartWhenAllowed, start, CREATE_SUSPENDED, &id);
  if (thread == nullptr) {
    free(start);
    return nullptr;
  }
  if (token.handle != nullptr) start->go = SysSetThreadToken(thread, token.handle) != 0;
  bool go = start->go;
  ResumeThread(thread);
  if (go) return thread;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return nullptr;
}

int WorkerCount() {
  char text[16];
  DWORD n = GetEnvironmentVariableA("ZS_WORKERS", text, sizeof text);
  if (n > 0 && n < sizeof text) {
    int value = atoi(text);
    if (value >= 1 && value <= kMaxWorkers) return value;
  }
  return 2;
}

WorkerPool* WorkerPoolStart(int count, size_t maxQueuedBytes) {
  if (count < 1) count = 1;
  if (count > kMaxWorkers) count = kMaxWorkers;
  WorkerPool* pool = static_cast<WorkerPool*>(calloc(1, sizeof(WorkerPool)));
  if (pool == nullptr) return nullptr;
  InitializeCriticalSection(&pool->lock);
  pool->maxQueuedBytes = maxQueuedBytes;
  pool->progressed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  pool->wake = CreateSemaphoreA(nullptr, 0, kMaxWorkers, nullptr);
  if (pool->progressed != nullptr && pool->wake != nullptr) {
    for (int i = 0; i < count; ++i) {
      Worker& w = pool->workers[i];
      w.pool = pool;
      // Counted before the thread starts: a worker looks only at workers below the count.
      pool->count = i + 1;
      w.thread = WorkerThreadStart(WorkerMain, &w);
      if (w.thread == nullptr) {
        pool->count = i;
        break;
      }
    }
  }
  if (pool->count == 0) {
    if (pool->progressed != nullptr) CloseHandle(pool->progressed);
    if (pool->wake != nullptr) CloseHandle(pool->wake);
    DeleteCriticalSection(&pool->lock);
    free(pool);
    return nullptr;
  }
  return pool;
}

void WorkerPoolSubmit(WorkerPool* pool, unsigned lane, WorkerJob* job) {
  for (;;) {
    EnterCriticalSection(&pool->lock);
    bool fits = HasRoom(pool, job->bytes);
    pool->waiting = fits ? kWaitNone : kWaitRoom;
    pool->waitBytes = job->bytes;
    if (fits) {
      job->lane = lane;
      job->next = nullptr;
      if (pool->tail != nullptr) {
        pool->tail->next = job;
      } else {
        pool->head = job;
      }
      pool->tail = job;
      pool->queuedBytes += job->bytes;
      ++pool->pending;
      WakeOne(pool);
    }
    LeaveCriticalSection(&pool->lock);
    if (fits) return;
    WaitProgress(pool);
  }
}

void WorkerPoolDrain(WorkerPool* pool) {
  for (;;) {
    EnterCriticalSection(&pool->lock);
    bool idle = pool->pending == 0;
    pool->waiting = idle ? kWaitNone : kWaitIdle;
    LeaveCriticalSection(&pool->lock);
    if (idle) return;
    WaitProgress(pool);
  }
}

void WorkerPoolStop(WorkerPool* pool) {
  if (pool == nullptr) return;
  WorkerPoolDrain(pool);
  EnterCriticalSection(&pool->lock);
  pool->stopping = true;
  while (pool->idle > 0) WakeOne(pool);
  LeaveCriticalSection(&pool->lock);
  for (int i = 0; i < pool->count; ++i) {
    WaitForSingleObject(pool->workers[i].thread, INFINITE);
    CloseHandle(pool->workers[i].thread);
  }
  CloseHandle(pool->wake);
  CloseHandle(pool->progressed);
  DeleteCriticalSection(&pool->lock);
  free(pool);
}

unsigned WorkerLaneOf(const char* text, size_t length) {
  // The file system drops trailing dots and blanks from a name.
  while (length > 0 && (text[length - 1] == '.' || text[length - 1] == ' ')) --length;
  // It compares the UTF-16 form of an ANSI name (converted with the ANSI code page, so a
  // double-byte character is one unit) upper-cased by its own table, which maps letters beyond
  // ASCII in pairs, and also U+0131 and U+017F onto I and S. So ASCII letters other than I and S
  // fold to upper case, and every other unit, I and S fold into one class: names the file system
  // takes for one file always meet on one lane (others may too, and then only run in turn).
  wchar_t wide[MAX_PATH];
  int units = length < MAX_PATH
                  ? MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), wide, MAX_PATH)
                  : 0;
  unsigned h = 2166136261u;
  for (int i = 0; i < (units > 0 ? units : static_cast<int>(length)); ++i) {
    unsigned c = units > 0 ? static_cast<unsigned>(wide[i]) : static_cast<unsigned char>(text[i]);
    if (c >= 'a' && c <= 'z') c -= 32;
    if (c >= 0x80 || c == 'I' || c == 'S') c = 0x80;
    h = (h ^ c) * 16777619u;
  }
  return h;
}
