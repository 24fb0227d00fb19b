// Error codes of the system the tests run on, for tests that make a system call fail on purpose.
// Each system's platform test file defines them, and checks how the platform layer describes them.
#pragma once

namespace dorvane::testing {

// A thread creation refused for lack of resources: an error of the kind "WouldBlock".
extern const int kThreadLimitError;

// A call the system does not implement: an error of the kind "Unsupported".
extern const int kUnsupportedError;

}  // namespace dorvane::testing
