// The work-stealing worker pool.
//
// One process-wide pool, created on first use and never shut down, runs the module's parallel
// work. Each worker owns a deque that it uses as a stack; idle workers steal the oldest job of
// another worker; threads outside the pool inject work through one shared FIFO queue and block
// on their own LockLatch until it is done. Jobs live in the waiting thread's stack frame, so
// posting one allocates nothing.
//
// Entry points for the rest of the module: current_thread_count, run_in_worker, and join (join.h),
// and prepare_thread_for_pool for a thread about to call them. Tests may also build private pools
// of a fixed size (OwnedPool).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/panic.h"
#include "pool/global_queue.h"
#include "pool/job_ref.h"
#include "pool/latch.h"
#include "pool/local_deque.h"
#include "pool/sleep.h"
#include "pool/stack_job.h"
#include "pool/worker_thread.h"

namespace dorvane {

// Why a pool could not be built.
class ThreadPoolBuildError {
 public:
  enum class Kind {
    GlobalPoolAlreadyInitialized,  // creation was already done (and failed)
    CurrentThreadAlreadyInPool,    // a worker tried to become worker 0 of a new pool
    IOError,                       // starting a thread failed; os_error() says why
  };

  static ThreadPoolBuildError of_kind(Kind kind) { return ThreadPoolBuildError(kind, 0); }
  static ThreadPoolBuildError io_error(int os_error) {
    return ThreadPoolBuildError(Kind::IOError, os_error);
  }

  Kind kind() const { return kind_; }
  int os_error() const { return os_error_; }
  // The operating system has no threads to give: the pool may fall back to the calling thread.
  bool is_unsupported() const;

  // "ThreadPoolBuildError { kind: IOError(Os { code: .., kind: .., message: \"..\" }) }" and the
  // like, as it appears in the creation-failure panic.
  std::string debug_string() const;

 private:
  ThreadPoolBuildError(Kind kind, int os_error) : kind_(kind), os_error_(os_error) {}
  Kind kind_;
  int os_error_;
};

class WorkerPool;

// A built pool, or why there is none.
struct PoolBuild {
  std::shared_ptr<WorkerPool> pool;
  std::optional<ThreadPoolBuildError> error;
};

class WorkerPool {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  // Only build() and build_on_current_thread() create pools; the key keeps the constructor
  // usable by std::allocate_shared alone.
  WorkerPool(Passkey, std::size_t thread_count);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Starts `thread_count` detached workers (1 to kMaxThreadCount) and returns once each has
  // readied itself (prepare_thread_for_pool), so that no worker first needs memory for that while
  // a call is running, perhaps out of memory. If one fails to start, the ones already started are
  // told to end and the error is returned.
  static PoolBuild build(std::size_t thread_count);
  // A pool of one worker that is the calling thread itself, registered without a wait loop: the
  // fallback where the operating system cannot start threads.
  static PoolBuild build_on_current_thread();

  std::size_t thread_count() const { return thread_count_; }
  LocalDeque& deque(std::size_t index) { return workers_[index].deque; }
  CoreLatch& terminate_latch(std::size_t index) { return workers_[index].terminate; }
  Sleep& sleep() { return sleep_; }
  GlobalQueue& injected() { return injected_; }
  const GlobalQueue& injected() const { return injected_; }

  // Pushes `job` into the shared queue and applies the new-work rule.
  void inject(JobRef job);

  // Called by each worker once it is ready; build() waits for all of them.
  void note_worker_ready();

  // Runs `op(worker, injected)` on a worker of this pool and returns its result: at once when the
  // calling thread is one, otherwise through the outside path (which blocks even a worker of
  // another pool).
  template <class Op>
  decltype(auto) run(Op&& op) {
    WorkerThread* worker = WorkerThread::current();
    if (worker != nullptr && &worker->pool() == this) return op(*worker, false);
    return run_outside(op);
  }

  // The outside path: injects `op` as a job, blocks on the thread's LockLatch until a worker has
  // run it with injected = true, and returns its value or resumes its panic.
  template <class Op>
  std::invoke_result_t<Op&, WorkerThread&, bool> run_outside(Op& op);

  // Drops the terminate count; at zero every worker's terminate latch is set and its thread ends.
  // The process-wide pool's count never gets there.
  void terminate();

 private:
  struct alignas(128) WorkerSlot {
    LocalDeque deque;
    CoreLatch terminate;
  };

  std::size_t thread_count_;
  WorkerSlot* workers_;
  Sleep sleep_;
  GlobalQueue injected_;
  std::atomic<std::size_t> terminate_count_{1};
  std::atomic<uint32_t> ready_workers_{0};
};

template <class Op>
std::invoke_result_t<Op&, WorkerThread&, bool> WorkerPool::run_outside(Op& op) {
  using Result = std::invoke_result_t<Op&, WorkerThread&, bool>;
  static_assert(!std::is_reference_v<Result>, "operations run on the pool return values");
  auto body = [&op](bool injected) -> OpValue<Op, WorkerThread&, bool> {
    WorkerThread* worker = WorkerThread::current();
    if (!injected || worker == nullptr) {
      panic("assertion failed: injected && !worker_thread.is_null()");
    }
    return call_op(op, *worker, true);
  };
  LockLatch& latch = LockLatch::for_current_thread();
  StackJob<LockLatch&, decltype(body)> job(std::move(body), latch);
  inject(job.as_job_ref());
  latch.wait_and_reset();
  if constexpr (std::is_void_v<Result>) {
    job.into_value();
  } else {
    return job.into_value();
  }
}

// The process-wide pool, created on first use; panics with the creation error if that failed.
WorkerPool& global_pool();

// The pool that calls from this non-worker thread go to: the process-wide one unless
// OwnedPool::route_outside_calls is active on this thread.
WorkerPool& default_pool();

// Number of workers of the pool the calling thread works for, or of default_pool() (creating the
// process-wide pool if needed) on any other thread.
std::size_t current_thread_count();

// Readies the calling thread, before work that may exhaust memory, for whatever the pool may later
// need of it that could not fail softly: its exception machinery (prepare_thread_for_panics), its
// LockLatch for calls from outside the pool, and its epoch state for steals. Every worker calls it
// as it starts; an entry point calls it before a call's work.
void prepare_thread_for_pool() noexcept;

// Runs `op(WorkerThread&, bool injected)` on a worker: directly (injected = false) on a worker
// thread, otherwise on a worker of default_pool() (injected = true) while this thread blocks. A
// panic in `op` comes out here with its own payload.
template <class Op>
decltype(auto) run_in_worker(Op&& op) {
  if (WorkerThread* worker = WorkerThread::current()) return op(*worker, false);
  return default_pool().run_outside(op);
}

// A pool of its own, outside the process-wide slot, for a fixed worker count.
class OwnedPool {
 public:
  // Panics with the build error when a thread cannot be started.
  explicit OwnedPool(std::size_t thread_count);
  // Ends the workers and waits until every one of them has let go of the pool.
  ~OwnedPool();
  OwnedPool(const OwnedPool&) = delete;
  OwnedPool& operator=(const OwnedPool&) = delete;

  WorkerPool& pool() { return *pool_; }

  // Runs `body` on this thread with its outside calls (run_in_worker, join, current_thread_count)
  // sent to this pool instead of the process-wide one.
  template <class F>
  decltype(auto) route_outside_calls(F&& body);

 private:
  std::shared_ptr<WorkerPool> pool_;
};

// Sets the pool that default_pool() returns on this thread (null: the process-wide one) and
// returns the previous setting.
WorkerPool* exchange_routed_pool(WorkerPool* pool);

template <class F>
decltype(auto) OwnedPool::route_outside_calls(F&& body) {
  struct Restore {
    WorkerPool* previous;
    ~Restore() { exchange_routed_pool(previous); }
  } restore{exchange_routed_pool(pool_.get())};
  return body();
}

// Test hook: called before starting worker `index` of any pool; a non-zero result is used as the
// operating system's error instead of starting the thread. Null removes the hook.
using SpawnHook = int (*)(std::size_t index);
void set_spawn_hook_for_testing(SpawnHook hook);

}  // namespace dorvane
