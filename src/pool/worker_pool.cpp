#include "pool/worker_pool.h"

#include <new>

#include "platform/memory.h"
#include "platform/panic.h"
#include "platform/platform.h"
#include "pool/abort_guard.h"
#include "pool/fence.h"
#include "pool/thread_count.h"
#include "pool/worker_thread.h"

namespace dorvane {

// ---------------------------------------------------------------------------------------------
// ThreadPoolBuildError

namespace {

// A short name for the class of an operating-system error, for the creation-failure message.
const char* os_error_kind_name(platform::OsErrorKind kind) {
  switch (kind) {
    case platform::OsErrorKind::WouldBlock:
      return "WouldBlock";
    case platform::OsErrorKind::OutOfMemory:
      return "OutOfMemory";
    case platform::OsErrorKind::PermissionDenied:
      return "PermissionDenied";
    case platform::OsErrorKind::InvalidInput:
      return "InvalidInput";
    case platform::OsErrorKind::Unsupported:
      return "Unsupported";
    case platform::OsErrorKind::Uncategorized:
      break;
  }
  return "Uncategorized";
}

}  // namespace

bool ThreadPoolBuildError::is_unsupported() const {
  return kind_ == Kind::IOError &&
         platform::os_error_kind(os_error_) == platform::OsErrorKind::Unsupported;
}

std::string ThreadPoolBuildError::debug_string() const {
  std::string kind;
  switch (kind_) {
    case Kind::GlobalPoolAlreadyInitialized:
      kind = "GlobalPoolAlreadyInitialized";
      break;
    case Kind::IOError:
      kind = "IOError(Os { code: " + std::to_string(os_error_) +
             ", kind: " + os_error_kind_name(platform::os_error_kind(os_error_)) + ", message: \"" +
             platform::os_error_message(os_error_) + "\" })";
      break;
  }
  return "ThreadPoolBuildError { kind: " + kind + " }";
}

// ---------------------------------------------------------------------------------------------
// Building a pool and the worker thread body

namespace {

constexpr uint32_t kGateClosed = 0;
constexpr uint32_t kGateOpen = 1;
constexpr uint32_t kGateCancelled = 2;

// What a new worker thread receives; the thread owns and frees it.
struct WorkerStart {
  std::shared_ptr<WorkerPool> pool;
  std::size_t index;
};

void worker_main(void* raw) {
  prepare_thread_for_panics();
  run_aborting_on_panic([raw] {
    std::size_t index;
    std::shared_ptr<WorkerPool> pool;
    {
      auto* start = static_cast<WorkerStart*>(raw);
      index = start->index;
      pool = std::move(start->pool);
      delete start;
    }
    WorkerPool& pool_ref = *pool;
    if (!pool_ref.worker_ready()) return;
    WorkerThread thread(std::move(pool), index);
    WorkerThread::set_current(&thread, nullptr);
    // For the process-wide pool this never returns: its terminate latches are set only when
    // creation fails.
    thread.run_until(pool_ref.terminate_latch(index));
    WorkerThread::set_current(nullptr, &thread);
  });
}

}  // namespace

WorkerPool::WorkerPool(Passkey, std::size_t thread_count, uint32_t fork_generation)
    : thread_count_(thread_count),
      fork_generation_(fork_generation),
      epochs_(thread_count),
      workers_(static_cast<WorkerSlot*>(
          allocate(array_bytes(thread_count, sizeof(WorkerSlot)), alignof(WorkerSlot)))),
      sleep_(thread_count) {
  for (std::size_t i = 0; i < thread_count_; ++i)
    ::new (&workers_[i]) WorkerSlot(epochs_);
}

WorkerPool::~WorkerPool() {
  for (std::size_t i = 0; i < thread_count_; ++i)
    workers_[i].~WorkerSlot();
  deallocate(workers_, thread_count_ * sizeof(WorkerSlot), alignof(WorkerSlot));
}

PoolBuild WorkerPool::build(std::size_t thread_count) {
  if (thread_count == 0) thread_count = 1;
  if (thread_count > kMaxThreadCount) thread_count = kMaxThreadCount;
  // Without fork generations a forked child could not tell that these workers are gone.
  if (const int error = platform::watch_forks()) {
    return PoolBuild{nullptr, ThreadPoolBuildError::io_error(error)};
  }
  auto pool = std::allocate_shared<WorkerPool>(Allocator<WorkerPool>(), Passkey(), thread_count,
                                               platform::fork_generation());
  for (std::size_t index = 0; index < thread_count; ++index) {
    auto* start = new (std::nothrow) WorkerStart{pool, index};
    const int error = start == nullptr ? platform::out_of_memory_error()
                                       : platform::spawn_detached_thread(&worker_main, start);
    if (error != 0) {
      delete start;
      // The threads already started leave at the gate, before they ever look for work.
      pool->gate_.store(kGateCancelled, std::memory_order_relaxed);
      platform::wake_all(pool->gate_);
      return PoolBuild{nullptr, ThreadPoolBuildError::io_error(error)};
    }
  }
  // A thread allocates its thread-local storage on first use, and glibc ends the process when it
  // cannot. So the pool is handed out only once every worker has done that.
  // Relaxed: the counts are all that is read; what each worker readied belongs to its own thread,
  // and the pool's state was published to it through the thread's start.
  for (;;) {
    const uint32_t ready = pool->ready_workers_.load(std::memory_order_relaxed);
    if (ready == thread_count) break;
    platform::wait_on_address(pool->ready_workers_, ready);
  }
  pool->gate_.store(kGateOpen, std::memory_order_relaxed);
  platform::wake_all(pool->gate_);
  return PoolBuild{std::move(pool), std::nullopt};
}

PoolBuild WorkerPool::build_on_current_thread() {
  auto pool = std::allocate_shared<WorkerPool>(Allocator<WorkerPool>(), Passkey(), 1,
                                               platform::fork_generation());
  // Lives as long as the thread may act as the worker: for the rest of the process.
  auto* thread =
      ::new (allocate(sizeof(WorkerThread), alignof(WorkerThread))) WorkerThread(pool, 0);
  WorkerThread::set_current(thread, nullptr);
  // That worker is busy with its own caller's work, not searching for jobs.
  pool->sleep().work_found();
  return PoolBuild{std::move(pool), std::nullopt};
}

bool WorkerPool::workers_here() const {
  return platform::fork_generation() == fork_generation_;
}

bool WorkerPool::callers_share_processors() const {
  return thread_count_ > 1 && platform::processor_count() <= thread_count_;
}

void WorkerPool::inject(JobRef job) {
  bool was_empty = injected_.is_empty();
  injected_.push(job);
  // Pairs with the fence a worker issues before its last look at the queue on its way to sleep:
  // either it sees this job, or the new-work rule below sees it in the sleeping count.
  full_fence();
  sleep_.new_jobs(was_empty);
}

// ---------------------------------------------------------------------------------------------
// Parking
//
// parks_wanted_ never exceeds thread_count - 1, and parked_ grows only by a compare-and-swap that
// keeps it below parks_wanted_ as read just before, so fewer than thread_count workers are ever
// parked, whatever the staleness of the reads (relaxed: the counts are the whole of what is
// shared). A parked worker reads park_changes_ before the counts and the terminate latch, and
// every change it must see is made before park_changes_ moves on (seq_cst), so the futex wait
// below returns at once on a change it might have missed.

WorkerPool::ParkedWorker::~ParkedWorker() {
  if (pool_ != nullptr) pool_->unpark_one();
}

std::optional<WorkerPool::ParkedWorker> WorkerPool::park_worker() {
  uint32_t wanted = parks_wanted_.load(std::memory_order_relaxed);
  do {
    if (wanted + std::size_t{1} >= thread_count_) return std::nullopt;
  } while (!parks_wanted_.compare_exchange_weak(wanted, wanted + 1, std::memory_order_relaxed));
  return ParkedWorker(*this);
}

bool WorkerPool::park_wanted() const {
  // Relaxed: a hint, checked again by sit_out's compare-and-swap.
  return parked_.load(std::memory_order_relaxed) < parks_wanted_.load(std::memory_order_relaxed);
}

void WorkerPool::sit_out(const CoreLatch& terminate) {
  uint32_t parked = parked_.load(std::memory_order_relaxed);
  do {
    if (parked >= parks_wanted_.load(std::memory_order_relaxed)) return;
  } while (!parked_.compare_exchange_weak(parked, parked + 1, std::memory_order_relaxed));
  for (;;) {
    const uint32_t seen = park_changes_.load(std::memory_order_seq_cst);
    if (terminate.probe()) break;
    // The surplus leaves, one worker per parking given back.
    parked = parked_.load(std::memory_order_relaxed);
    while (parked > parks_wanted_.load(std::memory_order_seq_cst)) {
      if (parked_.compare_exchange_weak(parked, parked - 1, std::memory_order_relaxed)) return;
    }
    platform::wait_on_address(park_changes_, seen);
  }
  parked_.fetch_sub(1, std::memory_order_relaxed);
}

void WorkerPool::unpark_one() {
  parks_wanted_.fetch_sub(1, std::memory_order_seq_cst);
  wake_parked();
}

void WorkerPool::wake_parked() {
  park_changes_.fetch_add(1, std::memory_order_seq_cst);
  platform::wake_all(park_changes_);
}

bool WorkerPool::worker_ready() {
  // Relaxed: see build().
  ready_workers_.fetch_add(1, std::memory_order_relaxed);
  platform::wake_all(ready_workers_);
  uint32_t gate;
  while ((gate = gate_.load(std::memory_order_relaxed)) == kGateClosed)
    platform::wait_on_address(gate_, kGateClosed);
  return gate == kGateOpen;
}

void WorkerPool::terminate() {
  // acq_rel: whoever takes the count to zero sees every earlier holder's work on the pool.
  if (terminate_count_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  for (std::size_t i = 0; i < thread_count_; ++i) {
    if (workers_[i].terminate.set()) sleep_.wake_specific_thread(i);
  }
  wake_parked();
}

// ---------------------------------------------------------------------------------------------
// The process-wide pool

namespace {

// Creation runs once per fork generation: not started -> running -> done. The word holds the
// generation (its low 30 bits) above the phase, so that in a forked child whatever the parent's
// creation got to reads as not started. Everything here has a trivial destructor, because workers
// keep running while the process exits.
constexpr uint32_t kNotStarted = 0;
constexpr uint32_t kRunning = 1;
constexpr uint32_t kDone = 2;
constexpr uint32_t kPhaseBits = 2;

constexpr uint32_t creation_word(uint32_t generation, uint32_t phase) {
  return (generation << kPhaseBits) | phase;
}

constinit std::atomic<uint32_t> creation{creation_word(0, kNotStarted)};
// The reference that keeps the process-wide pool alive, written once per generation by its
// creator with release and read with acquire, so that the pool is fully built before anyone can
// reach it through here. Never released: the pool lives until the process ends. A forked child
// finds its parent's here until it builds its own (workers_here tells them apart), and leaves it
// behind unused.
constinit std::atomic<std::shared_ptr<WorkerPool>*> global_slot{nullptr};

// The process-wide pool if it was built in this generation.
WorkerPool* built_here() {
  std::shared_ptr<WorkerPool>* owner = global_slot.load(std::memory_order_acquire);
  return owner != nullptr && (*owner)->workers_here() ? owner->get() : nullptr;
}

PoolBuild build_global() {
  try {
    PoolBuild built = WorkerPool::build(thread_count_from_environment());
    if (built.error && built.error->is_unsupported() && WorkerThread::current() == nullptr) {
      PoolBuild fallback = WorkerPool::build_on_current_thread();
      if (!fallback.error) return fallback;
    }
    return built;
  } catch (const std::bad_alloc&) {
    // Reading the environment needs memory too; no memory is no pool, like a thread not started.
    return PoolBuild{nullptr, ThreadPoolBuildError::io_error(platform::out_of_memory_error())};
  }
}

WorkerPool& global_pool_cold() {
  ThreadPoolBuildError error =
      ThreadPoolBuildError::of_kind(ThreadPoolBuildError::Kind::GlobalPoolAlreadyInitialized);
  // Before the generation is read: a fork from now on moves it.
  const int fork_error = platform::watch_forks();
  const uint32_t generation = platform::fork_generation();
  const uint32_t running = creation_word(generation, kRunning);
  for (;;) {
    // Acquire: pairs with the creator's release store of kDone.
    uint32_t word = creation.load(std::memory_order_acquire);
    if (word == running) {
      platform::wait_on_address(creation, word);
      continue;
    }
    if (word == creation_word(generation, kDone)) break;
    // Not started in this generation: become its creator.
    if (!creation.compare_exchange_strong(word, running, std::memory_order_acquire)) continue;
    PoolBuild built = fork_error != 0
                          ? PoolBuild{nullptr, ThreadPoolBuildError::io_error(fork_error)}
                          : build_global();
    if (built.pool) {
      auto* owner = ::new (
          allocate(sizeof(std::shared_ptr<WorkerPool>), alignof(std::shared_ptr<WorkerPool>)))
          std::shared_ptr<WorkerPool>(std::move(built.pool));
      global_slot.store(owner, std::memory_order_release);
    } else {
      error = *built.error;
    }
    creation.store(creation_word(generation, kDone), std::memory_order_release);
    platform::wake_all(creation);
    break;
  }
  if (WorkerPool* pool = built_here()) return *pool;
  panic("The global thread pool has not been initialized.: " + error.debug_string());
}

}  // namespace

WorkerPool& global_pool() {
  if (WorkerPool* pool = built_here()) [[likely]] {
    return *pool;
  }
  return global_pool_cold();
}

std::size_t current_thread_count() {
  if (WorkerThread* worker = WorkerThread::current()) return worker->pool().thread_count();
  return global_pool().thread_count();
}

}  // namespace dorvane
