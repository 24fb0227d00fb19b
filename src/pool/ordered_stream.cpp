#include "pool/ordered_stream.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/panic.h"
#include "pool/collect.h"
#include "pool/worker_pool.h"
#include "pool/worker_thread.h"

namespace dorvane {

namespace {

// How often the caller looks at its position before it helps or blocks.
constexpr int kSpinChecks = 64;

// How far past the position it needs the caller looks for one to compute itself: far enough to
// pass the positions that workers are on, near enough that what it computes is soon consumed.
constexpr std::size_t kHelpReach = 64;

}  // namespace

StreamSchedule::StreamSchedule(WorkerPool* pool, std::size_t count, std::size_t ring_size,
                               Caller caller, FunctionRef<bool()> poll, Produce produce)
    : pool_(count < 2 ? nullptr : pool),
      count_(count),
      ring_size_(std::max<std::size_t>(ring_size, 1)),
      threads_(pool_ != nullptr ? pool_->thread_count() + 1 : 1),
      caller_(pool_ != nullptr ? caller : Caller::kWaits),
      poll_(poll),
      produce_(produce),
      windows_in_flight_(std::min(kMostWindowsInFlight, ring_size_)),
      slots_(ring_size_),
      waiting_for_(kNobody) {}

StreamSchedule::~StreamSchedule() {
  stop_and_wait();
  // A failure that a vanished worker was storing may be half-written: leave the slots unfreed.
  if (workers_gone_) ::new (&slots_) Vec<SlotState>();
}

void StreamSchedule::set_window(std::size_t ahead) {
  // The windows in flight together stay within the ring.
  window_size_ = std::clamp<std::size_t>((ahead + windows_in_flight_ - 1) / windows_in_flight_, 1,
                                         ring_size_ / windows_in_flight_);
}

bool StreamSchedule::poll_due() {
  if (gave_up_) return true;
  if (!poll_countdown_.tick()) return false;
  gave_up_ = poll_();
  return gave_up_;
}

bool StreamSchedule::alone() {
  if (orphaned_) return true;
  if (pool_ == nullptr) return orphaned_ = true;
  if (pool_->workers_here()) return false;
  // The positions that workers had claimed and not published were being written by threads that
  // do not exist here. (The caller's own computations are all finished: the workers vanished
  // while the caller ran something else, such as its poll, which then returned here.)
  for (std::size_t position = consumed_; position < submitted_end_; ++position) {
    SlotState& state = slots_[position % ring_size_];
    // Relaxed: no other thread is left in this process.
    if (state.claimed.load(std::memory_order_relaxed) == position + 1 && !is_done(position)) {
      state.abandoned = true;
    }
  }
  workers_gone_ = true;
  return orphaned_ = true;
}

void StreamSchedule::WindowLatch::set() {
  // Under the mutex, so that a caller that checked the latch and is about to block cannot miss
  // it; nothing of the stream is touched after the unlock, when the caller may free it.
  StreamSchedule& stream = *stream_;
  std::lock_guard<std::mutex> lock(stream.mutex_);
  // Release: pairs with probe()'s acquire, making the job's stored result visible.
  set_.store(true, std::memory_order_release);
  // Release: pairs with next()'s acquire load; the caller reads the latches after it.
  stream.windows_ended_.fetch_add(1, std::memory_order_release);
  stream.changed_.notify_all();
}

void StreamSchedule::WindowRun::operator()(bool injected) const {
  struct Positions {
    StreamSchedule* stream;
    void operator()(std::size_t position) const { stream->compute_unclaimed(position); }
  } positions{stream};
  collect_in_order(injected, first, end - first, positions);
}

void StreamSchedule::retire_and_submit() {
  while (windows_retired_ < windows_submitted_) {
    Window& window = windows_[windows_retired_ % windows_in_flight_];
    if (consumed_ < window.end || !window.job->latch().probe()) break;
    window.job->into_value();  // resumes a panic of the collection itself
    window.job.reset();
    ++windows_retired_;
  }
  while (windows_submitted_ - windows_retired_ < windows_in_flight_ && submitted_end_ < count_ &&
         !stopped_) {
    Window& window = windows_[windows_submitted_ % windows_in_flight_];
    window.first = submitted_end_;
    // A window never wraps around the end of the ring, so its slots are one contiguous run.
    window.end = window.first + std::min({window_size_, count_ - window.first,
                                          ring_size_ - window.first % ring_size_});
    window.job.emplace(WindowRun{this, window.first, window.end}, *this);
    submitted_end_ = window.end;
    ++windows_submitted_;
    pool_->inject(window.job->as_job_ref());
  }
  // The next time to come back here: when the oldest window in flight has been consumed.
  retire_at_ = windows_retired_ < windows_submitted_
                   ? windows_[windows_retired_ % windows_in_flight_].end
                   : 0;
}

void StreamSchedule::check_window_of(std::size_t position) {
  for (std::size_t i = windows_retired_; i < windows_submitted_; ++i) {
    Window& window = windows_[i % windows_in_flight_];
    if (position < window.first || position >= window.end) continue;
    if (window.job->latch().probe() && !is_done(position)) {
      window.job->into_value();
      panic(kUnreachableMessage);  // every position of a window that ended is published
    }
  }
}

void StreamSchedule::compute_unclaimed(std::size_t position) {
  // Relaxed: the exchange only decides who computes the position; the claimant's results reach
  // the caller through `done` (compute), and the slot was handed to this window through the
  // injection of its job after the caller had let go of the slot's previous position.
  if (slots_[position % ring_size_].claimed.exchange(position + 1, std::memory_order_relaxed) ==
      position + 1) {
    return;  // the caller has it
  }
  compute(position, WorkerThread::current()->index(),
          [this] { return stopping_.load(std::memory_order_relaxed); });
}

void StreamSchedule::compute(std::size_t position, std::size_t thread, FunctionRef<bool()> stop) {
  const std::size_t slot = position % ring_size_;
  SlotState& state = slots_[slot];
  const bool abandoned = state.abandoned;
  if (abandoned) {
    state.abandoned = false;
    ::new (&state.failure) std::exception_ptr();  // the abandoned one is left as it is
  }
  std::exception_ptr failure;
  try {
    if (!produce_(Work{position, slot, thread, abandoned, stop})) return;  // gave up
  } catch (...) {
    failure = std::current_exception();
  }
  // Assigned every time, so that a failure nobody took cannot pass for a later position's.
  state.failure = std::move(failure);
  // Seq_cst, with the load below and the caller's store of waiting_for_ and load of done: either
  // the caller sees this position done, or this thread sees the caller waiting for it and wakes it.
  state.done.store(position + 1, std::memory_order_seq_cst);
  if (waiting_for_.load(std::memory_order_seq_cst) == position) {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
  }
}

bool StreamSchedule::is_done(std::size_t position, std::memory_order order) const {
  return slots_[position % ring_size_].done.load(order) == position + 1;
}

std::optional<std::size_t> StreamSchedule::next() {
  const std::size_t position = consumed_;
  if (position >= count_ || stopped_) panic("assertion failed: position < count");
  const std::size_t slot = position % ring_size_;
  // The usual case, which must cost next to nothing: ready, and no window to retire yet.
  if (position < retire_at_ && is_done(position)) return slot;
  if (gave_up_) return std::nullopt;

  if (!alone()) {
    retire_and_submit();
    bool ready = false;
    for (int i = 0; i < kSpinChecks && !ready; ++i) {
      ready = is_done(position);
    }
    while (!ready) {
      // Read before looking at the windows, so that one ending after the look wakes block().
      const uint64_t ended = windows_ended_.load(std::memory_order_acquire);
      retire_and_submit();
      if (is_done(position)) break;
      check_window_of(position);
      if (!(caller_ == Caller::kHelps && help(position))) block(position, ended);
      if (gave_up_) return std::nullopt;
      if (alone()) break;
      ready = is_done(position);
    }
  }
  if (alone() && !is_done(position)) {
    // Whatever claimed the position is gone, if anything did: compute it here.
    if (poll_due()) return std::nullopt;
    compute(position, threads_ - 1, [this] { return poll_due(); });
    if (!is_done(position)) return std::nullopt;  // the poll gave up
  }
  return slot;
}

bool StreamSchedule::help(std::size_t position) {
  const std::size_t reach = std::min(submitted_end_, position + kHelpReach);
  for (std::size_t at = position; at < reach; ++at) {
    std::atomic<uint64_t>& claimed = slots_[at % ring_size_].claimed;
    // Relaxed, as in compute_unclaimed; the load spares the exchange where a worker has it.
    if (claimed.load(std::memory_order_relaxed) == at + 1 ||
        claimed.exchange(at + 1, std::memory_order_relaxed) == at + 1) {
      continue;
    }
    compute(at, threads_ - 1,
            [this] { return stopping_.load(std::memory_order_relaxed) || poll_due(); });
    return true;
  }
  return false;
}

void StreamSchedule::block(std::size_t position, uint64_t ended) {
  using Clock = Countdown::Clock;
  // Seq_cst, with compute's store of done and load of waiting_for_: see there.
  waiting_for_.store(position, std::memory_order_seq_cst);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    const Clock::time_point until = poll_countdown_.last() + kPollInterval;
    while (!is_done(position, std::memory_order_seq_cst) &&
           windows_ended_.load(std::memory_order_relaxed) == ended && Clock::now() < until) {
      changed_.wait_until(lock, until);
    }
  }
  waiting_for_.store(kNobody, std::memory_order_relaxed);
  // Unlocked: the poll may run a signal handler that calls in again, or forks.
  poll_due();
}

std::optional<std::size_t> StreamSchedule::published_after() const {
  const std::size_t position = consumed_ + 1;
  if (position >= count_ || !is_done(position)) return std::nullopt;
  return position % ring_size_;
}

std::exception_ptr StreamSchedule::take_failure(std::size_t slot) {
  // Read before written: the slot's line then stays shared, and the worker that fills the slot
  // next takes it back without waiting for the caller's copy.
  if (!slots_[slot].failure) return nullptr;
  return std::exchange(slots_[slot].failure, nullptr);
}

void StreamSchedule::release() {
  ++consumed_;
}

void StreamSchedule::stop_and_wait() {
  if (stopped_) return;
  stopped_ = true;
  // Relaxed: only a hint to give up early; what is published is decided elsewhere.
  stopping_.store(true, std::memory_order_relaxed);
  // Without workers no job of the stream will end; nobody else touches the windows then.
  if (alone()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  for (std::size_t i = windows_retired_; i < windows_submitted_; ++i) {
    Window& window = windows_[i % windows_in_flight_];
    while (!window.job->latch().probe())
      changed_.wait(lock);
  }
}

}  // namespace dorvane
