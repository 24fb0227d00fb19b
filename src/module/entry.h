// The native body of all_pairs_dijkstra_path_length(edges, cutoff=None).
#pragma once

#include <Python.h>

namespace dorvane {

// The function's entry in the fast-call-with-keywords convention: a new reference to the result
// dictionary, or null with the error indicator set. Never lets a failure unwind.
PyObject* all_pairs_dijkstra_path_length(PyObject* module, PyObject* const* arguments,
                                         Py_ssize_t positional_count,
                                         PyObject* keyword_names) noexcept;

}  // namespace dorvane
