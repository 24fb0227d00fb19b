// The all-pairs stream gathered into one map by source, for tests and benchmarks that look at
// the whole result.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <utility>

#include "paths/all_pairs.h"
#include "paths/graph.h"
#include "paths/search.h"
#include "search_testing.h"

namespace dorvane::testing {

// Source node to the distances from it.
using AllPairsResult = std::map<NodeId, DistanceMap>;

inline AllPairsResult gather_all_pairs(const Graph& graph, const std::optional<double>& cutoff) {
  AllPairsResult result;
  compute_all_pairs(
      graph, cutoff,
      [&](NodeIndex source, std::span<const Reached> reached) {
        DistanceMap distances;
        for (const Reached& node : reached)
          distances.try_emplace(graph.node_at(node.node), node.distance);
        result.try_emplace(graph.node_at(source), std::move(distances));
        return true;
      },
      [] { return false; });
  return result;
}

}  // namespace dorvane::testing
