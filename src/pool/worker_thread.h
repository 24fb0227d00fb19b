// The per-thread side of a worker: its deque's owner end, its index, its random state for picking
// victims, and the wait loop in which it runs jobs until a latch is set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "pool/job_ref.h"
#include "pool/local_deque.h"
#include "pool/sleep.h"

namespace dorvane {

class WorkerPool;

class WorkerThread {
 public:
  // Seeds the random state from the process-wide counter (see next_seed).
  WorkerThread(std::shared_ptr<WorkerPool> pool, std::size_t index);
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // The calling thread's WorkerThread, or null on a thread that is not a worker.
  static WorkerThread* current();
  // Registers `thread` as the calling thread's; panics unless the slot held `expected`.
  static void set_current(WorkerThread* thread, WorkerThread* expected);

  WorkerPool& pool() const { return pool_; }
  std::size_t index() const { return index_; }

  // Pushes onto this worker's deque and applies the new-work rule.
  void push(JobRef job);
  // Pops from the back of this worker's deque.
  std::optional<JobRef> take_local() { return deque_.pop(); }

  // Inside a job: runs jobs (own first, then stolen, then injected) until `latch` is set, idling
  // by the sleep protocol when there are none. Returns at once when it is already set.
  void wait_until(CoreLatch& latch) {
    if (!latch.probe()) wait_until_cold(latch, /*between_jobs=*/false);
  }
  // The worker's own loop, from its start: as wait_until, and between jobs it sits out whenever
  // the pool asks a worker to.
  void run_until(CoreLatch& terminate) { wait_until_cold(terminate, /*between_jobs=*/true); }

  // Next value of the per-process seed sequence: SipHash-1-3 under zero keys of a counter value,
  // skipping 0 (an all-zero xorshift state would stay zero).
  static uint64_t next_seed();

 private:
  void wait_until_cold(CoreLatch& latch, bool between_jobs);
  std::optional<JobRef> find_work();
  std::optional<JobRef> steal();
  std::optional<JobRef> take_injected();
  uint64_t next_random();

  std::shared_ptr<WorkerPool> pool_ref_;  // keeps the pool alive for this thread's life
  WorkerPool& pool_;
  LocalDeque& deque_;
  std::size_t index_;
  uint64_t random_state_;
};

}  // namespace dorvane
