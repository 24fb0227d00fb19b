#include "graph_testing.h"

#include <limits>
#include <vector>

#include "paths/node_table.h"
#include "platform/memory.h"

namespace dorvane {

Graph graph_of_edges(std::span<const Edge> edges) {
  return std::move(*Graph::build(Vec<Edge>(edges.begin(), edges.end()), [] { return false; }));
}

Graph GraphTesting::graph_of_arcs(std::span<const NodeId> nodes, std::span<const OneWayArc> arcs) {
  Graph graph;
  for (NodeId node : nodes)
    graph.add_node(node);
  for (const OneWayArc& arc : arcs) {
    graph.add_node(arc.from);
    graph.add_node(arc.to);
  }
  std::vector<NodeMap<Arc>> tables;
  tables.reserve(graph.node_count());
  for (std::size_t node = 0; node < graph.node_count(); ++node)
    tables.emplace_back();
  // As in Graph::build: every weight given counts, even one that a later arc replaces.
  bool nonnegative = true;
  for (const OneWayArc& arc : arcs) {
    const NodeIndex to = *graph.nodes().find(arc.to);
    tables[*graph.nodes().find(arc.from)].insert_or_assign(arc.to, Arc{to, arc.weight});
    nonnegative &= arc.weight >= 0;
  }
  graph.offsets_.assign(1, 0);
  for (const NodeMap<Arc>& table : tables) {
    table.for_each([&](NodeId, const Arc& arc) { graph.arcs_.push_back(arc); });
    graph.offsets_.push_back(graph.arcs_.size());
  }
  graph.nonnegative_ = nonnegative && graph.arcs_.size() < std::numeric_limits<uint32_t>::max();
  return graph;
}

}  // namespace dorvane
