// Ordered streaming: positions 0 .. count-1 are computed on the worker pool and handed to the
// calling thread in position order while the rest are still being computed, so that the caller
// can turn each result into its final form (and free it) as soon as it is its turn.
//
// The positions are cut into windows of consecutive positions. Each window is one job injected
// into the pool, which spreads it over the workers as an order-preserving collection
// (collect.h: cut in halves through join, with the split budget); each position's result is
// published in its slot as soon as it is written. A few windows run at once, so the next ones are
// being computed while the caller consumes the current one, and never more than a window's worth
// of positions per window in flight is computed ahead of the caller: results wait for the caller
// only that far, and their memory stays small whatever the count. A result lives in one of
// `ring_size` slots, slot = position % ring_size, which the caller owns (the stream only says
// which slot to fill or read); the windows in flight never span more than the ring, and a window
// is submitted only into slots whose previous window has ended and been consumed.
//
// When the machine has no processor to spare for the caller (no more than the pool has workers),
// the caller's progress is what the call waits for, and it would share a processor with a
// worker. So one worker sits the stream out (a job that parks it until the stream stops) and leaves
// its processor to the caller: with the caller and every worker runnable, the scheduler would share
// processors between them, and the caller would lose its processor to searches that are not
// needed yet. The caller does not sit idle while the position it needs is not ready: it claims a
// position of the windows in flight that no worker has started yet, and computes it itself
// (workers skip a position the caller claimed).
//
// Failures: a position whose computation panics is published with that panic, which the caller
// takes at its turn (take_failure) and deals with as it sees fit; the other positions go on.
// Stopping (the caller's choice, or the destructor) lets computations that check their stop
// function give up, and waits until no job of the stream is left in the pool.
//
// In a child process forked during the stream (from a signal handler that the caller's poll ran),
// the pool's workers do not exist: the caller then computes every position not yet published
// itself, and waits for nothing.
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
#include "pool/stack_job.h"

namespace dorvane {

class WorkerPool;

class OrderedStream {
 public:
  // Whether the caller takes a share of the computations (see above).
  enum class Caller { kWaits, kHelps };
  // kHelps when this machine has no processor to spare for the caller of `pool` (if any).
  static Caller caller_role_for(const WorkerPool* pool);

  // One position to compute, into the caller's slot `slot`.
  struct Work {
    std::size_t position;
    std::size_t slot;
    // Whether the result is no longer wanted: to be asked now and then, giving up when true.
    FunctionRef<bool()> stop;
    // The slot's content may have been left half-written by a thread that no longer exists (in a
    // forked child): it must be neither read nor freed, only replaced.
    bool slot_torn;
  };
  // Computes `work`; returns false when it gave up because `work.stop()` became true.
  using Produce = FunctionRef<bool(const Work& work)>;

  // Computes `produce` for every position; `produce` must outlive the stream. With no pool (or
  // fewer than two positions) the caller computes each position itself when it asks for it.
  OrderedStream(WorkerPool* pool, std::size_t count, std::size_t ring_size, Produce produce,
                Caller caller = Caller::kWaits);
  // Stops and waits, as stop_and_wait.
  ~OrderedStream();
  OrderedStream(const OrderedStream&) = delete;
  OrderedStream& operator=(const OrderedStream&) = delete;

  std::size_t count() const { return count_; }

  // The slot of the next position once it is computed. While waiting or computing, calls `poll`
  // at least every kPollInterval; when poll returns true, gives up and returns nothing.
  std::optional<std::size_t> next(FunctionRef<bool()> poll);
  // The panic of the position whose slot next() returned, if its computation panicked (taken
  // over by the caller), else null.
  std::exception_ptr take_failure(std::size_t slot);
  // Done with the position next() returned: its slot may be refilled.
  void release();

  // About how many positions past the one being consumed may be computed ahead (at least one,
  // at most ring_size); takes effect for the windows submitted from now on.
  void set_window(std::size_t ahead);

  // Stops handing out positions and waits until no job of the stream is left in the pool.
  void stop_and_wait();

  // How long the caller goes without calling its poll at most.
  static constexpr int kPollIntervalMilliseconds = 20;

 private:
  // Windows running at once: the one being consumed and those computed ahead of it.
  static constexpr std::size_t kMostWindowsInFlight = 4;

  // One slot's claim and publication: position + 1 of the slot's latest claimed and latest
  // published position (0: none yet), and the panic of the published one, if it failed.
  struct alignas(64) SlotState {
    std::atomic<uint64_t> claimed{0};
    std::atomic<uint64_t> done{0};
    std::exception_ptr failure;
    bool torn = false;  // caller-only: see Work::slot_torn
  };

  // Set by the worker that ends a window's job; the caller watches it (probe) or waits for it
  // under the stream's mutex.
  class WindowLatch {
   public:
    explicit WindowLatch(OrderedStream& stream) : stream_(&stream) {}
    bool probe() const { return set_.load(std::memory_order_acquire); }
    void set();

   private:
    OrderedStream* stream_;
    std::atomic<bool> set_{false};
  };

  // A window's job: the collection of positions [first, end) on the pool.
  struct WindowRun {
    OrderedStream* stream;
    std::size_t first;
    std::size_t end;
    void operator()(bool injected) const;
  };
  // The job that parks a worker until the stream stops (Caller::kHelps only).
  struct ParkRun {
    OrderedStream* stream;
    void operator()(bool injected) const;
  };
  struct Window {
    std::size_t first = 0;
    std::size_t end = 0;
    std::optional<StackJob<WindowLatch, WindowRun>> job;  // from submission to retirement
  };

  // The caller's poll while it waits or computes: called once an interval has passed since the
  // last call, and sticky once it gave up.
  struct CallerPoll {
    FunctionRef<bool()> poll;
    std::chrono::steady_clock::time_point last;
    bool gave_up = false;
    bool due();
  };

  // Whether the stream must do without the pool: it has none, or the process forked since the
  // stream began (latched once seen, when the slots that vanished workers were filling are
  // marked torn).
  bool alone();
  // Injects the job that parks a worker, when the caller takes that worker's processor.
  void park_a_worker();
  // Ends the windows that have been consumed and whose jobs have ended, and submits new ones
  // while there is room. On the caller.
  void retire_and_submit();
  // The panic of the window holding `position` if its job ended (failed) without publishing it.
  void check_window_of(std::size_t position);
  // The caller computes the first unclaimed position from `position` on within the windows in
  // flight; false when there is none.
  bool help(std::size_t position, CallerPoll& poll);
  // Blocks until `position` is published, a window ends (windows_ended_ moves on from `ended`),
  // or the poll is due.
  void block(std::size_t position, uint64_t ended, CallerPoll& poll);
  // Computes `position` unless the caller claimed it (a worker's part of a window).
  void compute_unclaimed(std::size_t position);
  // Computes `position` and publishes it, unless it gave up.
  void compute(std::size_t position, FunctionRef<bool()> stop);
  // Whether `position` is published; acquire (at least) pairs with compute's store, so that its
  // slot's result is visible once this sees it done.
  bool is_done(std::size_t position, std::memory_order order = std::memory_order_acquire) const;

  WorkerPool* const pool_;
  const std::size_t count_;
  const std::size_t ring_size_;
  const Produce produce_;
  const Caller caller_;
  const std::size_t windows_in_flight_;  // at most kMostWindowsInFlight, and no more than slots
  Vec<SlotState> slots_;

  // Set once when the stream stops; computations read it as a hint to give up.
  std::atomic<bool> stopping_{false};
  // The position the caller is blocked on, or kNobody.
  alignas(64) std::atomic<std::size_t> waiting_for_;
  // How many windows have ended; changed under mutex_, so that block() cannot miss a change.
  std::atomic<uint64_t> windows_ended_{0};

  // Caller-only state.
  alignas(64) std::size_t consumed_ = 0;
  std::size_t retire_at_ = 0;  // consumed_ at which to look at the windows again
  std::size_t window_size_ = 1;
  std::size_t submitted_end_ = 0;  // positions below it belong to submitted windows
  std::size_t windows_submitted_ = 0;
  std::size_t windows_retired_ = 0;
  bool orphaned_ = false;
  bool forked_ = false;  // orphaned because the process forked
  bool stopped_ = false;
  Window windows_[kMostWindowsInFlight];
  std::optional<StackJob<WindowLatch, ParkRun>> park_;
  bool unparked_ = false;  // under mutex_: the parked worker may go

  std::mutex mutex_;
  std::condition_variable changed_;
  // Its own, so that the caller's wake-ups do not wake the parked worker too.
  std::condition_variable unpark_;

  static constexpr std::size_t kNobody = ~std::size_t{0};
};

}  // namespace dorvane
