// Argument binding and input conversion for all_pairs_dijkstra_path_length(edges, cutoff=None).
//
// Turns the call's raw arguments into native values: the edge list and the optional cutoff.
// Every failure is a PyErr whose type and message are part of the module's interface. Conversion
// errors pass through `wrap_argument_error`, which prefixes exact TypeErrors with the argument's
// name; binding errors are never prefixed.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "boundary/py_err.h"
#include "paths/node_id.h"
#include "platform/memory.h"

namespace dorvane {

// The two parameters' arguments, borrowed from the call; `cutoff` is null when not given.
struct BoundArguments {
  PyObject* edges = nullptr;
  PyObject* cutoff = nullptr;
};

// The edges in the order in which iterating the caller's sequence yields them.
using EdgeList = Vec<Edge>;

// Binds the fast-call arguments (positional ones, then one value per entry of `keyword_names`)
// to `edges` and `cutoff`.
PyResult<BoundArguments> bind_arguments(PyObject* const* arguments, Py_ssize_t positional_count,
                                        PyObject* keyword_names);

// Converts a sequence of (source, target, weight) tuples, completely, or reports the first bad
// element.
PyResult<EdgeList> extract_edges(PyObject* edges);

// No cutoff for a missing argument or None; otherwise its float value, unchecked.
PyResult<std::optional<double>> extract_cutoff(PyObject* cutoff);

// A node number: an int (or an object with __index__) from 0 to 4294967295.
PyResult<NodeId> extract_node_id(PyObject* object);

// A float, an int or an object with __float__ or __index__, as a double.
PyResult<double> extract_float(PyObject* object);

// Prefixes an exact TypeError with "argument '{name}': "; returns any other error unchanged.
PyErr wrap_argument_error(std::string_view name, PyErr error);

}  // namespace dorvane
