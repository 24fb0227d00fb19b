#include "boundary/failure_guard.h"

#include "boundary/panic_exception.h"
#include "platform/platform.h"

namespace dorvane {

namespace {

[[noreturn]] void uncaught_at_boundary() noexcept {
  try {
    panic("uncaught panic at ffi boundary");
  } catch (...) {
    // The diagnostic is written; there is nobody left to report to.
  }
  platform::fail_fast();
}

}  // namespace

void raise_or_abort(PyErr error) noexcept {
  try {
    std::move(error).raise();
  } catch (...) {
    uncaught_at_boundary();
  }
}

void raise_panic_or_abort(std::string_view message) noexcept {
  try {
    panic_error(message).raise();
  } catch (...) {
    uncaught_at_boundary();
  }
}

}  // namespace dorvane
