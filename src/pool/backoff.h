// Backing off from a contended or not yet ready queue slot: spin a little, then yield.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace dorvane {

class Backoff {
 public:
  // After losing a race (a failed compare-and-swap): a short busy wait that doubles each time,
  // because the winner is already done and a retry will likely succeed at once.
  void spin() {
    pause(1u << (step_ < kSpinLimit ? step_ : kSpinLimit));
    if (step_ < kSpinLimit) ++step_;
  }

  // While another thread finishes a step we need (installing a block, filling a slot): spin while
  // that is cheap, then give the processor away, because the other thread may be descheduled.
  void snooze() {
    if (step_ <= kSpinLimit) {
      pause(1u << step_);
    } else {
      platform::yield_now();
    }
    if (step_ <= kYieldLimit) ++step_;
  }

 private:
  static constexpr uint32_t kSpinLimit = 6;
  static constexpr uint32_t kYieldLimit = 10;

  static void pause(uint32_t rounds) {
    for (uint32_t i = 0; i < rounds; ++i) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#elif defined(__aarch64__)
      asm volatile("yield" ::: "memory");
#else
      asm volatile("" ::: "memory");
#endif
    }
  }

  uint32_t step_ = 0;
};

}  // namespace dorvane
