// The sleep and wake protocol.
//
// Why no wake-up is lost. A worker W goes to sleep only after (a) announcing sleepiness, a
// sequentially consistent change of the counters that makes the JEC even, whose value W records;
// (s) one more fruitless search of every deque (skipped when a seq_cst read of the counters shows
// every worker inactive, as no deque then holds a job: see all_inactive) and of GlobalQueue; (b)
// adding itself to the sleeping count with a compare-and-swap against a word whose JEC still
// equals the record; and (c) finding GlobalQueue empty after a full fence. A poster P (d) pushes
// its job onto its own deque or into GlobalQueue, then issues a full fence, then (e) reads the
// counters and makes the JEC odd if it is even, learning the sleeping and inactive counts. The
// counters' operations are all sequentially consistent, so (a), (b) and (e) sit in one total order:
//  - (e) before (a): P's fence precedes W's later seq_cst loads of the deques' and the queue's
//    indices in (s), which therefore see the job;
//  - (e) between (a) and (b): the JEC moved after W recorded it (P made it odd, or another poster
//    did), so (b) fails and W searches again, after (e), as above;
//  - (e) after (b): P sees W counted as sleeping and wakes a sleeper when the receiving queue was
//    not empty before the push or no inactive worker is awake; otherwise an awake inactive worker
//    exists at (e), and it finds the job by the two cases above (its own (a) is before or after
//    (e), its (b) after). For GlobalQueue also: P's fence precedes W's fence in the total order,
//    so (c) sees the job.
// Waking takes the sleeper's slot mutex, under which the sleeper set is_blocked before waiting,
// so a wake either finds it blocked or runs before it blocks, when its own checks see the job.
//
// The JEC is 32 bits and wraps: (b) succeeds wrongly if the JEC has moved by a multiple of 2^32
// between (a) and (b) and the counts are as before, i.e. after about 2^31 posts while W was
// between two of its instructions: minutes of posting with W descheduled. Even then a job in
// GlobalQueue is found by (c), and a job on a deque is popped by its owner, which always either
// runs it or waits for it; only parallelism is lost, until the next post wakes W.
#include "pool/sleep.h"

#include <algorithm>

#include "platform/panic.h"
#include "platform/platform.h"
#include "pool/fence.h"

namespace dorvane {

// The latch word is the only datum these transitions share, so coherence of that one word
// decides every race on it; the job's results are read only after probe() (acquire) sees kSet.

bool CoreLatch::probe() const {
  // Acquire: pairs with the acq_rel exchange in set(), making the setter's writes visible.
  return state_.load(std::memory_order_acquire) == kSet;
}

bool CoreLatch::set() {
  // Acq_rel: releases the setter's writes (the job result) to probe(); acquires the owner's
  // earlier transitions, so a setter that reads kSleeping then finds the owner's slot state.
  return state_.exchange(kSet, std::memory_order_acq_rel) == kSleeping;
}

bool CoreLatch::get_sleepy() {
  uint32_t expected = kUnset;
  // Relaxed: a failure means kSet, which the wait loop then confirms through probe() (acquire).
  return state_.compare_exchange_strong(expected, kSleepy, std::memory_order_relaxed);
}

bool CoreLatch::fall_asleep() {
  uint32_t expected = kSleepy;
  // Relaxed: runs under the owner's slot mutex, which orders it against any waker that saw
  // kSleeping; a failure means kSet (see get_sleepy).
  return state_.compare_exchange_strong(expected, kSleeping, std::memory_order_relaxed);
}

void CoreLatch::wake_up() {
  uint32_t expected = kSleeping;
  // Relaxed: fails only when set, which is then left alone for probe() to see.
  state_.compare_exchange_strong(expected, kUnset, std::memory_order_relaxed);
}

uint32_t CoreLatch::state() const {
  // Acquire, like probe().
  return state_.load(std::memory_order_acquire);
}

Sleep::Sleep(std::size_t worker_count)
    : counters_(worker_count * SleepCounters::kOneInactive), slots_(worker_count) {
  if (worker_count == 0 || worker_count > SleepCounters::kMaxWorkers) {
    panic("worker count must be between 1 and 65535");
  }
}

void Sleep::start_looking() {
  // Seq_cst, as every change of the counters: the protocol's argument uses their total order.
  counters_.fetch_add(SleepCounters::kOneInactive, std::memory_order_seq_cst);
}

void Sleep::work_found() {
  // Seq_cst (see start_looking). The word before the subtraction says who sleeps.
  uint64_t old = counters_.fetch_sub(SleepCounters::kOneInactive, std::memory_order_seq_cst);
  uint32_t sleeping = SleepCounters::sleeping(old);
  if (sleeping > 0) wake_any_threads(std::min(sleeping, 2u));
}

void Sleep::no_work_found(IdleState& idle, CoreLatch& latch, const GlobalQueue& injected) {
  if (idle.passes < kRoundsUntilSleepy) {
    platform::yield_now();
    ++idle.passes;
  } else if (idle.passes == kRoundsUntilSleepy) {
    get_sleepy(idle);
    platform::yield_now();
  } else {
    fall_asleep(idle, latch, injected);
  }
}

void Sleep::get_sleepy(IdleState& idle) {
  // Seq_cst load and compare-and-swap (see start_looking).
  uint64_t word = counters_.load(std::memory_order_seq_cst);
  for (;;) {
    uint32_t jec = SleepCounters::jec(word);
    if (SleepCounters::is_sleepy(jec)) {
      idle.jec_snapshot = jec;
      break;
    }
    if (counters_.compare_exchange_weak(word, word + SleepCounters::kOneJec,
                                        std::memory_order_seq_cst)) {
      idle.jec_snapshot = jec + 1;
      break;
    }
  }
  idle.passes = kRoundsUntilAsleep;
}

void Sleep::fall_asleep(IdleState& idle, CoreLatch& latch, const GlobalQueue& injected) {
  if (!latch.get_sleepy()) return;  // the latch is set: back to the loop, which will see it

  SleepSlot& slot = slots_[idle.worker_index];
  std::unique_lock lock(slot.mutex);

  if (!latch.fall_asleep()) {
    // Set since the previous step.
    idle.restart();
    return;
  }

  // Seq_cst load and compare-and-swap (see start_looking). The compare-and-swap fails if any part
  // of the word changed, in particular the JEC.
  uint64_t word = counters_.load(std::memory_order_seq_cst);
  for (;;) {
    if (SleepCounters::jec(word) != idle.jec_snapshot) {
      // Work was posted since this worker got sleepy: search again, and get sleepy again at once
      // if that finds nothing.
      idle.passes = kRoundsUntilSleepy;
      idle.jec_snapshot = kNoSnapshot;
      latch.wake_up();
      return;
    }
    if (counters_.compare_exchange_weak(word, word + SleepCounters::kOneSleeping,
                                        std::memory_order_seq_cst)) {
      break;
    }
  }

  // Pairs with the fence an injector issues between its push and the new-work rule: either
  // GlobalQueue shows the job here, or the injector sees this worker in the sleeping count.
  full_fence();
  if (!injected.is_empty()) {
    // Wake ourselves: nobody else will take us off the count. Seq_cst (see start_looking).
    counters_.fetch_sub(SleepCounters::kOneSleeping, std::memory_order_seq_cst);
  } else {
    slot.is_blocked = true;
    slot.condvar.wait(lock, [&slot] { return !slot.is_blocked; });
  }

  idle.restart();
  latch.wake_up();
}

void Sleep::new_jobs(bool queue_was_empty) {
  // Seq_cst load and compare-and-swap (see start_looking).
  uint64_t word = counters_.load(std::memory_order_seq_cst);
  while (SleepCounters::is_sleepy(SleepCounters::jec(word))) {
    // On success `word` keeps the value we replaced, whose counts are the current ones; on failure
    // it receives the new value and we look again.
    if (counters_.compare_exchange_weak(word, word + SleepCounters::kOneJec,
                                        std::memory_order_seq_cst)) {
      break;
    }
  }
  uint32_t sleeping = SleepCounters::sleeping(word);
  if (sleeping == 0) return;
  uint32_t inactive = SleepCounters::inactive(word);
  // With an empty queue, an idle worker that is still awake will find the job itself.
  if (!queue_was_empty || inactive == sleeping) wake_any_threads(1);
}

bool Sleep::all_inactive() const {
  // Seq_cst, read at each search: a worker that found work and pushed a job made its work-found
  // change before the push, so a search that reads the counters after the new-work rule of that
  // push (the cases of the argument above) sees that worker active and looks at the deques.
  return SleepCounters::inactive(counters()) == slots_.size();
}

bool Sleep::wake_specific_thread(std::size_t index) {
  SleepSlot& slot = slots_[index];
  std::lock_guard lock(slot.mutex);
  if (!slot.is_blocked) return false;
  slot.is_blocked = false;
  slot.condvar.notify_one();
  // The waker, not the woken, takes it off the count, so a second waker does not count it twice.
  // Seq_cst (see start_looking).
  counters_.fetch_sub(SleepCounters::kOneSleeping, std::memory_order_seq_cst);
  return true;
}

void Sleep::wake_any_threads(uint32_t count) {
  for (std::size_t index = 0; count > 0 && index < slots_.size(); ++index) {
    if (wake_specific_thread(index)) --count;
  }
}

uint64_t Sleep::counters() const {
  // Seq_cst (see start_looking).
  return counters_.load(std::memory_order_seq_cst);
}

}  // namespace dorvane
