// Graphs for the tests and benchmarks: from an edge list without the call's stop check, and arc
// by arc, for the graphs an edge list cannot express (an arc in one direction only, a node
// without neighbours), which the tests of the search need.
#pragma once

#include <span>

#include "paths/graph.h"
#include "paths/node_id.h"

namespace dorvane {

// The graph of `edges`, added in list order, as the function entry builds it.
Graph graph_of_edges(std::span<const Edge> edges);

// An entry for `to` in the neighbour table of `from`, in that direction only.
struct OneWayArc {
  NodeId from;
  NodeId to;
  double weight;
};

struct GraphTesting {
  // The graph of `nodes` (each listed once) and `arcs`: node indices in order of first appearance
  // in `nodes`, then in `arcs`; each node's neighbour table a table of its own with the thread's
  // next key, where a later arc between the same two nodes, in the same direction, replaces the
  // weight of an earlier one.
  static Graph graph_of_arcs(std::span<const NodeId> nodes, std::span<const OneWayArc> arcs);
};

}  // namespace dorvane
