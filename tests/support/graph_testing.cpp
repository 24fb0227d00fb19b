#include "graph_testing.h"

#include "platform/memory.h"

namespace dorvane {

Graph graph_of_edges(std::span<const Edge> edges) {
  return std::move(*Graph::build(Vec<Edge>(edges.begin(), edges.end()), [] { return false; }));
}

}  // namespace dorvane
