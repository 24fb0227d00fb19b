#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

#include "paths/graph.h"

namespace dorvane {
namespace {

// The neighbour map of `node` as an ordered map from neighbour to weight.
std::map<NodeId, double> neighbours(const Graph& graph, NodeId node) {
  std::map<NodeId, double> result;
  const NeighbourMap* map = graph.adjacency().find(node);
  EXPECT_NE(map, nullptr) << node;
  if (map == nullptr) return result;
  map->for_each([&](NodeId neighbour, const Neighbour& entry) {
    EXPECT_EQ(graph.adjacency().node_at(entry.index), neighbour) << "stale index";
    result[neighbour] = entry.weight;
  });
  return result;
}

std::set<NodeId> node_set(const Graph& graph) {
  return std::set<NodeId>(graph.nodes().begin(), graph.nodes().end());
}

TEST(Graph, EmptyEdgeListGivesAnEmptyGraph) {
  Graph graph;
  EXPECT_EQ(graph.nodes().size(), 0u);
  EXPECT_EQ(graph.adjacency().node_count(), 0u);
  EXPECT_EQ(graph.adjacency().find(0), nullptr);
}

TEST(Graph, ExtremeNodeNumbersAndSelfLoops) {
  Graph graph;
  graph.add_edge({0, 4294967295u, 1.5});
  graph.add_edge({4, 4, 1.0});
  EXPECT_EQ(node_set(graph), (std::set<NodeId>{0, 4, 4294967295u}));
  EXPECT_EQ(neighbours(graph, 0), (std::map<NodeId, double>{{4294967295u, 1.5}}));
  EXPECT_EQ(neighbours(graph, 4294967295u), (std::map<NodeId, double>{{0, 1.5}}));
  EXPECT_EQ(neighbours(graph, 4), (std::map<NodeId, double>{{4, 1.0}}));
}

TEST(Graph, LastEdgeBetweenTwoNodesWinsInBothDirections) {
  Graph graph;
  graph.add_edge({1, 2, 5.0});
  graph.add_edge({2, 3, 1.0});
  graph.add_edge({2, 1, 3.0});
  EXPECT_EQ(neighbours(graph, 1), (std::map<NodeId, double>{{2, 3.0}}));
  EXPECT_EQ(neighbours(graph, 2), (std::map<NodeId, double>{{1, 3.0}, {3, 1.0}}));
  EXPECT_EQ(neighbours(graph, 3), (std::map<NodeId, double>{{2, 1.0}}));

  graph.add_edge({1, 2, 7.0});  // not the minimum: the last one
  EXPECT_EQ(neighbours(graph, 2).at(1), 7.0);
  EXPECT_EQ(neighbours(graph, 1).at(2), 7.0);
}

TEST(Graph, UnusualWeightsAreStoredUnchanged) {
  Graph graph;
  graph.add_edge({1, 2, std::nan("")});
  graph.add_edge({3, 4, -2.5});
  graph.add_edge({5, 6, INFINITY});
  graph.add_edge({7, 8, -0.0});
  EXPECT_TRUE(std::isnan(neighbours(graph, 1).at(2)));
  EXPECT_TRUE(std::isnan(neighbours(graph, 2).at(1)));
  EXPECT_EQ(neighbours(graph, 4).at(3), -2.5);
  EXPECT_EQ(neighbours(graph, 6).at(5), INFINITY);
  EXPECT_TRUE(std::signbit(neighbours(graph, 8).at(7)));
}

TEST(Graph, NodeSetAndAdjacencyStaySymmetricOnRandomInput) {
  Graph graph;
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
    graph.add_edge({a, b, w});
    last[{a, b}] = w;
    last[{b, a}] = w;
  }
  EXPECT_EQ(graph.nodes().size(), graph.adjacency().node_count());
  for (NodeId node : graph.nodes()) {
    for (const auto& [neighbour, weight] : neighbours(graph, node)) {
      EXPECT_EQ(weight, last.at({node, neighbour}));
      EXPECT_EQ(neighbours(graph, neighbour).at(node), weight);
    }
  }
}

}  // namespace
}  // namespace dorvane
