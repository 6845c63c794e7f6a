#include "system/workers.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const int kLanes = 5;

struct Record {
  LONG inLane[kLanes] = {};
  LONG overlapped = 0;
  LONG finished = 0;
};

struct Job {
  WorkerJob job;
  Record* record;
  int lane;
  LONG rank;  // 1 for the first job to finish, 2 for the next, ...
};

void Run(void* arg) {
  Job* j = static_cast<Job*>(arg);
  if (InterlockedIncrement(&j->record->inLane[j->lane]) != 1) {
    InterlockedExchange(&j->record->overlapped, 1);
  }
  Sleep(j->lane == 0 ? 1 : 0);
  InterlockedDecrement(&j->record->inLane[j->lane]);
  j->rank = InterlockedIncrement(&j->record->finished);
}

// Runs count jobs over the lanes on a pool of workers; each job counts bytes against the limit.
std::vector<Job> RunJobs(int workers, int count, size_t bytes, size_t limit, Record* record) {
  std::vector<Job> jobs(static_cast<size_t>(count));
  WorkerPool* pool = WorkerPoolStart(workers, limit);
  EXPECT_NE(nullptr, pool);
  for (int i = 0; i < count; ++i) {
    Job& j = jobs[static_cast<size_t>(i)];
    j.job.fn = Run;
    j.job.arg = &j;
    j.job.bytes = bytes;
    j.record = record;
    j.lane = (i * 7 + i / 3) % kLanes;
    WorkerPoolSubmit(pool, static_cast<unsigned>(j.lane), &j.job);
  }
  WorkerPoolStop(pool);
  return jobs;
}

}  // namespace

// Jobs of one lane never overlap and finish in the order they were queued, whatever the number of
// workers and however small the limit on queued bytes; one worker runs everything in order.
TEST(WorkerPool, KeepsEachLaneInOrderAndOneWorkerInQueueOrder) {
  for (int workers : {1, 3}) {
    for (size_t limit : {size_t(0), size_t(1) << 20}) {
      Record record;
      std::vector<Job> jobs = RunJobs(workers, 400, 1000, limit, &record);
      EXPECT_EQ(400, record.finished);
      EXPECT_EQ(0, record.overlapped) << workers << " workers";
      LONG last[kLanes] = {};
      for (size_t i = 0; i < jobs.size(); ++i) {
        EXPECT_GT(jobs[i].rank, last[jobs[i].lane]) << "job " << i;
        last[jobs[i].lane] = jobs[i].rank;
        if (workers == 1) {
          EXPECT_EQ(static_cast<LONG>(i) + 1, jobs[i].rank);
        }
      }
    }
  }
}
