// Ordered streaming: positions 0 .. count-1 are computed on the worker pool and handed to the
// calling thread in position order while the rest are still being computed, so that the caller
// can turn each result into its final form (and free it) as soon as it is its turn.
//
// Workers take positions in increasing order, a few at a time, from one shared counter, and never
// more than a window of positions ahead of the one the caller consumes: results wait for the
// caller only that far, and their memory stays small whatever the count. A result lives in one
// of `ring_size` slots, slot = position % ring_size, which the caller owns (the stream only says
// which slot to fill or read); the window never exceeds the ring, so a slot is refilled only
// after the caller released the position that held it.
//
// The work runs as one lane job per worker, injected into the pool. A lane takes positions until
// there are none within the window, then ends, leaving its worker free for other jobs (a caller
// blocked in a nested call, say); the caller injects lanes again when the window has moved on.
// No worker ever blocks waiting for the caller.
//
// When the machine has no processor to spare for the caller (no more than the pool has workers),
// the caller, busy with the results, would only crowd the lanes: the stream then runs one lane
// fewer, and the caller computes positions itself whenever the one it needs is not ready yet.
// While it does, the computation's stop checks (`stopping`) also look at the caller's poll.
//
// Failures: a position whose computation panics is published with that panic, which the caller
// takes at its turn (take_failure) and deals with as it sees fit; the other positions go on.
// Stopping (the caller's choice, or the destructor) stops handing out positions, lets
// computations that check `stopping` give up, and waits until no lane touches the stream.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>

#include "platform/function_ref.h"
#include "platform/memory.h"
#include "pool/job_ref.h"

namespace dorvane {

class WorkerPool;

class OrderedStream {
 public:
  // Whether the caller takes a share of the computations (see above).
  enum class Caller { kWaits, kHelps };
  // kHelps when this machine has no processor to spare for the caller of `pool` (if any).
  static Caller caller_role_for(const WorkerPool* pool);

  // Computes `produce(position, slot)` for every position; produce returns false when it gave up
  // because `stopping(position)` became true. `produce` must outlive the stream. With no pool
  // (fewer than two positions, or a caller that is itself a worker) the caller computes each
  // position itself when it asks for it.
  OrderedStream(WorkerPool* pool, std::size_t count, std::size_t ring_size,
                FunctionRef<bool(std::size_t position, std::size_t slot)> produce,
                Caller caller = Caller::kWaits);
  // Stops and waits, as stop_and_wait.
  ~OrderedStream();
  OrderedStream(const OrderedStream&) = delete;
  OrderedStream& operator=(const OrderedStream&) = delete;

  std::size_t count() const { return count_; }

  // The slot of the next position once it is computed. While waiting, calls `poll` at least every
  // kPollInterval; when poll returns true, gives up and returns nothing.
  std::optional<std::size_t> next(FunctionRef<bool()> poll);
  // The panic of the position whose slot next() returned, if its computation panicked (taken
  // over by the caller), else null.
  std::exception_ptr take_failure(std::size_t slot);
  // Done with the position next() returned: its slot may be refilled.
  void release();

  // How many positions past the one being consumed may be computed ahead (1 to ring_size).
  void set_window(std::size_t window);

  // For produce: whether the result of `position` is no longer wanted. On the caller, while it
  // computes a position, also true once its poll gave up.
  bool stopping(std::size_t position) const {
    // Relaxed: only a hint to give up early; what is published is decided elsewhere.
    if (position >= stop_at_.load(std::memory_order_relaxed)) return true;
    return caller_poll_ != nullptr && caller_poll_->stream == this && caller_poll_->due();
  }

  // Stops handing out positions and waits until no lane touches the stream any more.
  void stop_and_wait();

  // How long next() waits between two polls at most.
  static constexpr int kPollIntervalMilliseconds = 20;

 private:
  // One slot's publication: position + 1 once computed (0: never), and its panic if it failed.
  struct alignas(64) SlotState {
    std::atomic<uint64_t> done{0};
    std::exception_ptr failure;
  };

  // A lane: one job that takes positions until the window is exhausted.
  struct Lane {
    OrderedStream* stream;
    bool active = false;  // guarded by mutex_
    JobRef job() { return JobRef{&Lane::execute, this}; }
    static void execute(void* data);
  };

  // The caller's poll while it computes a position: called when an interval has passed since the
  // last call, and sticky once it gave up. Only ever seen by the caller's thread.
  struct CallerPoll {
    const OrderedStream* stream;
    FunctionRef<bool()> poll;
    std::chrono::steady_clock::time_point last;
    bool gave_up = false;
    bool due();
  };
  static thread_local CallerPoll* caller_poll_;

  // Claims the next run of positions (at most `most`); empty when there is none within the
  // window.
  std::pair<std::size_t, std::size_t> claim(std::size_t most);
  // The caller computes positions until `position` is done (true), none is left to claim within
  // the window (false), or its poll gives up (nothing: interrupted).
  std::optional<bool> help_until_done(std::size_t position, FunctionRef<bool()> poll);
  // Whether `position` is published; acquire (at least) pairs with compute's store, so that its
  // slot's result is visible once this sees it done.
  bool is_done(std::size_t position, std::memory_order order = std::memory_order_acquire) const;
  void run_lane();
  void compute(std::size_t position);
  // Injects every inactive lane when at least `wanted` positions wait to be claimed; true when
  // it injected any.
  bool start_lanes(std::size_t wanted);
  std::size_t claimable_limit() const;

  WorkerPool* pool_;
  const std::size_t count_;
  const std::size_t ring_size_;
  FunctionRef<bool(std::size_t, std::size_t)> produce_;
  Vec<SlotState> slots_;
  Vec<Lane> lanes_;

  // Positions below limit_ and below stop_at_ may be claimed; next_ is the next unclaimed one.
  alignas(64) std::atomic<std::size_t> next_{0};
  alignas(64) std::atomic<std::size_t> limit_;
  std::atomic<std::size_t> stop_at_;
  // The position the caller is blocked on, or kNobody.
  std::atomic<std::size_t> waiting_for_;
  std::atomic<std::size_t> active_lanes_{0};  // written under mutex_
  const Caller caller_;

  // Caller-only state.
  alignas(64) std::size_t consumed_ = 0;
  std::size_t window_;
  bool stopped_ = false;

  std::mutex mutex_;
  std::condition_variable changed_;

  static constexpr std::size_t kNobody = ~std::size_t{0};
};

}  // namespace dorvane
