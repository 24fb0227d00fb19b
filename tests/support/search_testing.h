// The single-source search by node number, gathered into a map: for the tests and
// benchmarks, which the call's streaming form (search_distances) does not suit.
#pragma once

#include <map>
#include <optional>
#include <utility>

#include "paths/graph.h"
#include "paths/node_id.h"
#include "paths/search.h"

namespace dorvane {

// The fixed distances of one search by node number; always holds the source at 0.0.
using DistanceMap = std::map<NodeId, double>;

// The distances from node number `source`, which must be in the graph (a failed lookup panics
// otherwise), with a workspace of its own or with `workspace`.
std::pair<NodeId, DistanceMap> single_source_dijkstra_path_length(
    const Graph& graph, NodeId source, const std::optional<double>& cutoff);
std::pair<NodeId, DistanceMap> single_source_dijkstra_path_length(
    const Graph& graph, NodeId source, const std::optional<double>& cutoff,
    SearchWorkspace& workspace);

}  // namespace dorvane
