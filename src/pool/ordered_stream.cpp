#include "pool/ordered_stream.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/panic.h"
#include "platform/platform.h"
#include "pool/abort_guard.h"
#include "pool/worker_pool.h"

namespace dorvane {

namespace {

// The longest run of positions one claim takes: long enough that the shared counter is not
// fought over when positions are cheap, short enough that results arrive nearly in order.
constexpr std::size_t kMaxClaim = 32;

// How often the caller looks at its position before it blocks.
constexpr int kSpinChecks = 64;

}  // namespace

thread_local OrderedStream::CallerPoll* OrderedStream::caller_poll_ = nullptr;

OrderedStream::Caller OrderedStream::caller_role_for(const WorkerPool* pool) {
  return pool != nullptr && platform::processor_count() <= pool->thread_count() ? Caller::kHelps
                                                                                : Caller::kWaits;
}

OrderedStream::OrderedStream(WorkerPool* pool, std::size_t count, std::size_t ring_size,
                             FunctionRef<bool(std::size_t, std::size_t)> produce, Caller caller)
    : pool_(count < 2 ? nullptr : pool),
      count_(count),
      ring_size_(std::max<std::size_t>(ring_size, 1)),
      produce_(produce),
      slots_(ring_size_),
      limit_(0),
      stop_at_(count),
      waiting_for_(kNobody),
      caller_(pool_ != nullptr && pool_->thread_count() > 1 ? caller : Caller::kWaits),
      window_(1) {
  if (pool_ != nullptr) {
    const std::size_t lanes = pool_->thread_count() - (caller_ == Caller::kHelps ? 1 : 0);
    lanes_.resize(std::min(lanes, count_), Lane{this});
    set_window(2 * lanes_.size());
  }
}

OrderedStream::~OrderedStream() {
  stop_and_wait();
}

void OrderedStream::set_window(std::size_t window) {
  window_ = std::clamp<std::size_t>(window, 1, ring_size_);
  // Release: a lane that claims a position below the new limit (acquire in claim) sees that the
  // caller is done with the slot's previous position.
  limit_.store(std::min(count_, consumed_ + window_), std::memory_order_release);
}

std::size_t OrderedStream::claimable_limit() const {
  // Acquire pairs with the release stores of set_window/release (the slot is free) and of
  // lower_stop_at (nothing to pair with beyond the value itself).
  return std::min(limit_.load(std::memory_order_acquire), stop_at_.load(std::memory_order_acquire));
}

std::pair<std::size_t, std::size_t> OrderedStream::claim(std::size_t most) {
  std::size_t first = next_.load(std::memory_order_relaxed);
  for (;;) {
    const std::size_t limit = claimable_limit();
    if (first >= limit) return {first, first};
    // Share what is left between the lanes, in short runs.
    const std::size_t take =
        std::clamp<std::size_t>((limit - first) / (2 * lanes_.size()), 1, most);
    // Relaxed: the counter only hands out disjoint runs; the slots are ordered by limit_.
    if (next_.compare_exchange_weak(first, first + take, std::memory_order_relaxed)) {
      return {first, first + take};
    }
  }
}

void OrderedStream::compute(std::size_t position) {
  const std::size_t slot = position % ring_size_;
  SlotState& state = slots_[slot];
  try {
    if (!produce_(position, slot)) return;  // gave up: nobody will ask for it
  } catch (...) {
    state.failure = std::current_exception();
  }
  // Seq_cst, with the load below and the caller's store of waiting_for_ and load of done: either
  // the caller sees this position done, or this thread sees the caller waiting for it and wakes it.
  state.done.store(position + 1, std::memory_order_seq_cst);
  if (waiting_for_.load(std::memory_order_seq_cst) == position) {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
  }
}

void OrderedStream::run_lane() {
  for (;;) {
    auto [first, end] = claim(kMaxClaim);
    if (first == end) return;
    for (std::size_t position = first; position < end; ++position) {
      if (!stopping(position)) compute(position);
    }
  }
}

void OrderedStream::Lane::execute(void* data) {
  auto* lane = static_cast<Lane*>(data);
  OrderedStream& stream = *lane->stream;
  // A panic of a computation is caught in compute(); anything escaping here is the stream's own.
  run_aborting_on_panic([&] {
    stream.run_lane();
    // Last touch of the stream: the caller may free it once it sees no active lane, which it
    // checks under this mutex.
    std::lock_guard<std::mutex> lock(stream.mutex_);
    lane->active = false;
    stream.active_lanes_.store(stream.active_lanes_.load(std::memory_order_relaxed) - 1,
                               std::memory_order_relaxed);
    stream.changed_.notify_all();
  });
}

bool OrderedStream::start_lanes(std::size_t wanted) {
  // Relaxed reads: a stale view only delays or hastens an injection; a lane injected for nothing
  // finds no position and ends.
  if (active_lanes_.load(std::memory_order_relaxed) == lanes_.size()) return false;
  const std::size_t limit = claimable_limit();
  const std::size_t next = next_.load(std::memory_order_relaxed);
  if (next >= limit || limit - next < wanted) return false;
  bool started = false;
  std::lock_guard<std::mutex> lock(mutex_);
  for (Lane& lane : lanes_) {
    if (lane.active) continue;
    lane.active = true;
    active_lanes_.store(active_lanes_.load(std::memory_order_relaxed) + 1,
                        std::memory_order_relaxed);
    pool_->inject(lane.job());
    started = true;
  }
  return started;
}

std::optional<std::size_t> OrderedStream::next(FunctionRef<bool()> poll) {
  const std::size_t position = consumed_;
  if (position >= count_ || stopped_) panic("assertion failed: position < count");
  const std::size_t slot = position % ring_size_;
  if (pool_ == nullptr) {
    if (poll()) return std::nullopt;
    compute(position);
    return slot;
  }

  // Lanes are injected again once half a window is free, so that they come back for a run of
  // positions rather than one at a time; and always when the caller would otherwise wait.
  start_lanes(std::max<std::size_t>(window_ / 2, 1));
  bool ready = false;
  for (int i = 0; i < kSpinChecks && !ready; ++i) {
    ready = is_done(position);
  }
  if (!ready && caller_ == Caller::kHelps) {
    const std::optional<bool> helped = help_until_done(position, poll);
    if (!helped) return std::nullopt;
    ready = *helped;
  }
  if (!ready) {
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::milliseconds(kPollIntervalMilliseconds);
    auto last_poll = Clock::now();
    // A caller that has caught up with the lanes waits until they are some way ahead again,
    // rather than to be woken for every position: a wake-up costs far more than a small search.
    // The position waited for is within the window, so it will be computed.
    const std::size_t limit = std::min(count_, consumed_ + window_);
    std::size_t awaited =
        std::min(position + std::clamp<std::size_t>(window_ / 4, 1, kMaxClaim), limit - 1);
    // Seq_cst, with compute's store of done and load of waiting_for_: see there.
    auto is_done_seq_cst = [&](std::size_t at) { return is_done(at, std::memory_order_seq_cst); };
    waiting_for_.store(awaited, std::memory_order_seq_cst);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!is_done_seq_cst(position)) {
      if (awaited != position && is_done_seq_cst(awaited)) {
        // Done out of order: now wait for this position itself.
        awaited = position;
        waiting_for_.store(awaited, std::memory_order_seq_cst);
        continue;
      }
      if (active_lanes_.load(std::memory_order_relaxed) < lanes_.size()) {
        // A lane may have ended just before this position came within the window.
        lock.unlock();
        const bool started = start_lanes(1);
        lock.lock();
        if (started) continue;
      }
      if (is_done_seq_cst(awaited)) continue;
      changed_.wait_until(lock, last_poll + interval);
      if (Clock::now() - last_poll >= interval) {
        lock.unlock();
        const bool give_up = poll();
        lock.lock();
        if (give_up) {
          waiting_for_.store(kNobody, std::memory_order_relaxed);
          return std::nullopt;
        }
        last_poll = Clock::now();
      }
    }
    waiting_for_.store(kNobody, std::memory_order_relaxed);
  }
  return slot;
}

bool OrderedStream::is_done(std::size_t position, std::memory_order order) const {
  return slots_[position % ring_size_].done.load(order) == position + 1;
}

std::optional<bool> OrderedStream::help_until_done(std::size_t position, FunctionRef<bool()> poll) {
  CallerPoll here{this, poll, std::chrono::steady_clock::now()};
  // A poll may run a signal handler that calls in again and streams on this thread: each stream
  // restores the one it found.
  struct Install {
    CallerPoll* outer;
    explicit Install(CallerPoll* poll) : outer(std::exchange(caller_poll_, poll)) {}
    ~Install() { caller_poll_ = outer; }
  } install(&here);
  while (!is_done(position)) {
    // One position at a time, the next in order: the one waited for is most likely in a lane's
    // hands already, and the caller is back to it soon.
    const auto [first, end] = claim(1);
    if (first == end) return false;
    if (!stopping(first)) compute(first);
    if (here.due()) return std::nullopt;
  }
  return true;
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

std::exception_ptr OrderedStream::take_failure(std::size_t slot) {
  return std::exchange(slots_[slot].failure, nullptr);
}

void OrderedStream::release() {
  ++consumed_;
  set_window(window_);
}

void OrderedStream::stop_and_wait() {
  if (stopped_) return;
  stopped_ = true;
  // Release: nothing to publish beyond the value; computations read it relaxed as a hint.
  stop_at_.store(0, std::memory_order_release);
  if (pool_ == nullptr) return;
  std::unique_lock<std::mutex> lock(mutex_);
  while (active_lanes_.load(std::memory_order_relaxed) != 0)
    changed_.wait(lock);
}

}  // namespace dorvane
