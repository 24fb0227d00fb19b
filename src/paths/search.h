// The single-source search: Dijkstra's algorithm with an optional distance limit.
#pragma once

#include <optional>
#include <utility>

#include "paths/graph.h"
#include "paths/node_id.h"
#include "paths/node_table.h"

namespace dorvane {

// The fixed distance of every node a search reached; always holds the source at 0.0.
using DistanceMap = NodeMap<double>;

// Shortest-path lengths from `source` to every node reachable from it whose distance does not
// exceed `cutoff` (no limit when absent). `source` must be a node of `adjacency`.
//
// Panics with "Contradictory paths found: negative weights?" when a path shorter than an already
// fixed distance turns up, and with the failed-lookup message when the queue has to compare a NaN
// distance. Safe to run on many threads at once over the same adjacency map.
std::pair<NodeId, DistanceMap> single_source_dijkstra_path_length(
    const AdjacencyMap& adjacency, NodeId source, const std::optional<double>& cutoff);

}  // namespace dorvane
