// The work-stealing worker pool.
//
// One process-wide pool, created on first use and never shut down, runs the module's parallel
// work. Each worker owns a deque that it uses as a stack; idle workers steal the oldest job of
// another worker; threads outside the pool inject work through one shared FIFO queue. Jobs live
// in the frame of whoever waits for them, so posting one allocates nothing.
//
// A thread outside the pool that waits for the pool's jobs and computes some of them itself may
// ask for a worker to sit its wait out (park_worker), leaving that worker's processor to it. Why no
// thread then ever waits for work that no thread will do, however many threads call and whatever
// their signal handlers do meanwhile:
//  - a job waits for nothing but other jobs of the pool (the second half of a join), never for a
//    thread outside the pool;
//  - a worker parks only between jobs, with nothing on its stack and its deque empty, so no job
//    waits for a parked worker;
//  - parking never takes the last worker: the pool grants at most thread_count - 1 parkings at a
//    time, counted per pool, so at least one worker is free to run queued jobs at every moment;
//  - a worker that parks leaves the sleep protocol's inactive count first (the work-found rule),
//    so a job posted meanwhile wakes a sleeper instead of counting on the parked worker.
// So every job posted is run, every join ends, and every wait for jobs ends.
//
// In a child forked from the process that built a pool, the pool's workers do not exist: the
// pool says so (workers_here), and the process-wide pool is built afresh for the child.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "pool/epoch.h"
#include "pool/global_queue.h"
#include "pool/job_ref.h"
#include "pool/local_deque.h"
#include "pool/sleep.h"

namespace dorvane {

// Why a pool could not be built.
class ThreadPoolBuildError {
 public:
  enum class Kind {
    GlobalPoolAlreadyInitialized,  // creation was already done (and failed)
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
  WorkerPool(Passkey, std::size_t thread_count, uint32_t fork_generation);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Starts `thread_count` detached workers (1 to kMaxThreadCount) and returns once each has
  // readied itself for panics, so that no worker first needs memory for that while a call is
  // running, perhaps out of memory. The workers wait at a gate meanwhile, which opens once they
  // are all ready: they take no processor from the thread that starts the rest. If one fails to
  // start (no memory included), the gate sends the ones already started away, each of them at
  // once, and the error is returned.
  static PoolBuild build(std::size_t thread_count);
  // A pool of one worker that is the calling thread itself, registered without a wait loop: the
  // fallback where the operating system cannot start threads.
  static PoolBuild build_on_current_thread();

  std::size_t thread_count() const { return thread_count_; }
  // False in a child forked from the process that built the pool: the workers stayed behind, and
  // whatever they were in the middle of writing may be half-written here.
  bool workers_here() const;
  // Whether a thread outside the pool that waits for its jobs has no processor of its own: the
  // workers alone can occupy every processor this process may run on.
  bool callers_share_processors() const;

  LocalDeque& deque(std::size_t index) { return workers_[index].deque; }
  CoreLatch& terminate_latch(std::size_t index) { return workers_[index].terminate; }
  Sleep& sleep() { return sleep_; }
  GlobalQueue& injected() { return injected_; }

  // Pushes `job` into the shared queue and applies the new-work rule.
  void inject(JobRef job);

  // One worker sitting out the wait of the thread that asked for it; given back when destroyed.
  class ParkedWorker {
   public:
    explicit ParkedWorker(WorkerPool& pool) : pool_(&pool) {}
    ParkedWorker(ParkedWorker&& other) noexcept : pool_(std::exchange(other.pool_, nullptr)) {}
    ParkedWorker& operator=(ParkedWorker&&) = delete;
    ~ParkedWorker();

   private:
    WorkerPool* pool_;
  };
  // Asks one more worker to sit out, as soon as one is between jobs; nothing when no more may
  // (every worker but one is asked already).
  std::optional<ParkedWorker> park_worker();
  // For a worker between jobs: whether more workers are asked to sit out than do.
  bool park_wanted() const;
  // For a worker between jobs: sits out while it is asked to, or until `terminate` is set.
  void sit_out(const CoreLatch& terminate);

  // Called by each worker once it is ready; waits at the gate. False when the build failed and the
  // worker must end.
  bool worker_ready();

  // Drops the terminate count; at zero every worker's terminate latch is set and its thread ends.
  // The process-wide pool's count never gets there.
  void terminate();

 private:
  struct alignas(128) WorkerSlot {
    explicit WorkerSlot(Epochs& epochs) : deque(epochs) {}
    LocalDeque deque;
    CoreLatch terminate;
  };

  // Gives back one parking: the surplus of parked workers leaves.
  void unpark_one();
  // Bumps park_changes_ and wakes the parked workers to look again.
  void wake_parked();

  const std::size_t thread_count_;
  const uint32_t fork_generation_;  // the process's, when the pool was built
  Epochs epochs_;
  WorkerSlot* workers_;
  Sleep sleep_;
  GlobalQueue injected_;
  std::atomic<std::size_t> terminate_count_{1};
  std::atomic<uint32_t> ready_workers_{0};
  std::atomic<uint32_t> gate_{0};  // kGateClosed, kGateOpen or kGateCancelled
  // Parkings granted, workers parked, and a word that moves on every change a parked worker must
  // see (a parking given back, termination).
  alignas(128) std::atomic<uint32_t> parks_wanted_{0};
  std::atomic<uint32_t> parked_{0};
  std::atomic<uint32_t> park_changes_{0};
};

// The process-wide pool, created on first use (and again in a forked child); panics with the
// creation error if that failed.
WorkerPool& global_pool();

// Number of workers of the pool the calling thread works for, or of the process-wide pool
// (creating it if needed) on any other thread.
std::size_t current_thread_count();

}  // namespace dorvane
