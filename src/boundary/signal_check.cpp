#include "boundary/signal_check.h"

#include <utility>

#include "platform/panic.h"

namespace dorvane {

bool SignalCheck::operator()() {
  if (error_) return true;
  // A handler's exception is fetched by the usual rule, so a PanicException that one raises
  // resumes as a panic.
  if (PyErr_CheckSignals() < 0) error_.emplace(PyErr::fetch());
  return error_.has_value();
}

PyErr SignalCheck::take_error() {
  PyErr error = std::move(unwrap(error_ ? &*error_ : nullptr));
  error_.reset();
  return error;
}

}  // namespace dorvane
