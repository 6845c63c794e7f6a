// A small pool of worker threads for file creation, which under the system's file layer is bound
// by the latency of each call rather than by the processor: two threads creating files finish a
// large tree in well under half the time of one. Built on the Win32 thread API (threads, critical
// sections, semaphores), which every supported Windows has.
//
// Jobs share one queue and go to lanes: a free worker takes the first queued job whose lane no
// other worker is running, so a lane's jobs run one at a time in the order they were queued while
// the workers share the rest evenly. Jobs that must not overtake each other (the same target,
// alternate names that could collide) are given the same lane.
#pragma once

#include <stddef.h>
#include <windows.h>

// One queued job: fn(arg) runs on a worker. bytes counts against the pool's limit on queued bytes
// until the job has run.
struct WorkerJob {
  void (*fn)(void* arg);
  void* arg;
  size_t bytes;
  unsigned lane;  // set by WorkerPoolSubmit
  WorkerJob* next;
};

struct WorkerPool;

// Starts fn(arg) on a thread of its own that works as the calling thread does: it carries the
// caller's impersonation token, if any (a new thread would otherwise work as the user who started
// the program). Null when no thread could be made or given the token; the caller then does the
// work itself.
HANDLE WorkerThreadStart(LPTHREAD_START_ROUTINE fn, void* arg);

// Workers to use: ZS_WORKERS (1 to 8) when set, else two. One means every job runs in the order
// it was queued, as a single thread would run it.
int WorkerCount();

// Starts a pool of count threads that hold at most maxQueuedBytes of queued jobs at a time (a job
// larger than that still runs, alone). Null when no thread could be made; callers then run the
// work themselves.
WorkerPool* WorkerPoolStart(int count, size_t maxQueuedBytes);

// Queues job (owned by the caller until it has run) on lane; waits while the queued bytes would
// pass the limit.
void WorkerPoolSubmit(WorkerPool* pool, unsigned lane, WorkerJob* job);

// Waits until every queued job has run.
void WorkerPoolDrain(WorkerPool* pool);

// Drains the pool, ends its threads and frees it. Null is accepted.
void WorkerPoolStop(WorkerPool* pool);

// The lane of a file name or path (FNV-1a): names that the file system takes for one file have one
// lane, whatever their case.
unsigned WorkerLaneOf(const char* text, size_t length);
