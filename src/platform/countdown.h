// Countdown: when a long loop should next look at something it checks periodically (a stop
// request, pending signals), counted in units of its work rather than in time.
#pragma once

#include <cstddef>

namespace dorvane {

class Countdown {
 public:
  // Due once every `interval` units (at least 1).
  explicit Countdown(std::size_t interval) : interval_(interval), left_(interval) {}

  // Counts `units` of work; true when they reach the end of the current interval, and the next
  // interval then starts afresh. A step that overshoots the end is due once, and the excess does
  // not count towards the next interval; a step of zero units is never due.
  bool tick(std::size_t units = 1) {
    if (units < left_) {
      left_ -= units;
      return false;
    }
    left_ = interval_;
    return true;
  }

 private:
  std::size_t interval_;
  std::size_t left_;
};

}  // namespace dorvane
