// The result dictionary, built while the searches run.
#pragma once

#include <Python.h>

#include <optional>

#include "boundary/py_err.h"
#include "boundary/py_ref.h"
#include "boundary/signal_check.h"
#include "paths/graph.h"

namespace dorvane {

// Runs the all-pairs computation over `graph` and turns it into the dict of dicts, source by
// source in the node set's order, as each source's search finishes; each inner dict holds what
// the source's distance table holds, in its order. Every node's int is made once and shared by
// every dict that holds it. `signals` is consulted throughout; when a handler raises, the
// searches stop and its error is the result.
PyResult<PyRef> build_result(const Graph& graph, const std::optional<double>& cutoff,
                             SignalCheck& signals);

}  // namespace dorvane
