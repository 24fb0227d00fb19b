// Binds and converts the arguments, builds the graph, and runs the all-pairs computation while
// its results become the dict of dicts.
#include "module/entry.h"

#include <optional>
#include <utility>

#include "boundary/arguments.h"
#include "boundary/failure_guard.h"
#include "boundary/py_err.h"
#include "boundary/py_ref.h"
#include "boundary/signal_check.h"
#include "module/result_dict.h"
#include "paths/graph.h"

namespace dorvane {

namespace {

PyResult<PyRef> run_call(PyObject* const* arguments, Py_ssize_t positional_count,
                         PyObject* keyword_names) {
  PyResult<BoundArguments> bound = bind_arguments(arguments, positional_count, keyword_names);
  if (!bound.ok()) return bound.take_error();
  // The edges are converted completely before the cutoff is looked at.
  PyResult<EdgeList> edges = extract_edges(bound.value().edges);
  if (!edges.ok()) return edges.take_error();
  PyResult<std::optional<double>> cutoff = extract_cutoff(bound.value().cutoff);
  if (!cutoff.ok()) return cutoff.take_error();

  // Ctrl-C must work however long the call runs: every long step below looks at signals.
  SignalCheck signals;
  std::optional<Graph> graph = Graph::build(edges.take_value(), signals);
  if (!graph) return signals.take_error();
  return build_result(*graph, cutoff.value(), signals);
}

}  // namespace

PyObject* all_pairs_dijkstra_path_length(PyObject* /*module*/, PyObject* const* arguments,
                                         Py_ssize_t positional_count,
                                         PyObject* keyword_names) noexcept {
  return run_guarded([&] { return run_call(arguments, positional_count, keyword_names); });
}

}  // namespace dorvane
