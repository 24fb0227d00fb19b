#include "boundary/arguments.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "boundary/py_once_cell.h"
#include "boundary/py_ref.h"
#include "boundary/python_compat.h"
#include "boundary/signal_check.h"
#include "platform/countdown.h"
#include "platform/panic.h"

namespace dorvane {

namespace {

constexpr std::string_view kFunctionName = "all_pairs_dijkstra_path_length";
constexpr std::array<std::string_view, 2> kParameterNames = {"edges", "cutoff"};
constexpr Py_ssize_t kMaxPositional = 2;
constexpr uint64_t kMaxNodeId = UINT32_MAX;

PyOnceCell sequence_cell;

// Panics with `what` and the pending error's text.
[[noreturn]] void panic_with_pending(std::string_view what) {
  PyErr error = PyErr::fetch();
  panic(std::string(what) + ": " + display_text(error.instance()));
}

// collections.abc.Sequence, only ever needed to name the expected type of `edges`.
PyTypeObject* sequence_type() {
  PyResult<PyObject*> type = sequence_cell.get_or_try_fill([]() -> PyResult<PyRef> {
    PyRef module_name = expect_new(PyUnicode_FromString("collections.abc"));
    PyRef module = PyRef::steal(PyImport_Import(module_name.get()));
    if (!module) panic_with_pending("could not import collections.abc");
    PyRef sequence = PyRef::steal(PyObject_GetAttrString(module.get(), "Sequence"));
    if (!sequence) panic_with_pending("could not read collections.abc.Sequence");
    if (!PyType_Check(sequence.get())) panic("collections.abc.Sequence is not a type");
    return sequence;
  });
  return reinterpret_cast<PyTypeObject*>(type.value());
}

PyErr binding_error(std::string_view detail) {
  return PyErr::with_message(PyExc_TypeError,
                             std::string(kFunctionName) + "() " + std::string(detail));
}

// Reserves room for `hint` edges, the size the caller's __len__ claims. The claim may be far from
// the truth, so when that much memory cannot be had the list grows on demand instead; a truthful
// hint still gets its one reservation. A hint whose byte size passes the signed 64-bit range is
// "capacity overflow", as for any such request.
void reserve_for_hint(EdgeList& list, Py_ssize_t hint) {
  if (hint <= 0) return;
  const auto count = static_cast<std::size_t>(hint);
  const std::size_t bytes = array_bytes(count, sizeof(Edge));
  // The list's own allocator ends the process when memory runs out, so probe first.
  void* probe = try_allocate(bytes, alignof(Edge));
  if (probe == nullptr) return;
  deallocate(probe, bytes, alignof(Edge));
  list.reserve(count);
}

PyResult<Edge> convert_edge(PyObject* item) {
  if (!PyTuple_Check(item)) return cast_error(item, &PyTuple_Type);
  const Py_ssize_t length = PyTuple_GET_SIZE(item);
  if (length != 3) {
    return PyErr::with_message(
        PyExc_ValueError,
        "expected tuple of length 3, but got tuple of length " + std::to_string(length));
  }
  // Straight from the tuple's storage: a subclass's item access is not consulted.
  PyResult<NodeId> source = extract_node_id(PyTuple_GET_ITEM(item, 0));
  if (!source.ok()) return source.take_error();
  PyResult<NodeId> target = extract_node_id(PyTuple_GET_ITEM(item, 1));
  if (!target.ok()) return target.take_error();
  PyResult<double> weight = extract_float(PyTuple_GET_ITEM(item, 2));
  if (!weight.ok()) return weight.take_error();
  return Edge{source.value(), target.value(), weight.value()};
}

// How many edges are converted between two looks at pending signals: about a millisecond's
// worth of tuples, so that Ctrl-C interrupts the conversion of a huge list.
constexpr std::size_t kEdgesPerSignalCheck = std::size_t{1} << 15;

// The edges, or the first bad element's error. `interrupted` tells that the error is instead
// that of a signal handler, which is not the argument's fault and so is not prefixed.
PyResult<EdgeList> convert_edges(PyObject* edges, bool& interrupted) {
  // Before the sequence test: a string is a sequence, but never one of edges.
  if (PyUnicode_Check(edges)) {
    return PyErr::with_message(PyExc_TypeError, "Can't extract `str` to `Vec`");
  }
  if (!PySequence_Check(edges)) return cast_error(edges, sequence_type());

  EdgeList list;
  Py_ssize_t hint = PyObject_Size(edges);
  if (hint < 0) {
    // Only a hint: its failure is not the caller's problem.
    discard_pending();
    hint = 0;
  }
  reserve_for_hint(list, hint);

  PyRef iterator = PyRef::steal(PyObject_GetIter(edges));
  if (!iterator) return PyErr::fetch();
  SignalCheck signals;
  Countdown until_check(kEdgesPerSignalCheck);
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    PyResult<Edge> edge = convert_edge(item.get());
    if (!edge.ok()) return edge.take_error();
    list.push_back(edge.value());
    if (until_check.tick() && signals()) {
      interrupted = true;
      return signals.take_error();
    }
  }
  if (std::optional<PyErr> error = PyErr::take()) return std::move(*error);
  return list;
}

}  // namespace

PyResult<BoundArguments> bind_arguments(PyObject* const* arguments, Py_ssize_t positional_count,
                                        PyObject* keyword_names) {
  BoundArguments bound;
  std::array<PyObject**, 2> slots = {&bound.edges, &bound.cutoff};
  for (Py_ssize_t i = 0; i < std::min(positional_count, kMaxPositional); ++i) {
    *slots[static_cast<std::size_t>(i)] = arguments[i];
  }
  if (positional_count > kMaxPositional) {
    return binding_error("takes from 1 to 2 positional arguments but " +
                         std::to_string(positional_count) + " were given");
  }

  const Py_ssize_t keyword_count = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* name = PyTuple_GET_ITEM(keyword_names, k);
    std::optional<std::size_t> parameter;
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size)) {
      const std::string_view text(utf8, static_cast<std::size_t>(size));
      for (std::size_t p = 0; p < kParameterNames.size(); ++p) {
        if (text == kParameterNames[p]) parameter = p;
      }
    } else {
      // A name that is not valid UTF-8 names no parameter.
      discard_pending();
    }
    if (!parameter) {
      return binding_error("got an unexpected keyword argument '" + display_text(name) + "'");
    }
    if (*slots[*parameter] != nullptr) {
      return binding_error("got multiple values for argument '" +
                           std::string(kParameterNames[*parameter]) + "'");
    }
    *slots[*parameter] = arguments[positional_count + k];
  }

  if (bound.edges == nullptr) {
    return binding_error("missing 1 required positional argument: 'edges'");
  }
  return bound;
}

PyResult<EdgeList> extract_edges(PyObject* edges) {
  bool interrupted = false;
  PyResult<EdgeList> list = convert_edges(edges, interrupted);
  if (!list.ok() && !interrupted) return wrap_argument_error("edges", list.take_error());
  return list;
}

PyResult<std::optional<double>> extract_cutoff(PyObject* cutoff) {
  if (cutoff == nullptr || cutoff == Py_None) return std::optional<double>();
  PyResult<double> value = extract_float(cutoff);
  if (!value.ok()) return wrap_argument_error("cutoff", value.take_error());
  return std::optional<double>(value.value());
}

PyResult<NodeId> extract_node_id(PyObject* object) {
  unsigned long long value = 0;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return PyErr::fetch();
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  // All ones is both a legal value and the failure value.
  if (value == ~0ULL) {
    if (std::optional<PyErr> error = PyErr::take()) return std::move(*error);
  }
  if (value > kMaxNodeId) {
    return PyErr::with_message(PyExc_OverflowError,
                               "out of range integral type conversion attempted");
  }
  return static_cast<NodeId>(value);
}

PyResult<double> extract_float(PyObject* object) {
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  const double value = PyFloat_AsDouble(object);
  // -1.0 is both a legal value and the failure value.
  if (value == -1.0) {
    if (std::optional<PyErr> error = PyErr::take()) return std::move(*error);
  }
  return value;
}

PyErr wrap_argument_error(std::string_view name, PyErr error) {
  const bool is_type_error = error.type() == PyExc_TypeError;
  // Inspecting an error the module made, or building the prefixed one, needs the interpreter in
  // working order; during shutdown that is refused as a panic.
  if (compat::is_finalizing() && (error.is_lazy() || is_type_error)) {
    panic("Cannot attach to the Python interpreter while it is finalizing.");
  }
  if (!is_type_error) return error;

  PyObject* original = error.instance();
  const std::string text = display_text(original);
  PyRef cause = PyRef::steal(PyException_GetCause(original));
  PyErr wrapped =
      PyErr::with_message(PyExc_TypeError, "argument '" + std::string(name) + "': " + text);
  // Keeps the original's cause only; setting it also suppresses the context.
  PyException_SetCause(wrapped.instance(), cause.release());
  return wrapped;
}

}  // namespace dorvane
