#include "pool/worker_pool.h"

#include <new>

#include "platform/memory.h"
#include "platform/platform.h"
#include "pool/abort_guard.h"
#include "pool/epoch.h"
#include "pool/fence.h"
#include "pool/thread_count.h"

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
    case Kind::CurrentThreadAlreadyInPool:
      kind = "CurrentThreadAlreadyInPool";
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

// What a new worker thread receives; the thread owns and frees it.
struct WorkerStart {
  std::shared_ptr<WorkerPool> pool;
  std::size_t index;
};

// The number of forks this process descends from: a child starts one up on its parent. Relaxed:
// the child's handler runs on the child's only thread, before anything else there reads it.
std::atomic<uint64_t> forks{0};

uint64_t fork_generation() {
  // Registered before the first pool exists, so that no fork after it goes uncounted.
  static const bool registered =
      (platform::on_fork_child([] { forks.fetch_add(1, std::memory_order_relaxed); }), true);
  (void)registered;
  return forks.load(std::memory_order_relaxed);
}

void worker_main(void* raw) {
  prepare_thread_for_pool();
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
    pool_ref.note_worker_ready();
    WorkerThread thread(std::move(pool), index);
    WorkerThread::set_current(&thread, nullptr);
    // For the process-wide pool this never returns: its terminate latches are set only when
    // creation fails.
    thread.wait_until(pool_ref.terminate_latch(index));
    WorkerThread::set_current(nullptr, &thread);
  });
}

}  // namespace

WorkerPool::WorkerPool(Passkey, std::size_t thread_count)
    : thread_count_(thread_count),
      workers_(static_cast<WorkerSlot*>(
          allocate(array_bytes(thread_count, sizeof(WorkerSlot)), alignof(WorkerSlot)))),
      fork_generation_(fork_generation()),
      sleep_(thread_count) {
  for (std::size_t i = 0; i < thread_count_; ++i)
    ::new (&workers_[i]) WorkerSlot();
}

WorkerPool::~WorkerPool() {
  for (std::size_t i = 0; i < thread_count_; ++i)
    workers_[i].~WorkerSlot();
  deallocate(workers_, thread_count_ * sizeof(WorkerSlot), alignof(WorkerSlot));
}

PoolBuild WorkerPool::build(std::size_t thread_count) {
  if (thread_count == 0) thread_count = 1;
  if (thread_count > kMaxThreadCount) thread_count = kMaxThreadCount;
  auto pool = std::allocate_shared<WorkerPool>(Allocator<WorkerPool>(), Passkey(), thread_count);
  for (std::size_t index = 0; index < thread_count; ++index) {
    auto* start = new WorkerStart{pool, index};
    const int error = platform::spawn_detached_thread(&worker_main, start);
    if (error != 0) {
      delete start;
      // The threads already started see their terminate latches set and end.
      pool->terminate();
      return PoolBuild{nullptr, ThreadPoolBuildError::io_error(error)};
    }
  }
  // A thread allocates its thread-local storage on first use, and glibc ends the process when it
  // cannot. So the pool is handed out only once every worker has done that.
  // Relaxed: the count is all that is read; what each worker readied belongs to its own thread.
  for (;;) {
    const uint32_t ready = pool->ready_workers_.load(std::memory_order_relaxed);
    if (ready == thread_count) break;
    platform::wait_on_address(pool->ready_workers_, ready);
  }
  return PoolBuild{std::move(pool), std::nullopt};
}

PoolBuild WorkerPool::build_on_current_thread() {
  if (WorkerThread::current() != nullptr) {
    return PoolBuild{nullptr, ThreadPoolBuildError::of_kind(
                                  ThreadPoolBuildError::Kind::CurrentThreadAlreadyInPool)};
  }
  auto pool = std::allocate_shared<WorkerPool>(Allocator<WorkerPool>(), Passkey(), 1);
  // Lives as long as the thread may act as the worker: for the rest of the process.
  auto* thread = new WorkerThread(pool, 0);
  WorkerThread::set_current(thread, nullptr);
  return PoolBuild{std::move(pool), std::nullopt};
}

bool WorkerPool::workers_here() const {
  return fork_generation() == fork_generation_;
}

void WorkerPool::inject(JobRef job) {
  bool was_empty = injected_.is_empty();
  injected_.push(job);
  // Pairs with the fence a worker issues before its last look at the queue on its way to sleep:
  // either it sees this job, or the new-work rule below sees it in the sleeping count.
  full_fence();
  sleep_.new_jobs(was_empty);
}

void WorkerPool::note_worker_ready() {
  // Relaxed: see build().
  ready_workers_.fetch_add(1, std::memory_order_relaxed);
  platform::wake_all(ready_workers_);
}

void WorkerPool::terminate() {
  // acq_rel: whoever takes the count to zero sees every earlier holder's work on the pool.
  if (terminate_count_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  for (std::size_t i = 0; i < thread_count_; ++i) {
    if (workers_[i].terminate.set()) sleep_.wake_specific_thread(i);
  }
}

// ---------------------------------------------------------------------------------------------
// The process-wide pool

namespace {

// Creation runs once: kNotStarted -> kRunning -> kDone. Everything here has a trivial destructor,
// because workers keep running while the process exits.
constexpr uint32_t kNotStarted = 0;
constexpr uint32_t kRunning = 1;
constexpr uint32_t kDone = 2;

std::atomic<uint32_t> creation_state{kNotStarted};
// Written once by the creator with release, read with acquire: the pool is fully built before
// anyone can reach it through here.
std::atomic<WorkerPool*> global_slot{nullptr};
// Whether forget_pool_after_fork is registered; read and written only by a creator (one at a
// time, under creation_state), so relaxed suffices.
std::atomic<bool> fork_handler_registered{false};
// The reference that keeps the process-wide pool alive; written only by the creator. A forked
// child moves the parent's into forgotten_pool, where it stays reachable but unused.
std::shared_ptr<WorkerPool>* global_owner = nullptr;
std::shared_ptr<WorkerPool>* forgotten_pool = nullptr;

// A forked child has the parent's pool in memory but none of its threads: a call there would wait
// for ever. Forget that pool (its memory is simply left behind) so the child builds its own.
// Relaxed stores: the child has no other thread to publish them to.
void forget_pool_after_fork() {
  if (global_owner != nullptr) forgotten_pool = std::exchange(global_owner, nullptr);
  global_slot.store(nullptr, std::memory_order_relaxed);
  creation_state.store(kNotStarted, std::memory_order_relaxed);
}

PoolBuild build_global() {
  PoolBuild built = WorkerPool::build(thread_count_from_environment());
  if (built.error && built.error->is_unsupported() && WorkerThread::current() == nullptr) {
    PoolBuild fallback = WorkerPool::build_on_current_thread();
    if (!fallback.error) return fallback;
  }
  return built;
}

WorkerPool& global_pool_cold() {
  ThreadPoolBuildError error =
      ThreadPoolBuildError::of_kind(ThreadPoolBuildError::Kind::GlobalPoolAlreadyInitialized);
  uint32_t state = kNotStarted;
  // acquire on success pairs with nothing (first creator); the release store of kDone below pairs
  // with the acquire loads of the threads that wait for it.
  if (creation_state.compare_exchange_strong(state, kRunning, std::memory_order_acquire)) {
    if (!fork_handler_registered.exchange(true, std::memory_order_relaxed)) {
      platform::on_fork_child(&forget_pool_after_fork);
    }
    PoolBuild built = build_global();
    if (built.pool) {
      // Never released: the process-wide pool lives until the process ends.
      global_owner = new std::shared_ptr<WorkerPool>(std::move(built.pool));
      global_slot.store(global_owner->get(), std::memory_order_release);
    } else {
      error = *built.error;
    }
    creation_state.store(kDone, std::memory_order_release);
    platform::wake_all(creation_state);
  } else {
    while ((state = creation_state.load(std::memory_order_acquire)) == kRunning) {
      platform::wait_on_address(creation_state, kRunning);
    }
  }
  if (WorkerPool* pool = global_slot.load(std::memory_order_acquire)) return *pool;
  panic("The global thread pool has not been initialized.: " + error.debug_string());
}

}  // namespace

WorkerPool& global_pool() {
  // acquire pairs with the release store that published the pool.
  if (WorkerPool* pool = global_slot.load(std::memory_order_acquire)) return *pool;
  return global_pool_cold();
}

void prepare_thread_for_pool() noexcept {
  prepare_thread_for_panics();
  // Registers its release at thread exit on first use, through an allocation that ends the
  // process when it fails.
  epoch::prepare_thread();
}

std::size_t current_thread_count() {
  if (WorkerThread* worker = WorkerThread::current()) return worker->pool().thread_count();
  return global_pool().thread_count();
}

}  // namespace dorvane
