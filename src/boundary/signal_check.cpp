#include "boundary/signal_check.h"

#include <utility>

#include "boundary/python_compat.h"
#include "platform/panic.h"

namespace dorvane {

bool SignalCheck::operator()() {
  if (raised_) return true;
  if (PyErr_CheckSignals() < 0) {
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
