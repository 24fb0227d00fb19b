// The latch on which a worker waits for the second half of a join it posted.
#pragma once

#include <cstddef>

#include "pool/sleep.h"

namespace dorvane {

class WorkerPool;

// Waited for by a worker that keeps running other jobs in the meantime (see
// WorkerThread::wait_until). Setting it wakes that worker if it fell asleep.
class SpinLatch {
 public:
  SpinLatch(WorkerPool& pool, std::size_t target_index)
      : pool_(&pool), target_index_(target_index) {}
  SpinLatch(const SpinLatch&) = delete;
  SpinLatch& operator=(const SpinLatch&) = delete;

  bool probe() const { return core_.probe(); }
  CoreLatch& core() { return core_; }

  // Sets the latch; the waiting worker may return and free the latch as soon as it sees SET.
  void set();

 private:
  CoreLatch core_;
  WorkerPool* pool_;
  std::size_t target_index_;
};

}  // namespace dorvane
