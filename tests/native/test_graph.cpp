#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <span>
#include <vector>

#include "graph_testing.h"
#include "paths/graph.h"

namespace dorvane {
namespace {

// The neighbour table of `node` as an ordered map from neighbour to weight.
std::map<NodeId, double> neighbours(const Graph& graph, NodeId node) {
  std::map<NodeId, double> result;
  for (const Arc& arc : graph.neighbours_at(index_of(graph, node))) {
    EXPECT_TRUE(result.emplace(graph.node_at(arc.to), arc.weight).second) << "listed twice";
  }
  return result;
}

std::set<NodeId> node_set(const Graph& graph) {
  std::set<NodeId> nodes;
  graph.nodes().for_each([&](NodeId node, NodeIndex index) {
    EXPECT_EQ(graph.node_at(index), node);
    nodes.insert(node);
  });
  return nodes;
}

Graph graph_of(std::initializer_list<Edge> edges) {
  return graph_of_edges(std::span<const Edge>(edges.begin(), edges.size()));
}

TEST(Graph, EmptyEdgeListGivesAnEmptyGraph) {
  Graph graph = graph_of({});
  EXPECT_EQ(graph.nodes().size(), 0u);
  EXPECT_EQ(graph.node_count(), 0u);
}

TEST(Graph, ExtremeNodeNumbersAndSelfLoops) {
  Graph graph = graph_of({{0, 4294967295u, 1.5}, {4, 4, 1.0}});
  EXPECT_EQ(node_set(graph), (std::set<NodeId>{0, 4, 4294967295u}));
  EXPECT_EQ(neighbours(graph, 0), (std::map<NodeId, double>{{4294967295u, 1.5}}));
  EXPECT_EQ(neighbours(graph, 4294967295u), (std::map<NodeId, double>{{0, 1.5}}));
  EXPECT_EQ(neighbours(graph, 4), (std::map<NodeId, double>{{4, 1.0}}));
}

TEST(Graph, LastEdgeBetweenTwoNodesWinsInBothDirections) {
  Graph graph = graph_of({{1, 2, 5.0}, {2, 3, 1.0}, {2, 1, 3.0}});
  EXPECT_EQ(neighbours(graph, 1), (std::map<NodeId, double>{{2, 3.0}}));
  EXPECT_EQ(neighbours(graph, 2), (std::map<NodeId, double>{{1, 3.0}, {3, 1.0}}));
  EXPECT_EQ(neighbours(graph, 3), (std::map<NodeId, double>{{2, 1.0}}));

  Graph later = graph_of({{1, 2, 5.0}, {2, 3, 1.0}, {2, 1, 3.0}, {1, 2, 7.0}});
  EXPECT_EQ(neighbours(later, 2).at(1), 7.0) << "not the minimum: the last one";
  EXPECT_EQ(neighbours(later, 1).at(2), 7.0);
}

TEST(Graph, UnusualWeightsAreStoredUnchanged) {
  Graph graph = graph_of({{1, 2, std::nan("")}, {3, 4, -2.5}, {5, 6, INFINITY}, {7, 8, -0.0}});
  EXPECT_TRUE(std::isnan(neighbours(graph, 1).at(2)));
  EXPECT_TRUE(std::isnan(neighbours(graph, 2).at(1)));
  EXPECT_EQ(neighbours(graph, 4).at(3), -2.5);
  EXPECT_EQ(neighbours(graph, 6).at(5), INFINITY);
  EXPECT_TRUE(std::signbit(neighbours(graph, 8).at(7)));
}

TEST(Graph, NodeSetAndAdjacencyStaySymmetricOnRandomInput) {
  std::vector<Edge> edges;
  std::map<std::pair<NodeId, NodeId>, double> last;
  uint64_t state = 88172645463325252ULL;
  auto next = [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (int i = 0; i < 5000; ++i) {
    NodeId a = static_cast<NodeId>(next() % 300), b = static_cast<NodeId>(next() % 300);
    double w = static_cast<double>(i);
    edges.push_back({a, b, w});
    last[{a, b}] = w;
    last[{b, a}] = w;
  }
  Graph graph = graph_of_edges(edges);
  EXPECT_EQ(graph.nodes().size(), graph.node_count());
  for (NodeId node : node_set(graph)) {
    for (const auto& [neighbour, weight] : neighbours(graph, node)) {
      EXPECT_EQ(weight, last.at({node, neighbour}));
      EXPECT_EQ(neighbours(graph, neighbour).at(node), weight);
    }
  }
}

}  // namespace
}  // namespace dorvane
