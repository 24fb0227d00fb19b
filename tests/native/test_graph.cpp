#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "child_process.h"
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

// A random multigraph with self loops, whose node numbers are the first `nodes` multiples of
// `spread`, modulo 2^32.
std::vector<Edge> random_multigraph(int count, NodeId nodes, NodeId spread) {
  uint64_t state = 88172645463325252ULL;
  auto next = [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<NodeId>(state % nodes) * spread;
  };
  std::vector<Edge> edges;
  for (int i = 0; i < count; ++i) {
    NodeId a = next(), b = next();
    edges.push_back({a, b, static_cast<double>(i)});
  }
  return edges;
}

// Whether `graph` holds every node of `edges` once, under its index, and for every two nodes the
// weight of the last edge between them, once in each direction.
bool holds_the_last_edges(const Graph& graph, const std::vector<Edge>& edges) {
  std::map<std::pair<NodeId, NodeId>, double> last;
  for (const Edge& edge : edges) {
    last[{edge.source, edge.target}] = edge.weight;
    last[{edge.target, edge.source}] = edge.weight;
  }
  std::size_t listed = 0;
  bool right = true;
  graph.nodes().for_each([&](NodeId node, NodeIndex index) {
    right &= graph.node_at(index) == node;
    ++listed;
  });
  std::size_t arcs = 0;
  for (NodeIndex index = 0; index < graph.node_count(); ++index) {
    std::set<NodeId> seen;
    for (const Arc& arc : graph.neighbours_at(index)) {
      const NodeId to = graph.node_at(arc.to);
      const auto found = last.find({graph.node_at(index), to});
      right &= seen.insert(to).second && found != last.end() && found->second == arc.weight;
      ++arcs;
    }
  }
  return right && listed == graph.node_count() && arcs == last.size();
}

// Small graphs are built by the calling thread alone; the tables of large ones are shared with
// the pool in pieces, with duplicates to close up across them, the node set filled meanwhile
// where node numbers are small enough to index by, or found by hashing where they are spread.
TEST(Graph, NodeSetAndAdjacencyHoldTheLastEdgesOnRandomInput) {
  for (const std::vector<Edge>& edges :
       {random_multigraph(5000, 300, 1), random_multigraph(300000, 20000, 1),
        random_multigraph(300000, 20000, 2654435761u)}) {
    EXPECT_TRUE(holds_the_last_edges(graph_of_edges(edges), edges)) << edges.size() << " edges";
  }
}

#if !defined(_WIN32)
// Whether two builds of the same edges made the same graph, up to the order of each table.
bool same_graph(const Graph& a, const Graph& b) {
  if (a.node_count() != b.node_count() || a.nodes().size() != b.nodes().size()) return false;
  bool same = true;
  b.nodes().for_each([&](NodeId node, NodeIndex index) { same &= a.node_at(index) == node; });
  auto sorted = [](std::span<const Arc> arcs) {
    std::vector<std::pair<NodeIndex, double>> list;
    for (const Arc& arc : arcs)
      list.emplace_back(arc.to, arc.weight);
    std::sort(list.begin(), list.end());
    return list;
  };
  for (NodeIndex index = 0; same && index < a.node_count(); ++index) {
    same = a.node_at(index) == b.node_at(index) &&
           sorted(a.neighbours_at(index)) == sorted(b.neighbours_at(index));
  }
  return same;
}
#endif

// A child forked at a stop check, as a signal handler run there might fork, finishes the build
// without the parent's workers, among them checks made while the pool's threads are in the middle
// of the tables.
TEST(Graph, AChildForkedDuringTheBuildFinishesItAlone) {
  if (!testing::kForkTestsSupported) GTEST_SKIP() << testing::kForkUnsupportedReason;
#if !defined(_WIN32)
  const std::vector<Edge> edges = random_multigraph(1000000, 400000, 1);
  std::size_t checks = 0;
  pid_t child = -1;
  auto build = [&](std::size_t fork_at) {
    checks = 0;
    return Graph::build(Vec<Edge>(edges.begin(), edges.end()), [&] {
      if (++checks == fork_at) child = fork();
      return false;
    });
  };
  const std::optional<Graph> reference = build(0);
  ASSERT_TRUE(reference);
  // The last checks: the build's stream polls, and the last of its first pass over the edges.
  for (std::size_t fork_at = checks, first = checks > 4 ? checks - 3 : 1; fork_at >= first;
       --fork_at) {
    child = -1;
    const std::optional<Graph> graph = build(fork_at);
    if (child == 0) _exit(graph && same_graph(*graph, *reference) ? 0 : 1);
    EXPECT_TRUE(graph && same_graph(*graph, *reference));
    // A build may check less often than the first one, in which case nothing forked.
    if (child > 0) {
      EXPECT_EQ(testing::wait_for_child(child, std::chrono::seconds(120)), 0)
          << "forked at check " << fork_at << " of " << checks;
    }
  }
#endif
}

}  // namespace
}  // namespace dorvane
