// Binds and converts the arguments, builds the graph, runs the all-pairs computation, and turns
// its result into a dict of dicts.
#include "module/entry.h"

#include <optional>
#include <utility>

#include "boundary/arguments.h"
#include "boundary/failure_guard.h"
#include "boundary/py_err.h"
#include "boundary/py_ref.h"
#include "paths/all_pairs.h"
#include "paths/graph.h"
#include "pool/worker_pool.h"

namespace dorvane {

namespace {

// The distances of one source as a fresh dict, or the error of a failed store.
PyResult<PyRef> distances_to_dict(DistanceMap distances) {
  PyRef inner = expect_new(PyDict_New());
  for (auto [node, distance] : distances) {
    PyRef key = expect_new(PyLong_FromUnsignedLongLong(node));
    PyRef value = expect_new(PyFloat_FromDouble(distance));
    // The dict takes references of its own; ours go when key and value leave scope.
    if (PyDict_SetItem(inner.get(), key.get(), value.get()) < 0) return PyErr::fetch();
  }
  return inner;
}

// Converts the result source by source, freeing each distance map as soon as it is converted,
// so the native result shrinks while the dictionary grows.
PyResult<PyRef> result_to_dict(AllPairsResult result) {
  PyRef outer = expect_new(PyDict_New());
  std::optional<PyErr> failure;
  result.drain([&](NodeId source, DistanceMap&& distances) {
    if (failure) return;  // the rest is dropped unconverted
    PyRef key = expect_new(PyLong_FromUnsignedLongLong(source));
    PyResult<PyRef> inner = distances_to_dict(std::move(distances));
    if (!inner.ok()) {
      failure = inner.take_error();
      return;
    }
    if (PyDict_SetItem(outer.get(), key.get(), inner.value().get()) < 0) {
      failure = PyErr::fetch();
    }
  });
  if (failure) return std::move(*failure);
  return outer;
}

PyResult<PyRef> run_call(PyObject* const* arguments, Py_ssize_t positional_count,
                         PyObject* keyword_names) {
  PyResult<BoundArguments> bound = bind_arguments(arguments, positional_count, keyword_names);
  if (!bound.ok()) return bound.take_error();
  // The edges are converted completely before the cutoff is looked at.
  PyResult<EdgeList> edges = extract_edges(bound.value().edges);
  if (!edges.ok()) return edges.take_error();
  PyResult<std::optional<double>> cutoff = extract_cutoff(bound.value().cutoff);
  if (!cutoff.ok()) return cutoff.take_error();

  AllPairsResult result = [&] {
    Graph graph;
    {
      EdgeList list = edges.take_value();
      for (const Edge& edge : list) {
        graph.add_edge(edge);
      }
    }
    return compute_all_pairs(graph, cutoff.value());
  }();
  // The graph is gone before the first result object exists: the two never coexist in full.
  return result_to_dict(std::move(result));
}

}  // namespace

PyObject* all_pairs_dijkstra_path_length(PyObject* /*module*/, PyObject* const* arguments,
                                         Py_ssize_t positional_count,
                                         PyObject* keyword_names) noexcept {
  // Before any memory is spent: a panic, or the pool's per-thread state, must not need it later.
  prepare_thread_for_pool();
  return run_guarded([&] { return run_call(arguments, positional_count, keyword_names); });
}

}  // namespace dorvane
