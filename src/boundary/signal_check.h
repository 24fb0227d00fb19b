// Looking at pending signals during a long call, so that Ctrl-C interrupts it.
//
// The calling thread keeps the interpreter lock for a whole call, so nothing else runs the
// signal handlers meanwhile. The long loops of a call (converting the edges, building the graph,
// waiting for searches, building the result) call a SignalCheck often enough that a handler runs
// within a few tens of milliseconds of its signal. Handlers run on the main thread only, so on
// any other thread the check finds nothing, and a call made there runs to its end as before.
//
// A check may run inside a search that the calling thread runs, where a failure would count as
// that search's own. So the handler's exception is kept exactly as it was raised, and only
// take_error(), where the call ends, applies the fetch rule to it: a PanicException that a
// handler raised resumes as a panic there, once, with its one banner and traceback.
#pragma once

#include "boundary/py_err.h"
#include "boundary/py_ref.h"

namespace dorvane {

class SignalCheck {
 public:
  SignalCheck() = default;
  // Gives the collector back as the program last set it, if it was paused.
  ~SignalCheck();
  SignalCheck(const SignalCheck&) = delete;
  SignalCheck& operator=(const SignalCheck&) = delete;

  // Keeps the cyclic collector from running for the rest of the check's life: the result holds
  // dicts of ints and floats only, which can never form a cycle, yet each dict made counts towards
  // the next collection (on a graph of a million nodes, hundreds of collections, a quarter of the
  // call). Handlers still run with the collector as the program last set it, and whatever they
  // set is what the program gets back at the end.
  void pause_collector();

  // Runs the handlers of pending signals. True when one raised: the call should stop, and its
  // exception is kept for take_error(); every later check then answers true at once, without
  // running the handlers again.
  bool operator()();

  // The error a handler raised, by the fetch rule. Precondition: a check answered true.
  PyErr take_error();

 private:
  bool raised_ = false;
  PyRef exception_;  // as taken from the interpreter; null if the handler set none
  bool collector_paused_ = false;
  bool program_enables_collector_ = false;  // the program's last word, while paused
};

}  // namespace dorvane
