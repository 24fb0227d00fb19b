#include "pool/worker_thread.h"

#include <atomic>
#include <utility>

#include "platform/panic.h"
#include "platform/siphash.h"
#include "pool/abort_guard.h"
#include "pool/fence.h"
#include "pool/worker_pool.h"

namespace dorvane {

namespace {

// Null on every thread that is not a worker.
constinit thread_local WorkerThread* current_worker = nullptr;

// Multiplier applied after the xorshift step, so that the index taken modulo the worker count
// depends on all bits of the state, not only the low ones.
constexpr uint64_t kRandomMultiplier = 0x2545F4914F6CDD1DULL;

}  // namespace

uint64_t WorkerThread::next_seed() {
  // Only uniqueness matters, not ordering with anything else: relaxed.
  static std::atomic<uint64_t> counter{0};
  for (;;) {
    uint64_t seed = siphash13_u64(SipKey{}, counter.fetch_add(1, std::memory_order_relaxed));
    if (seed != 0) return seed;
  }
}

WorkerThread::WorkerThread(std::shared_ptr<WorkerPool> pool, std::size_t index)
    : pool_ref_(std::move(pool)),
      pool_(*pool_ref_),
      deque_(pool_.deque(index)),
      index_(index),
      random_state_(next_seed()) {}

WorkerThread* WorkerThread::current() {
  return current_worker;
}

void WorkerThread::set_current(WorkerThread* thread, WorkerThread* expected) {
  if (current_worker != expected) panic("assertion failed: the worker slot of this thread");
  current_worker = thread;
}

void WorkerThread::push(JobRef job) {
  bool was_empty = deque_.push(job);
  // The deque's release store of its bottom must not pass the new-work rule's look at the
  // counters: a worker that gets sleepy after that look must find this job in its last search
  // (see sleep.cpp).
  full_fence();
  pool_.sleep().new_jobs(was_empty);
}

void WorkerThread::wait_until_cold(CoreLatch& latch, bool between_jobs) {
  run_aborting_on_panic([&] {
    Sleep& sleep = pool_.sleep();
    // A worker starts out counted as inactive (see Sleep); inside a job it is active.
    bool inactive = between_jobs;
    // A worker that has never run a job has no follow-up job to wait for by spinning: it gets
    // sleepy at its first fruitless search, and thousands of workers start without taking turns
    // at yielding to each other.
    bool fresh = between_jobs;
    for (;;) {
      if (!inactive) {
        // Finish our own work before looking elsewhere.
        for (;;) {
          if (latch.probe()) return;
          std::optional<JobRef> job = deque_.pop();
          if (!job) break;
          job->run();
        }
        sleep.start_looking();
        inactive = true;
      }
      IdleState idle{index_};
      if (std::exchange(fresh, false)) idle.passes = Sleep::kRoundsUntilSleepy;
      for (;;) {
        if (latch.probe()) {
          sleep.work_found();
          return;
        }
        if (between_jobs && pool_.park_wanted()) {
          // Active while parked, so that posted work does not count on this worker.
          sleep.work_found();
          inactive = false;
          pool_.sit_out(latch);
          break;
        }
        if (std::optional<JobRef> job = find_work()) {
          sleep.work_found();
          inactive = false;
          job->run();
          break;
        }
        sleep.no_work_found(idle, latch, pool_.injected());
      }
    }
  });
}

std::optional<JobRef> WorkerThread::find_work() {
  if (std::optional<JobRef> job = deque_.pop()) return job;
  // With every worker inactive no deque holds a job: an idle pool, even of thousands of workers,
  // searches nothing but the shared queue.
  if (pool_.thread_count() > 1 && !pool_.sleep().all_inactive()) {
    if (std::optional<JobRef> job = steal()) return job;
  }
  return take_injected();
}

std::optional<JobRef> WorkerThread::steal() {
  const std::size_t count = pool_.thread_count();
  for (;;) {
    bool lost_race = false;
    const std::size_t start = static_cast<std::size_t>(next_random() % count);
    for (std::size_t step = 0; step < count; ++step) {
      std::size_t victim = start + step;
      if (victim >= count) victim -= count;
      if (victim == index_) continue;
      Steal attempt = pool_.deque(victim).steal(index_);
      if (attempt.outcome == StealOutcome::kJob) return attempt.job;
      if (attempt.outcome == StealOutcome::kRetry) lost_race = true;
    }
    // Every deque was empty: nothing to steal. A lost race means a deque changed under us and may
    // still hold work, so scan again from a fresh start.
    if (!lost_race) return std::nullopt;
  }
}

std::optional<JobRef> WorkerThread::take_injected() {
  for (;;) {
    Steal attempt = pool_.injected().take();
    if (attempt.outcome == StealOutcome::kJob) return attempt.job;
    if (attempt.outcome == StealOutcome::kEmpty) return std::nullopt;
  }
}

uint64_t WorkerThread::next_random() {
  uint64_t x = random_state_;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  random_state_ = x;
  return x * kRandomMultiplier;
}

}  // namespace dorvane
