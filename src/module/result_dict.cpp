// Result assembly runs on the calling thread, which holds the interpreter lock, while the
// workers search: each source's distances become its dict as soon as it is their turn, and the
// native copy is released at once, so the whole native result never exists. The dicts are sized
// up front (a private but long-standing CPython call), which spares every inner dict its growth.
#include "module/result_dict.h"

#include <span>
#include <utility>

#include "boundary/paced_release.h"
#include "paths/all_pairs.h"
#include "platform/countdown.h"
#include "platform/memory.h"

namespace dorvane {

namespace {

// How many result entries are stored between two looks at pending signals: a fraction of a
// millisecond's work.
constexpr std::size_t kEntriesPerSignalCheck = 4096;

// How many stores ahead the outer dict's loop fetches what they will touch.
constexpr std::size_t kLookahead = 8;

// CPython 3.14 tracks every dict for the cyclic collector from its creation, and no longer starts
// tracking one when a container is stored in it. An inner dict is therefore kept out of the
// collector's sight while the call builds it (it holds ints and floats only), and tracked once
// the result is complete: the leftovers of an interrupted call would otherwise all be looked
// through at the first collection after it, in one go (a quarter of a second for 3 M dicts).
// Earlier versions leave such dicts untracked of their own accord.
constexpr bool kDictsStartTracked = PY_VERSION_HEX >= 0x030E0000;

class ResultBuilder {
 public:
  ResultBuilder(const Graph& graph, SignalCheck& signals)
      : graph_(graph), signals_(signals), inner_(graph.node_count()) {
    keys_.reserve(graph.node_count());
  }

  // Makes every node's int at once, in index order: then the ints of nodes that are close in the
  // graph (and so often in the same inner dict) lie close in memory, and storing them touches
  // few cache lines; made in the order the results come, they would be scattered. False when a
  // signal handler raised meanwhile.
  bool make_keys() {
    for (NodeIndex index = 0; index < graph_.node_count(); ++index) {
      keys_.push_back(expect_new(PyLong_FromUnsignedLongLong(graph_.node_at(index))));
      if (interrupted()) return false;
    }
    return true;
  }

  // Makes one source's dict; false (with the error kept) when a store failed or a signal handler
  // raised.
  bool add(NodeIndex source, std::span<const Reached> reached) {
    PyRef inner = expect_new(_PyDict_NewPresized(static_cast<Py_ssize_t>(reached.size())));
    if constexpr (kDictsStartTracked) PyObject_GC_UnTrack(inner.get());
    for (const Reached& node : reached) {
      PyRef distance = expect_new(PyFloat_FromDouble(node.distance));
      // The dict takes references of its own; ours go when `distance` leaves scope.
      if (PyDict_SetItem(inner.get(), key(node.node), distance.get()) < 0) {
        failure_.emplace(PyErr::fetch());
        return false;
      }
      if (interrupted()) {
        // Unfinished, but released with the rest, later.
        inner_[source] = std::move(inner);
        return false;
      }
    }
    inner_[source] = std::move(inner);
    return true;
  }

  // The outer dict, its sources in the node set's order; false (with the error kept) when a
  // store failed or a signal handler raised.
  bool assemble() {
    Vec<NodeIndex> order;
    order.reserve(graph_.node_count());
    graph_.nodes().for_each([&](NodeId, NodeIndex index) { order.push_back(index); });
    outer_ = expect_new(_PyDict_NewPresized(static_cast<Py_ssize_t>(order.size())));
    for (std::size_t i = 0; i < order.size(); ++i) {
      // The node set's order is a random one: fetch what the stores ahead will touch (first the
      // arrays' entries, then the objects they point to) while this one is made.
      if (i + 2 * kLookahead < order.size()) {
        __builtin_prefetch(&keys_[order[i + 2 * kLookahead]]);
        __builtin_prefetch(&inner_[order[i + 2 * kLookahead]]);
      }
      if (i + kLookahead < order.size()) {
        __builtin_prefetch(keys_[order[i + kLookahead]].get());
        __builtin_prefetch(inner_[order[i + kLookahead]].get());
      }
      const NodeIndex index = order[i];
      // Every source was consumed when the computation says it is complete.
      PyObject* inner = &unwrap(inner_[index].get());
      if (PyDict_SetItem(outer_.get(), key(index), inner) < 0) {
        failure_.emplace(PyErr::fetch());
        return false;
      }
      if (interrupted()) return false;
    }
    return true;
  }

  PyResult<PyRef> finish(bool complete) && {
    if (complete) {
      if constexpr (kDictsStartTracked) {
        for (PyRef& inner : inner_)
          PyObject_GC_Track(inner.get());
      }
      return std::move(outer_);
    }
    if (failure_) return std::move(*failure_);
    // Interrupted: what was built so far is released after the handler's exception is raised,
    // which would otherwise wait until it is all freed. Whole vectors change hands, so that this
    // costs the same at any size. The outer dict goes first: it leaves the inner dicts to the
    // builder's references, and they leave the ints to the keys'.
    if (outer_) {
      // It cannot be part of a cycle, and the collector would look through all of it again and
      // again while it waits.
      PyObject_GC_UnTrack(outer_.get());
      Vec<PyRef> outer;
      outer.push_back(std::move(outer_));
      release_in_slices(std::move(outer));
    }
    release_in_slices(std::move(inner_));
    release_in_slices(std::move(keys_));
    return signals_.take_error();
  }

 private:
  PyObject* key(NodeIndex index) const { return keys_[index].get(); }

  // Counts one entry made; every kEntriesPerSignalCheck entries, runs the signal handlers. True
  // when one raised.
  bool interrupted() { return until_check_.tick() && signals_(); }

  const Graph& graph_;
  SignalCheck& signals_;
  Vec<PyRef> keys_;   // each node's int, by index
  Vec<PyRef> inner_;  // each source's dict, by index
  PyRef outer_;
  std::optional<PyErr> failure_;
  Countdown until_check_{kEntriesPerSignalCheck};
};

}  // namespace

PyResult<PyRef> build_result(const Graph& graph, const std::optional<double>& cutoff,
                             SignalCheck& signals) {
  signals.pause_collector();
  ResultBuilder builder(graph, signals);
  if (!builder.make_keys()) return std::move(builder).finish(false);
  const bool complete = compute_all_pairs(
                            graph, cutoff,
                            [&](NodeIndex source, std::span<const Reached> reached) {
                              return builder.add(source, reached);
                            },
                            signals) &&
                        builder.assemble();
  return std::move(builder).finish(complete);
}

}  // namespace dorvane
