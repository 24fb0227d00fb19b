// Result assembly runs on the calling thread, which holds the interpreter lock, while the
// workers search: each source's distances become its dict as soon as it is their turn, and the
// native copy is released at once, so the whole native result never exists. The dicts are sized
// up front (a private but long-standing CPython call), which spares every inner dict its growth.
#include "module/result_dict.h"

#include <span>
#include <utility>

#include "module/deferred_release.h"
#include "paths/all_pairs.h"
#include "platform/memory.h"

namespace dorvane {

namespace {

// How many result entries are stored between two looks at pending signals: a fraction of a
// millisecond's work.
constexpr std::size_t kEntriesPerSignalCheck = 4096;

class ResultBuilder {
 public:
  ResultBuilder(const Graph& graph, SignalCheck& signals)
      : graph_(graph),
        signals_(signals),
        keys_(graph.node_count()),
        outer_(expect_new(_PyDict_NewPresized(static_cast<Py_ssize_t>(graph.node_count())))) {}

  // Stores one source's dict; false (with the error kept) when a store failed or a signal
  // handler raised.
  bool add(NodeIndex source, std::span<const Reached> reached) {
    PyRef inner = expect_new(_PyDict_NewPresized(static_cast<Py_ssize_t>(reached.size())));
    for (const Reached& node : reached) {
      PyRef distance = expect_new(PyFloat_FromDouble(node.distance));
      // The dict takes references of its own; ours go when `distance` leaves scope.
      if (PyDict_SetItem(inner.get(), key(node.node), distance.get()) < 0) {
        failure_.emplace(PyErr::fetch());
        return false;
      }
      if (++until_check_ == kEntriesPerSignalCheck) {
        until_check_ = 0;
        if (signals_()) return false;
      }
    }
    if (PyDict_SetItem(outer_.get(), key(source), inner.get()) < 0) {
      failure_.emplace(PyErr::fetch());
      return false;
    }
    return true;
  }

  PyResult<PyRef> finish(bool complete) && {
    if (complete) return std::move(outer_);
    if (failure_) return std::move(*failure_);
    // Interrupted: what was built so far is released after the handler's exception is raised,
    // which would otherwise wait until it is all freed.
    release_in_slices(std::move(*this).take_everything());
    return signals_.take_error();
  }

 private:
  // Every object this builder holds, the inner dicts apart from the outer one, so that each
  // can be released on its own.
  Vec<PyRef> take_everything() && {
    Vec<PyRef> objects;
    objects.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(outer_.get())) + keys_.size());
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* inner = nullptr;
    while (PyDict_Next(outer_.get(), &position, &key, &inner))
      objects.push_back(PyRef::borrow(inner));
    outer_ = PyRef();
    for (PyRef& node_key : keys_) {
      if (node_key) objects.push_back(std::move(node_key));
    }
    return objects;
  }

  // The int of the node at `index`, made on first use.
  PyObject* key(NodeIndex index) {
    PyRef& key = keys_[index];
    if (!key) [[unlikely]] {
      key = expect_new(PyLong_FromUnsignedLongLong(graph_.node_at(index)));
    }
    return key.get();
  }

  const Graph& graph_;
  SignalCheck& signals_;
  Vec<PyRef> keys_;
  PyRef outer_;
  std::optional<PyErr> failure_;
  std::size_t until_check_ = 0;
};

}  // namespace

PyResult<PyRef> build_result(const Graph& graph, const std::optional<double>& cutoff,
                             SignalCheck& signals) {
  ResultBuilder builder(graph, signals);
  const bool complete = compute_all_pairs(
      graph, cutoff,
      [&](NodeIndex source, std::span<const Reached> reached) {
        return builder.add(source, reached);
      },
      signals);
  return std::move(builder).finish(complete);
}

}  // namespace dorvane
