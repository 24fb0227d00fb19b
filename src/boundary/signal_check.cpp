#include "boundary/signal_check.h"

#include <utility>

#include "boundary/python_compat.h"
#include "platform/panic.h"

namespace dorvane {

SignalCheck::~SignalCheck() {
  if (collector_paused_ && program_enables_collector_) PyGC_Enable();
}

void SignalCheck::pause_collector() {
  if (collector_paused_) return;
  collector_paused_ = true;
  program_enables_collector_ = PyGC_Disable() != 0;
}

bool SignalCheck::operator()() {
  if (raised_) return true;
  // Two flag changes around the handlers: no collection can have been scheduled while paused,
  // so giving the program its collector back costs nothing unless a handler runs.
  if (collector_paused_ && program_enables_collector_) PyGC_Enable();
  const int status = PyErr_CheckSignals();
  if (collector_paused_) program_enables_collector_ = PyGC_Disable() != 0;
  if (status < 0) {
    raised_ = true;
    exception_ = PyRef::steal(compat::get_raised_exception());
  }
  return raised_;
}

PyErr SignalCheck::take_error() {
  if (!raised_) [[unlikely]] {
    panic(kUnwrapNoneMessage);
  }
  raised_ = false;
  return PyErr::from_raised(std::move(exception_));
}

}  // namespace dorvane
