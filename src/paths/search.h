// The single-source search: Dijkstra's algorithm with an optional distance limit.
#pragma once

#include <cstdint>
#include <optional>

#include "paths/graph.h"
#include "paths/radix_queue.h"
#include "paths/search_queue.h"
#include "paths/slot_order.h"
#include "platform/function_ref.h"
#include "platform/memory.h"

namespace dorvane {

// A node that a search fixed, with its distance, as the search hands it on.
struct Reached {
  NodeIndex node;
  double distance;
};

// The working memory of searches over one graph at a time: what each search knows about each
// node, in arrays by the graph's dense node index, the queues, and the result's order. One thread
// at a time uses it; the all-pairs driver keeps one per worker for the length of a call, so
// consecutive searches allocate nothing once the arrays have grown. Neither array is cleared
// between searches: the exact search's states carry the number of the search that wrote them,
// and the monotone search puts back what it changed.
class SearchWorkspace {
 public:
  SearchWorkspace() = default;
  SearchWorkspace(SearchWorkspace&&) = default;
  SearchWorkspace& operator=(SearchWorkspace&&) = default;

 private:
  friend struct SearchRun;
  friend class ExactFrontier;
  friend class MonotoneFrontier;

  // What the exact search knows about one node: its tentative distance, or its fixed one. The
  // stamp says which, and that the state is the current search's at all: 2g for a node that
  // search g has queued, 2g + 1 once it is fixed; any other value is a stale state.
  struct NodeState {
    double distance;
    uint32_t stamp;
  };

  Vec<NodeState> nodes_;
  uint32_t generation_ = 0;
  SearchQueue exact_queue_;
  // What the monotone search knows about each node: the ordered key of its tentative distance,
  // 0 once fixed, all ones when not queued. All ones between searches.
  Vec<uint64_t> keys_;
  RadixQueue radix_queue_;
  Vec<RadixQueue::Item> staged_;  // one node's improvements, before they are queued
  Vec<Reached> fixed_;            // in the order the search fixed them
  // The distance table's order, in which the fixed nodes are handed on.
  SlotOrder slot_order_;
};

// Shortest-path lengths from the node at `source` to every node reachable from it whose distance
// does not exceed `cutoff` (no limit when absent). Appends to `reached` the fixed nodes in the
// iteration order of the search's distance table, a table of its own with a fresh key from the
// calling thread, and returns true; returns false, having appended nothing, when `stop` (asked
// every thousand or so queue entries) returns true.
//
// Panics with "Contradictory paths found: negative weights?" when a path shorter than an already
// fixed distance turns up, and with the failed-lookup message when the queue has to compare a NaN
// distance. Safe to run on many threads at once over the same graph, each with its own workspace.
bool search_distances(const Graph& graph, NodeIndex source, const std::optional<double>& cutoff,
                      SearchWorkspace& workspace, Vec<Reached>& reached, FunctionRef<bool()> stop);

}  // namespace dorvane
