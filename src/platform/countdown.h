// Countdown: when a long loop should next look at something it checks periodically (a stop
// request, pending signals, the end of its time slice): every so many units of its work, and, when
// it is given a period, no sooner than that period after the last time it was due.
#pragma once

#include <chrono>
#include <cstddef>

namespace dorvane {

class Countdown {
 public:
  using Clock = std::chrono::steady_clock;

  // Due once every `interval` units (at least 1) and, with a `period`, only once the period has
  // passed since construction or since it was last due: the clock is read once per interval.
  explicit Countdown(std::size_t interval, Clock::duration period = Clock::duration::zero())
      : interval_(interval),
        left_(interval),
        period_(period),
        last_(period == Clock::duration::zero() ? Clock::time_point() : Clock::now()) {}

  // Counts `units` of work; true when they reach the end of the current interval (and the period
  // has passed), and the next interval then starts afresh. A step that overshoots the end is due
  // once, and the excess does not count towards the next interval; a step of zero units is never
  // due.
  bool tick(std::size_t units = 1) {
    if (units < left_) {
      left_ -= units;
      return false;
    }
    left_ = interval_;
    if (period_ == Clock::duration::zero()) return true;
    const Clock::time_point now = Clock::now();
    if (now - last_ < period_) return false;
    last_ = now;
    return true;
  }

  // When it was last due (or made), for a caller that waits until the next period at most.
  Clock::time_point last() const { return last_; }

 private:
  std::size_t interval_;
  std::size_t left_;
  Clock::duration period_;
  Clock::time_point last_;
};

}  // namespace dorvane
