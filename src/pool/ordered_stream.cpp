#include "pool/ordered_stream.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>

#include "platform/panic.h"
#include "platform/platform.h"
#include "pool/collect.h"
#include "pool/worker_pool.h"

namespace dorvane {

namespace {

// How often the caller looks at its position before it helps or blocks.
constexpr int kSpinChecks = 64;

// How far past the position it needs the caller looks for one to compute itself: far enough to
// pass the positions that workers are on, near enough that what it computes is soon consumed.
constexpr std::size_t kHelpReach = 64;

// Streams shorter than this park no worker: parking one and letting it go again cost a few
// wake-ups, hundreds of microseconds, more than parking saves on a call of a few milliseconds.
constexpr std::size_t kLeastCountToPark = 1024;

// Whether a stream of this thread has a worker parked. A stream that begins meanwhile (in a signal
// handler that the caller's poll ran) parks none: the worker it parked might be the one that the
// outer stream's windows wait for.
thread_local bool t_worker_parked = false;

}  // namespace

OrderedStream::Caller OrderedStream::caller_role_for(const WorkerPool* pool) {
  return pool != nullptr && platform::processor_count() <= pool->thread_count() ? Caller::kHelps
                                                                                : Caller::kWaits;
}

OrderedStream::OrderedStream(WorkerPool* pool, std::size_t count, std::size_t ring_size,
                             Produce produce, Caller caller)
    : pool_(count < 2 ? nullptr : pool),
      count_(count),
      ring_size_(std::max<std::size_t>(ring_size, 1)),
      produce_(produce),
      caller_(pool_ != nullptr && pool_->thread_count() > 1 ? caller : Caller::kWaits),
      windows_in_flight_(std::min(kMostWindowsInFlight, ring_size_)),
      slots_(ring_size_),
      waiting_for_(kNobody) {}

OrderedStream::~OrderedStream() {
  stop_and_wait();
  if (forked_) {
    // A failure that a vanished worker was storing may be half-written: leave the slots unfreed.
    new (&slots_) Vec<SlotState>();
    // Destroying a condition variable waits for its waiters, and the parked worker that waits on
    // this one does not exist here: leave it as it is.
    new (&unpark_) std::condition_variable();
  }
}

void OrderedStream::set_window(std::size_t ahead) {
  // The windows in flight together stay within the ring.
  window_size_ = std::clamp<std::size_t>((ahead + windows_in_flight_ - 1) / windows_in_flight_, 1,
                                         ring_size_ / windows_in_flight_);
}

bool OrderedStream::alone() {
  if (orphaned_) return true;
  if (pool_ == nullptr) return orphaned_ = true;
  if (pool_->workers_here()) return false;
  // A forked child: the positions that workers had claimed and not published were being written
  // by threads that do not exist here. (The caller's own computations are all finished: the
  // fork happened inside one, which then ran to its end before this is checked.)
  for (std::size_t position = consumed_; position < submitted_end_; ++position) {
    SlotState& state = slots_[position % ring_size_];
    // Relaxed: no other thread is left in this process.
    if (state.claimed.load(std::memory_order_relaxed) == position + 1 && !is_done(position)) {
      state.torn = true;
    }
  }
  forked_ = true;
  return orphaned_ = true;
}

void OrderedStream::WindowLatch::set() {
  // Under the mutex, so that a caller that checked the latch and is about to block cannot miss
  // it; nothing of the stream is touched after the unlock, when the caller may free it.
  OrderedStream& stream = *stream_;
  std::lock_guard<std::mutex> lock(stream.mutex_);
  // Release: pairs with probe()'s acquire, making the job's stored result visible.
  set_.store(true, std::memory_order_release);
  // Release: pairs with next()'s acquire load; the caller reads the latches after it.
  stream.windows_ended_.fetch_add(1, std::memory_order_release);
  stream.changed_.notify_all();
}

void OrderedStream::WindowRun::operator()(bool injected) const {
  struct Positions {
    OrderedStream* stream;
    void operator()(std::size_t position) const { stream->compute_unclaimed(position); }
  } positions{stream};
  collect_in_order(injected, first, end - first, positions);
}

// Its latch, set as it ends, counts as a window's end: at most one needless look for the caller.
void OrderedStream::ParkRun::operator()(bool) const {
  OrderedStream& stream = *this->stream;
  std::unique_lock<std::mutex> lock(stream.mutex_);
  while (!stream.unparked_)
    stream.unpark_.wait(lock);
}

void OrderedStream::park_a_worker() {
  if (caller_ != Caller::kHelps || count_ < kLeastCountToPark || t_worker_parked) return;
  t_worker_parked = true;
  park_.emplace(ParkRun{this}, *this);
  // Injected before any window: the worker that takes it is idle, holding no other job.
  pool_->inject(park_->as_job_ref());
}

void OrderedStream::retire_and_submit() {
  if (windows_submitted_ == 0) park_a_worker();
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

void OrderedStream::check_window_of(std::size_t position) {
  for (std::size_t i = windows_retired_; i < windows_submitted_; ++i) {
    Window& window = windows_[i % windows_in_flight_];
    if (position < window.first || position >= window.end) continue;
    if (window.job->latch().probe() && !is_done(position)) {
      window.job->into_value();
      panic(kUnreachableMessage);  // every position of a window that ended is published
    }
  }
}

void OrderedStream::compute_unclaimed(std::size_t position) {
  // Relaxed: the exchange only decides who computes the position; the claimant's results reach
  // the caller through `done` (compute), and the slot was handed to this window through the
  // injection of its job after the caller had let go of the slot's previous position.
  if (slots_[position % ring_size_].claimed.exchange(position + 1, std::memory_order_relaxed) ==
      position + 1) {
    return;  // the caller has it
  }
  compute(position, [this] { return stopping_.load(std::memory_order_relaxed); });
}

void OrderedStream::compute(std::size_t position, FunctionRef<bool()> stop) {
  const std::size_t slot = position % ring_size_;
  SlotState& state = slots_[slot];
  const bool torn = state.torn;
  if (torn) {
    state.torn = false;
    new (&state.failure) std::exception_ptr();  // the torn one is left as it is
  }
  std::exception_ptr failure;
  try {
    if (!produce_(Work{position, slot, stop, torn})) return;  // gave up: nobody will ask for it
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

bool OrderedStream::is_done(std::size_t position, std::memory_order order) const {
  return slots_[position % ring_size_].done.load(order) == position + 1;
}

bool OrderedStream::CallerPoll::due() {
  if (gave_up) return true;
  if (std::chrono::steady_clock::now() - last <
      std::chrono::milliseconds(kPollIntervalMilliseconds)) {
    return false;
  }
  gave_up = poll();
  last = std::chrono::steady_clock::now();
  return gave_up;
}

std::optional<std::size_t> OrderedStream::next(FunctionRef<bool()> poll) {
  const std::size_t position = consumed_;
  if (position >= count_ || stopped_) panic("assertion failed: position < count");
  const std::size_t slot = position % ring_size_;
  // The usual case, which must cost next to nothing: ready, and no window to retire yet.
  if (position < retire_at_ && is_done(position)) return slot;

  CallerPoll caller_poll{poll, std::chrono::steady_clock::now()};
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
      if (!(caller_ == Caller::kHelps && help(position, caller_poll))) {
        block(position, ended, caller_poll);
      }
      if (caller_poll.gave_up) return std::nullopt;
      if (alone()) break;
      ready = is_done(position);
    }
  }
  if (alone() && !is_done(position)) {
    // Whatever claimed the position is gone, if anything did: compute it here.
    if (caller_poll.due()) return std::nullopt;
    compute(position, [&caller_poll] { return caller_poll.due(); });
    if (!is_done(position)) return std::nullopt;  // the poll gave up
  }
  return slot;
}

bool OrderedStream::help(std::size_t position, CallerPoll& poll) {
  const std::size_t reach = std::min(submitted_end_, position + kHelpReach);
  for (std::size_t at = position; at < reach; ++at) {
    std::atomic<uint64_t>& claimed = slots_[at % ring_size_].claimed;
    // Relaxed, as in compute_unclaimed; the load spares the exchange where a worker has it.
    if (claimed.load(std::memory_order_relaxed) == at + 1 ||
        claimed.exchange(at + 1, std::memory_order_relaxed) == at + 1) {
      continue;
    }
    compute(at, [this, &poll] { return stopping_.load(std::memory_order_relaxed) || poll.due(); });
    return true;
  }
  return false;
}

void OrderedStream::block(std::size_t position, uint64_t ended, CallerPoll& poll) {
  using Clock = std::chrono::steady_clock;
  // Seq_cst, with compute's store of done and load of waiting_for_: see there.
  waiting_for_.store(position, std::memory_order_seq_cst);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto until = poll.last + std::chrono::milliseconds(kPollIntervalMilliseconds);
    while (!is_done(position, std::memory_order_seq_cst) &&
           windows_ended_.load(std::memory_order_relaxed) == ended && Clock::now() < until) {
      changed_.wait_until(lock, until);
    }
  }
  waiting_for_.store(kNobody, std::memory_order_relaxed);
  // Unlocked: the poll may run a signal handler that calls in again, or forks.
  poll.due();
}

std::exception_ptr OrderedStream::take_failure(std::size_t slot) {
  return std::exchange(slots_[slot].failure, nullptr);
}

void OrderedStream::release() {
  ++consumed_;
}

void OrderedStream::stop_and_wait() {
  if (stopped_) return;
  stopped_ = true;
  // Relaxed: only a hint to give up early; what is published is decided elsewhere.
  stopping_.store(true, std::memory_order_relaxed);
  // No stream of this thread can begin before this returns: it polls no more.
  if (park_) t_worker_parked = false;
  // In a forked child no worker will end the windows; nobody else touches them there.
  if (alone()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  unparked_ = true;
  unpark_.notify_one();
  for (std::size_t i = windows_retired_; i < windows_submitted_; ++i) {
    Window& window = windows_[i % windows_in_flight_];
    while (!window.job->latch().probe())
      changed_.wait(lock);
  }
  if (park_) {
    while (!park_->latch().probe())
      changed_.wait(lock);
  }
}

}  // namespace dorvane
