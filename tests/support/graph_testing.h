// Graphs for the tests and benchmarks, built from an edge list as the call builds them, without
// its stop check.
#pragma once

#include <span>

#include "paths/graph.h"
#include "paths/node_id.h"

namespace dorvane {

// The graph of `edges`, added in list order, as the function entry builds it.
Graph graph_of_edges(std::span<const Edge> edges);

}  // namespace dorvane
