// The work-stealing worker pool.
//
// One process-wide pool, created on first use and never shut down, runs the module's parallel
// work. Each worker owns a deque that it uses as a stack; idle workers steal the oldest job of
// another worker; threads outside the pool inject work through one shared FIFO queue. Jobs live
// in the frame of whoever waits for them, so posting one allocates nothing.
//
// Entry points for the rest of the module: global_pool, current_thread_count, WorkerPool::inject,
// join (join.h) on a worker, and prepare_thread_for_pool for a thread about to use the pool.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/panic.h"
#include "pool/global_queue.h"
#include "pool/job_ref.h"
#include "pool/local_deque.h"
#include "pool/sleep.h"
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
  // False in a child forked from the process that built the pool: the workers stayed behind, and
  // whatever they were in the middle of writing may be half-written here.
  bool workers_here() const;
  LocalDeque& deque(std::size_t index) { return workers_[index].deque; }
  CoreLatch& terminate_latch(std::size_t index) { return workers_[index].terminate; }
  Sleep& sleep() { return sleep_; }
  GlobalQueue& injected() { return injected_; }
  const GlobalQueue& injected() const { return injected_; }

  // Pushes `job` into the shared queue and applies the new-work rule.
  void inject(JobRef job);

  // Called by each worker once it is ready; build() waits for all of them.
  void note_worker_ready();

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
  uint64_t fork_generation_;  // the process's, when the pool was built
  Sleep sleep_;
  GlobalQueue injected_;
  std::atomic<std::size_t> terminate_count_{1};
  std::atomic<uint32_t> ready_workers_{0};
};

// The process-wide pool, created on first use; panics with the creation error if that failed.
WorkerPool& global_pool();

// Number of workers of the pool the calling thread works for, or of the process-wide pool
// (creating it if needed) on any other thread.
std::size_t current_thread_count();

// Readies the calling thread, before work that may exhaust memory, for whatever the pool may later
// need of it that could not fail softly: its exception machinery (prepare_thread_for_panics) and
// its epoch state for steals. Every worker calls it as it starts; an entry point calls it before a
// call's work.
void prepare_thread_for_pool() noexcept;

}  // namespace dorvane
