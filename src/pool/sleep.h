// How idle workers go to sleep and how threads that post work wake them, without burning the
// processors and without losing a wake-up.
//
// One 64-bit word of counters is the meeting point: posting work moves its jobs event counter
// (JEC), and a worker that announced itself sleepy sleeps only if the JEC has not moved since.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/memory.h"
#include "pool/global_queue.h"

namespace dorvane {

// Layout of the counters word, from the least significant bit: 16 bits of sleeping workers, 16
// bits of inactive workers (a sleeping worker counts in both), 32 bits of JEC. The JEC is even
// when the last thread to move it was getting sleepy, odd when it was posting work.
struct SleepCounters {
  static constexpr uint64_t kOneSleeping = 1;
  static constexpr uint64_t kOneInactive = uint64_t{1} << 16;
  static constexpr uint64_t kOneJec = uint64_t{1} << 32;
  static constexpr std::size_t kMaxWorkers = 0xFFFF;

  static uint32_t sleeping(uint64_t word) { return static_cast<uint32_t>(word & 0xFFFF); }
  static uint32_t inactive(uint64_t word) { return static_cast<uint32_t>((word >> 16) & 0xFFFF); }
  static uint32_t jec(uint64_t word) { return static_cast<uint32_t>(word >> 32); }
  static bool is_sleepy(uint32_t jec) { return jec % 2 == 0; }
};

// A latch owned by one worker, which waits on it. Only the owner moves it between kUnset, kSleepy
// and kSleeping; anyone may set it, and kSet is final.
class CoreLatch {
 public:
  static constexpr uint32_t kUnset = 0;
  static constexpr uint32_t kSleepy = 1;
  static constexpr uint32_t kSleeping = 2;
  static constexpr uint32_t kSet = 3;

  // Whether the latch is set; what the setter wrote before setting it is then visible.
  bool probe() const;
  // Which of the four states the latch is in.
  uint32_t state() const;
  // Sets the latch; true when the owner was asleep and must be woken (wake_specific_thread).
  bool set();

  // Owner-only transitions of the idle policy; each fails (returns false) when the latch is set.
  bool get_sleepy();   // kUnset -> kSleepy
  bool fall_asleep();  // kSleepy -> kSleeping
  void wake_up();      // kSleeping -> kUnset, unless set meanwhile

 private:
  std::atomic<uint32_t> state_{kUnset};
};

inline constexpr uint32_t kNoSnapshot = 0xFFFFFFFF;

// One wait loop's progress towards sleep.
struct IdleState {
  std::size_t worker_index;
  uint32_t passes = 0;                  // fruitless searches so far
  uint32_t jec_snapshot = kNoSnapshot;  // the JEC when this worker got sleepy

  // Back to the start after the worker slept or its latch was set: yield before getting sleepy.
  void restart() {
    passes = 0;
    jec_snapshot = kNoSnapshot;
  }
};

// The counters and the per-worker sleep slots of one pool.
class Sleep {
 public:
  // Fruitless searches that only yield, before a worker announces itself sleepy.
  static constexpr uint32_t kRoundsUntilSleepy = 32;
  static constexpr uint32_t kRoundsUntilAsleep = kRoundsUntilSleepy + 1;

  // Every worker counts as inactive until it first finds work: one that has not started yet holds
  // no job either, and will look for work before it sleeps.
  explicit Sleep(std::size_t worker_count);  // 1 to SleepCounters::kMaxWorkers
  Sleep(const Sleep&) = delete;
  Sleep& operator=(const Sleep&) = delete;

  // A worker starts searching for work (its own deque is empty): one more inactive worker.
  void start_looking();
  // The work-found rule: one inactive worker fewer; wakes up to two sleepers to help.
  void work_found();
  // Whether every worker is inactive, so that no deque holds a job: an inactive worker emptied
  // its deque before it became inactive, and pushes only once it has found work again.
  bool all_inactive() const;
  // The idle policy, once per fruitless search: yield, get sleepy, or sleep until woken. `latch`
  // is the one the worker waits for; `injected` is checked once more just before blocking.
  void no_work_found(IdleState& idle, CoreLatch& latch, const GlobalQueue& injected);
  // The new-work rule, after pushing one job; `queue_was_empty` tells whether the receiving queue
  // was empty before the push. The caller issues full_fence() between the push and this.
  void new_jobs(bool queue_was_empty);
  // Wakes worker `index` if it is blocked; true when it was.
  bool wake_specific_thread(std::size_t index);

  // The counters word, as one seq_cst load.
  uint64_t counters() const;

 private:
  // A worker's place to block, alone on its line.
  struct alignas(128) SleepSlot {
    std::mutex mutex;
    bool is_blocked = false;  // guarded by mutex
    std::condition_variable condvar;
  };

  void get_sleepy(IdleState& idle);
  void fall_asleep(IdleState& idle, CoreLatch& latch, const GlobalQueue& injected);
  void wake_any_threads(uint32_t count);

  alignas(128) std::atomic<uint64_t> counters_{0};
  Vec<SleepSlot> slots_;
};

}  // namespace dorvane
