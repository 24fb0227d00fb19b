// The two latches on which a thread waits for a job it posted.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "pool/sleep.h"

namespace dorvane {

class WorkerPool;

// Latch of the second half of a join, waited for by a worker that keeps running other jobs in the
// meantime (see WorkerThread::wait_until). Setting it wakes that worker if it fell asleep.
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

// Latch of a thread outside the pool, which can only block. Each thread has one, reused by every
// call it makes: the waiter resets the flag before it returns.
class LockLatch {
 public:
  // The calling thread's latch, created on first use.
  static LockLatch& for_current_thread();

  void set();
  // Blocks until set, then clears the flag for the next call.
  void wait_and_reset();

 private:
  std::mutex mutex_;
  bool is_set_ = false;  // guarded by mutex_
  std::condition_variable changed_;
};

}  // namespace dorvane
