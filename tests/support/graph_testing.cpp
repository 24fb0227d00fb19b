#include "graph_testing.h"

#include "platform/memory.h"
#include "platform/panic.h"

namespace dorvane {

Graph graph_of_edges(std::span<const Edge> edges) {
  return std::move(*Graph::build(Vec<Edge>(edges.begin(), edges.end()), [] { return false; }));
}

NodeIndex index_of(const Graph& graph, NodeId node) {
  for (NodeIndex index = 0; index < graph.node_count(); ++index) {
    if (graph.node_at(index) == node) return index;
  }
  panic(kUnwrapNoneMessage);
}

}  // namespace dorvane
