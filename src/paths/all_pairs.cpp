#include "paths/all_pairs.h"

#include <utility>

#include "platform/memory.h"
#include "pool/collect.h"

namespace dorvane {

AllPairsResult compute_all_pairs(const Graph& graph, const std::optional<double>& cutoff) {
  // The sources in the node set's order; a source's index here is its position.
  Vec<NodeId> sources;
  sources.reserve(graph.nodes().size());
  for (NodeId node : graph.nodes())
    sources.push_back(node);

  // Searches share the adjacency map and the cutoff read-only; each owns what it writes.
  const AdjacencyMap& adjacency = graph.adjacency();
  Vec<std::pair<NodeId, DistanceMap>> searched;
  collect_in_order(
      std::move(sources),
      [&adjacency, &cutoff](NodeId source) {
        return single_source_dijkstra_path_length(adjacency, source, cutoff);
      },
      searched);

  AllPairsResult result;
  result.reserve(searched.size());
  // Sources are distinct, so no insertion meets a key already present.
  for (auto& [source, distances] : searched)
    result.insert_new(source, std::move(distances));
  return result;
}

}  // namespace dorvane
