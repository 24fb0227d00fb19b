// The abort guard around the pool's own machinery.
//
// A panic from a job's operation is caught inside the job and carried to the thread that waits for
// it. A panic anywhere else in the pool (a worker's body, the wait loop, storing a result, setting
// a latch) means the pool's own state can no longer be trusted, and unwinding further would leave
// a waiter blocked for ever, so the process ends at once instead.
#pragma once

#include <string_view>

namespace dorvane {

inline constexpr std::string_view kUnexpectedPanicMessage =
    "dorvane: detected unexpected panic in a worker; aborting\n";

// Writes kUnexpectedPanicMessage to standard error and ends the process without unwinding.
[[noreturn]] void abort_on_unexpected_panic() noexcept;

// Runs `body`; any exception escaping it ends the process as above.
template <class F>
void run_aborting_on_panic(F&& body) noexcept {
  try {
    body();
  } catch (...) {
    abort_on_unexpected_panic();
  }
}

}  // namespace dorvane
