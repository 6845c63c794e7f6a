#include "system/workers.h"

#include <stdlib.h>

namespace {

const int kMaxWorkers = 8;

struct Worker {
  WorkerPool* pool;
  int index;
  HANDLE thread;
  HANDLE ready;  // semaphore: one count per queued job
  WorkerJob* head;
  WorkerJob* tail;
};

}  // namespace

struct WorkerPool {
  CRITICAL_SECTION lock;
  Worker workers[kMaxWorkers];
  int count;
  size_t queuedBytes;
  size_t maxQueuedBytes;
  int pending;        // jobs queued or running
  HANDLE progressed;  // auto-reset event: a job finished
  bool stopping;
};

namespace {

DWORD WINAPI WorkerMain(void* param) {
  Worker* self = static_cast<Worker*>(param);
  WorkerPool* pool = self->pool;
  for (;;) {
    WaitForSingleObject(self->ready, INFINITE);
    EnterCriticalSection(&pool->lock);
    WorkerJob* job = self->head;
    if (job != nullptr) {
      self->head = job->next;
      if (self->head == nullptr) self->tail = nullptr;
    }
    bool stop = job == nullptr && pool->stopping;
    LeaveCriticalSection(&pool->lock);
    if (stop) return 0;
    if (job == nullptr) continue;
    size_t bytes = job->bytes;
    job->fn(job->arg);
    EnterCriticalSection(&pool->lock);
    pool->queuedBytes -= bytes;
    --pool->pending;
    LeaveCriticalSection(&pool->lock);
    SetEvent(pool->progressed);
  }
}

}  // namespace

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
  if (pool->progressed == nullptr) {
    DeleteCriticalSection(&pool->lock);
    free(pool);
    return nullptr;
  }
  for (int i = 0; i < count; ++i) {
    Worker& w = pool->workers[i];
    w.pool = pool;
    w.index = i;
    w.ready = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
    DWORD id = 0;
    w.thread = w.ready != nullptr ? CreateThread(nullptr, 0, WorkerMain, &w, 0, &id) : nullptr;
    if (w.thread == nullptr) {
      if (w.ready != nullptr) CloseHandle(w.ready);
      break;
    }
    pool->count = i + 1;
  }
  if (pool->count == 0) {
    CloseHandle(pool->progressed);
    DeleteCriticalSection(&pool->lock);
    free(pool);
    return nullptr;
  }
  return pool;
}

void WorkerPoolSubmit(WorkerPool* pool, unsigned lane, WorkerJob* job) {
  Worker& w = pool->workers[lane % static_cast<unsigned>(pool->count)];
  for (;;) {
    EnterCriticalSection(&pool->lock);
    // A job larger than the limit waits until nothing else is queued, then goes alone.
    bool fits = pool->pending == 0 || pool->queuedBytes + job->bytes <= pool->maxQueuedBytes;
    if (fits) {
      job->next = nullptr;
      if (w.tail != nullptr) {
        w.tail->next = job;
      } else {
        w.head = job;
      }
      w.tail = job;
      pool->queuedBytes += job->bytes;
      ++pool->pending;
    }
    LeaveCriticalSection(&pool->lock);
    if (fits) break;
    WaitForSingleObject(pool->progressed, INFINITE);
  }
  ReleaseSemaphore(w.ready, 1, nullptr);
}

void WorkerPoolDrain(WorkerPool* pool) {
  for (;;) {
    EnterCriticalSection(&pool->lock);
    bool idle = pool->pending == 0;
    LeaveCriticalSection(&pool->lock);
    if (idle) return;
    WaitForSingleObject(pool->progressed, INFINITE);
  }
}

void WorkerPoolStop(WorkerPool* pool) {
  if (pool == nullptr) return;
  WorkerPoolDrain(pool);
  EnterCriticalSection(&pool->lock);
  pool->stopping = true;
  LeaveCriticalSection(&pool->lock);
  for (int i = 0; i < pool->count; ++i) ReleaseSemaphore(pool->workers[i].ready, 1, nullptr);
  for (int i = 0; i < pool->count; ++i) {
    WaitForSingleObject(pool->workers[i].thread, INFINITE);
    CloseHandle(pool->workers[i].thread);
    CloseHandle(pool->workers[i].ready);
  }
  CloseHandle(pool->progressed);
  DeleteCriticalSection(&pool->lock);
  free(pool);
}

unsigned WorkerLaneOf(const char* text, size_t length) {
  unsigned h = 2166136261u;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + 32);
    h = (h ^ c) * 16777619u;
  }
  return h;
}
