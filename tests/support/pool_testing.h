// Pools of their own for tests and benchmarks: a fixed worker count outside the process-wide
// slot, and the blocking way for a thread outside the pool to run an operation on one of them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "platform/panic.h"
#include "platform/platform.h"
#include "pool/local_deque.h"
#include "pool/sleep.h"
#include "pool/stack_job.h"
#include "pool/worker_pool.h"
#include "pool/worker_thread.h"

namespace dorvane::testing {

// The latch of a job posted by a thread that can only block until it is done.
class BlockingLatch {
 public:
  BlockingLatch() = default;
  BlockingLatch(const BlockingLatch&) = delete;
  BlockingLatch& operator=(const BlockingLatch&) = delete;

  void set() {
    // Notifying under the lock keeps the waiter from returning (and freeing the latch) first.
    std::lock_guard<std::mutex> lock(mutex_);
    is_set_ = true;
    changed_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return is_set_; });
  }

 private:
  std::mutex mutex_;
  bool is_set_ = false;
  std::condition_variable changed_;
};

// Runs `op(WorkerThread&, bool injected)` on a worker of `pool` and returns its value: at once
// (injected = false) on one of its workers, otherwise injected into the pool while this thread
// blocks (injected = true). A panic in `op` comes out here with its own payload.
template <class Op>
auto run_on(WorkerPool& pool, Op&& op) {
  WorkerThread* worker = WorkerThread::current();
  if (worker != nullptr && &worker->pool() == &pool) return call_op(op, *worker, false);
  auto body = [&op](bool) {
    WorkerThread* current = WorkerThread::current();
    if (current == nullptr) panic("assertion failed: the job runs on a worker");
    return call_op(op, *current, true);
  };
  StackJob<BlockingLatch, decltype(body)> job(std::move(body));
  pool.inject(job.as_job_ref());
  job.latch().wait();
  return job.into_value();
}

class OwnedPool {
 public:
  // Panics with the build error when a thread cannot be started.
  explicit OwnedPool(std::size_t thread_count) {
    PoolBuild built = WorkerPool::build(thread_count);
    if (built.error) panic("failed to build a worker pool: " + built.error->debug_string());
    pool_ = std::move(built.pool);
  }
  // Ends the workers and waits until every one of them has let go of the pool.
  ~OwnedPool() {
    pool_->terminate();
    // use_count is only a hint here; the last release does the synchronisation.
    while (pool_.use_count() > 1)
      platform::yield_now();
  }
  OwnedPool(const OwnedPool&) = delete;
  OwnedPool& operator=(const OwnedPool&) = delete;

  WorkerPool& pool() { return *pool_; }

  // run_on this pool.
  template <class Op>
  auto run(Op&& op) {
    return run_on(*pool_, std::forward<Op>(op));
  }

 private:
  std::shared_ptr<WorkerPool> pool_;
};

}  // namespace dorvane::testing
