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
// `ring_size` slots, slot = position % ring_size; the windows in flight never span more than the
// ring, and a window is submitted only into slots whose previous window has ended and been
// consumed.
//
// A helping caller (Caller::kHelps) does not sit idle while the position it needs is not ready:
// it claims a position of the windows in flight that no worker has started yet, and computes it
// itself (workers skip a position the caller claimed). Whether to help, and whether a worker
// makes room for the caller meanwhile, is the caller's choice (see WorkerPool::park_worker).
//
// Failures: a position whose computation panics is published with that panic, which the caller
// takes at its turn (take_failure) and deals with as it sees fit; the other positions go on.
// Stopping (the caller's poll giving up, stop_and_wait, or the destructor) lets computations that
// check their stop function give up, and waits until no job of the stream is left in the pool.
//
// When the pool's workers are gone (in a child forked during the stream, see
// WorkerPool::workers_here), the caller computes every position not yet published itself and
// waits for nothing; what a vanished worker was writing (its scratch, the slot of the position it
// had claimed) is never read or freed, only replaced.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <optional>

#include "platform/countdown.h"
#include "platform/function_ref.h"
#include "platform/memory.h"
#include "pool/stack_job.h"

namespace dorvane {

class WorkerPool;

// The order, windows, help and stopping of a stream, whatever its results are. A position's
// computation writes into storage chosen by its slot and its thread (OrderedStream owns both).
class StreamSchedule {
 public:
  enum class Caller { kWaits, kHelps };

  // One position to compute, into slot `slot`, on thread slot `thread` (workers 0 .. n-1, the
  // calling thread last).
  struct Work {
    std::size_t position;
    std::size_t slot;
    std::size_t thread;
    // The slot's content may have been left half-written by a thread that no longer exists: it
    // must be neither read nor freed, only replaced.
    bool slot_abandoned;
    // Whether the result is no longer wanted: to be asked now and then, giving up when true.
    FunctionRef<bool()> stop;
  };
  // Computes `work`; returns false when it gave up because `work.stop()` became true.
  using Produce = FunctionRef<bool(const Work& work)>;

  // Computes `produce` for every position; `poll` and `produce` must outlive the schedule. With no
  // pool (or fewer than two positions) the caller computes each position itself when it asks for
  // it. While the caller waits or computes, it calls `poll` at most every kPollInterval; once poll
  // returns true the stream gives up for good.
  StreamSchedule(WorkerPool* pool, std::size_t count, std::size_t ring_size, Caller caller,
                 FunctionRef<bool()> poll, Produce produce);
  // Stops and waits, as stop_and_wait.
  ~StreamSchedule();
  StreamSchedule(const StreamSchedule&) = delete;
  StreamSchedule& operator=(const StreamSchedule&) = delete;

  // Thread slots: one per worker of the pool, and the calling thread's last.
  std::size_t threads() const { return threads_; }
  std::size_t ring_size() const { return ring_size_; }

  // The slot of the next position once it is computed, or nothing when the poll gave up.
  std::optional<std::size_t> next();
  // The slot of the position after the one next() returned, when it is already published: a
  // look ahead, which claims nothing.
  std::optional<std::size_t> published_after() const;
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

  // Whether threads that wrote into the stream's storage vanished (see the top of the file).
  bool workers_gone() const { return workers_gone_; }

  // How long the caller goes without calling its poll at most.
  static constexpr Countdown::Clock::duration kPollInterval = std::chrono::milliseconds(20);

 private:
  // Windows running at once: the one being consumed and those computed ahead of it.
  static constexpr std::size_t kMostWindowsInFlight = 4;

  // One slot's claim and publication: position + 1 of the slot's latest claimed and latest
  // published position (0: none yet), and the panic of the published one, if it failed.
  struct alignas(64) SlotState {
    std::atomic<uint64_t> claimed{0};
    std::atomic<uint64_t> done{0};
    std::exception_ptr failure;
    bool abandoned = false;  // caller-only: see Work::slot_abandoned
  };

  // Set by the worker that ends a window's job; the caller watches it (probe) or waits for it
  // under the stream's mutex.
  class WindowLatch {
   public:
    explicit WindowLatch(StreamSchedule& stream) : stream_(&stream) {}
    bool probe() const { return set_.load(std::memory_order_acquire); }
    void set();

   private:
    StreamSchedule* stream_;
    std::atomic<bool> set_{false};
  };

  // A window's job: the collection of positions [first, end) on the pool.
  struct WindowRun {
    StreamSchedule* stream;
    std::size_t first;
    std::size_t end;
    void operator()(bool injected) const;
  };
  struct Window {
    std::size_t first = 0;
    std::size_t end = 0;
    std::optional<StackJob<WindowLatch, WindowRun>> job;  // from submission to retirement
  };

  // Calls the caller's poll once an interval has passed since the last call; sticky once it gave
  // up.
  bool poll_due();
  // Whether the stream must do without the pool: it has none, or its workers are gone (latched
  // once seen, when the slots that vanished workers were filling are marked abandoned).
  bool alone();
  // Ends the windows that have been consumed and whose jobs have ended, and submits new ones
  // while there is room. On the caller.
  void retire_and_submit();
  // The panic of the window holding `position` if its job ended (failed) without publishing it.
  void check_window_of(std::size_t position);
  // The caller computes the first unclaimed position from `position` on within the windows in
  // flight; false when there is none.
  bool help(std::size_t position);
  // Blocks until `position` is published, a window ends (windows_ended_ moves on from `ended`),
  // or the poll is due.
  void block(std::size_t position, uint64_t ended);
  // Computes `position` unless the caller claimed it (a worker's part of a window).
  void compute_unclaimed(std::size_t position);
  // Computes `position` on thread slot `thread` and publishes it, unless it gave up.
  void compute(std::size_t position, std::size_t thread, FunctionRef<bool()> stop);
  // Whether `position` is published; acquire (at least) pairs with compute's store, so that its
  // slot's result is visible once this sees it done.
  bool is_done(std::size_t position, std::memory_order order = std::memory_order_acquire) const;

  WorkerPool* const pool_;
  const std::size_t count_;
  const std::size_t ring_size_;
  const std::size_t threads_;
  const Caller caller_;
  const FunctionRef<bool()> poll_;
  const Produce produce_;
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
  bool workers_gone_ = false;
  bool stopped_ = false;
  bool gave_up_ = false;
  Countdown poll_countdown_{1, kPollInterval};
  Window windows_[kMostWindowsInFlight];

  std::mutex mutex_;
  std::condition_variable changed_;

  static constexpr std::size_t kNobody = ~std::size_t{0};
};

// A stream whose positions each produce a `Result`, computed with per-thread `Scratch` memory:
// produce(position, result, scratch, stop) writes position's result into `result` (a slot's, reused
// from an earlier position of the slot) and returns false when it gave up because stop() became
// true. `produce` and `poll` must outlive the stream.
template <class Result, class Scratch>
class OrderedStream {
 public:
  using Caller = StreamSchedule::Caller;
  using Produce = FunctionRef<bool(std::size_t position, Result& result, Scratch& scratch,
                                   FunctionRef<bool()> stop)>;

  OrderedStream(WorkerPool* pool, std::size_t count, std::size_t ring_size, Caller caller,
                FunctionRef<bool()> poll, Produce produce)
      : produce_(produce),
        schedule_(pool, count, ring_size, caller, poll, producer_),
        results_(schedule_.ring_size()),
        scratch_(schedule_.threads()) {}

  // Stops, waits for the workers to let go, and frees the storage unless vanished threads may
  // have left it half-written.
  ~OrderedStream() {
    schedule_.stop_and_wait();
    if (!schedule_.workers_gone()) {
      results_.destroy();
      scratch_.destroy();
    }
  }
  OrderedStream(const OrderedStream&) = delete;
  OrderedStream& operator=(const OrderedStream&) = delete;

  // The next position's result once it is computed (the caller's until release()), or null when
  // the poll gave up.
  Result* next() {
    const std::optional<std::size_t> slot = schedule_.next();
    if (!slot) return nullptr;
    slot_ = *slot;
    return &results_.get()[*slot].value;
  }
  // The result of the position after next()'s when it is already computed, else null: for
  // fetching it into the cache while next()'s is used.
  const Result* published_after() const {
    const std::optional<std::size_t> slot = schedule_.published_after();
    return slot ? &results_.get()[*slot].value : nullptr;
  }
  // The panic of the position next() returned, if its computation panicked, else null.
  std::exception_ptr take_failure() { return schedule_.take_failure(slot_); }
  void release() { schedule_.release(); }
  void set_window(std::size_t ahead) { schedule_.set_window(ahead); }
  void stop_and_wait() { schedule_.stop_and_wait(); }
  // Whether threads that computed positions vanished (see the top of the file): what they were
  // writing outside the stream's own storage may be half-written.
  bool workers_gone() const { return schedule_.workers_gone(); }

 private:
  // Storage built at construction and destroyed only on request.
  template <class T>
  class Held {
   public:
    explicit Held(std::size_t count) { ::new (&value_) Vec<T>(count); }
    ~Held() {}
    Vec<T>& get() { return value_; }
    const Vec<T>& get() const { return value_; }
    void destroy() { value_.~Vec<T>(); }

   private:
    union {
      Vec<T> value_;
    };
  };

  struct Producer {
    OrderedStream* stream;
    bool operator()(const StreamSchedule::Work& work) const {
      Result& result = stream->results_.get()[work.slot].value;
      if (work.slot_abandoned) ::new (&result) Result();
      return stream->produce_(work.position, result, stream->scratch_.get()[work.thread],
                              work.stop);
    }
  };

  Produce produce_;
  Producer producer_{this};
  // Before the storage, so that ring_size() and threads() are known when it is made; its jobs,
  // which write the storage, have all ended before the destructor's body is over.
  StreamSchedule schedule_;
  // One cache line or more per slot: a worker filling a slot would otherwise keep taking the
  // line away from the caller, which reads its neighbour.
  struct alignas(64) Padded {
    Result value;
  };
  Held<Padded> results_;
  Held<Scratch> scratch_;
  std::size_t slot_ = 0;
};

}  // namespace dorvane
