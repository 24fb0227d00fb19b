// The all-pairs driver: one search per node of the graph, spread over the worker pool.
#pragma once

#include <optional>

#include "paths/graph.h"
#include "paths/node_table.h"
#include "paths/search.h"

namespace dorvane {

// Source node to the distances from it.
using AllPairsResult = NodeMap<DistanceMap>;

// Runs a search from every node of `graph` and gathers the results. When searches fail, the panic
// of the one with the lowest position in the node set's order is the one that comes out.
AllPairsResult compute_all_pairs(const Graph& graph, const std::optional<double>& cutoff);

}  // namespace dorvane
