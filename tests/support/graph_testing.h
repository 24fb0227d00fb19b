// Graphs for the tests and benchmarks, built from an edge list as the call builds them, without
// its stop check.
#pragma once

#include <span>

#include "paths/graph.h"
#include "paths/node_id.h"

namespace dorvane {

// The graph of `edges`, added in list order, as the function entry builds it.
Graph graph_of_edges(std::span<const Edge> edges);

// The index of node number `node`, which must be in the graph (panics with the failed-lookup
// message otherwise). The graph maps only indices to numbers: this looks through all of them.
NodeIndex index_of(const Graph& graph, NodeId node);

}  // namespace dorvane
