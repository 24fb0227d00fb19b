// Looking at pending signals during a long call, so that Ctrl-C interrupts it.
//
// The calling thread keeps the interpreter lock for a whole call, so nothing else runs the
// signal handlers meanwhile. The long loops of a call (converting the edges, building the graph,
// waiting for searches, building the result) call a SignalCheck often enough that a handler runs
// within a few tens of milliseconds of its signal. Handlers run on the main thread only, so on
// any other thread the check finds nothing, and a call made there runs to its end as before.
#pragma once

#include <optional>

#include "boundary/py_err.h"

namespace dorvane {

class SignalCheck {
 public:
  // Runs the handlers of pending signals. True when one raised: the call should stop, and its
  // error is kept for take_error(); every later check then answers true at once.
  bool operator()();

  // The error a handler raised. Precondition: a check answered true.
  PyErr take_error();

 private:
  std::optional<PyErr> error_;
};

}  // namespace dorvane
