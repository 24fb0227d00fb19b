#include "search_testing.h"

#include "graph_testing.h"
#include "platform/memory.h"

namespace dorvane {

std::pair<NodeId, DistanceMap> single_source_dijkstra_path_length(
    const Graph& graph, NodeId source, const std::optional<double>& cutoff) {
  SearchWorkspace workspace;
  return single_source_dijkstra_path_length(graph, source, cutoff, workspace);
}

std::pair<NodeId, DistanceMap> single_source_dijkstra_path_length(
    const Graph& graph, NodeId source, const std::optional<double>& cutoff,
    SearchWorkspace& workspace) {
  const NodeIndex index = index_of(graph, source);
  Vec<Reached> reached;
  search_distances(graph, index, cutoff, workspace, reached, [] { return false; });
  DistanceMap distances;
  for (const Reached& node : reached) {
    distances.try_emplace(graph.node_at(node.node), node.distance);
  }
  return {source, std::move(distances)};
}

}  // namespace dorvane
