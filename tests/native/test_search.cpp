#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "graph_testing.h"
#include "paths/graph.h"
#include "paths/search.h"
#include "paths/search_queue.h"
#include "paths/table_key.h"
#include "platform/panic.h"
#include "search_testing.h"

namespace dorvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const std::string kContradiction = "Contradictory paths found: negative weights?";
const std::string kUnwrapNone(kUnwrapNoneMessage);

Graph undirected(std::initializer_list<Edge> edges) {
  return graph_of_edges(std::span<const Edge>(edges.begin(), edges.size()));
}

// A search with a workspace of its own, or with `workspace`, kept by the caller across searches.
DistanceMap search(const Graph& graph, NodeId source, std::optional<double> cutoff = std::nullopt,
                   SearchWorkspace* workspace = nullptr) {
  SearchWorkspace own;
  auto [node, distances] =
      single_source_dijkstra_path_length(graph, source, cutoff, workspace ? *workspace : own);
  EXPECT_EQ(node, source);
  return distances;
}

std::string failure(const Graph& graph, NodeId source,
                    std::optional<double> cutoff = std::nullopt) {
  try {
    single_source_dijkstra_path_length(graph, source, cutoff);
  } catch (const Panic& panic) {
    return std::string(panic.message());
  }
  return "no failure";
}

using Distances = DistanceMap;

TEST(Search, SelfLoopsAndTheCutoffComesBeforeTheContradictionTest) {
  EXPECT_EQ(search(undirected({{7, 7, 1.0}}), 7), (Distances{{7, 0.0}}));
  Graph negative_loop = undirected({{7, 7, -1.0}});
  EXPECT_EQ(failure(negative_loop, 7), kContradiction);
  // The candidate -1.0 exceeds the cutoff -2.0 and is dropped before it meets the fixed source.
  EXPECT_EQ(search(negative_loop, 7, -2.0), (Distances{{7, 0.0}}));
}

TEST(Search, CutoffBoundaries) {
  Graph pair = undirected({{0, 1, 2.0}});
  EXPECT_EQ(search(pair, 0, 2.0), (Distances{{0, 0.0}, {1, 2.0}})) << "equal to the cutoff stays";
  EXPECT_EQ(search(pair, 0, 1.999), (Distances{{0, 0.0}}));
  EXPECT_EQ(search(pair, 0, -1.0), (Distances{{0, 0.0}})) << "the source is never cut off";
  EXPECT_EQ(search(pair, 0, kNaN), (Distances{{0, 0.0}, {1, 2.0}})) << "NaN is no limit";
  EXPECT_EQ(search(pair, 0, kInf), (Distances{{0, 0.0}, {1, 2.0}}));

  Graph zero = undirected({{0, 1, 0.0}});
  EXPECT_EQ(search(zero, 0), (Distances{{0, 0.0}, {1, 0.0}}));
  EXPECT_EQ(search(zero, 0, -0.0), (Distances{{0, 0.0}, {1, 0.0}})) << "0.0 > -0.0 is false";

  Graph infinite = undirected({{0, 1, kInf}});
  EXPECT_EQ(search(infinite, 0), (Distances{{0, 0.0}, {1, kInf}}));
  EXPECT_EQ(search(infinite, 0, 1e308), (Distances{{0, 0.0}}));
}

TEST(Search, NaNDistancesFailOnlyWhenTheQueueComparesThem) {
  // One NaN entry alone in the queue is never compared.
  auto lone = search(undirected({{0, 1, kNaN}}), 0);
  ASSERT_EQ(lone.size(), 2u);
  EXPECT_EQ(lone.at(0), 0.0);
  EXPECT_TRUE(std::isnan(lone.at(1)));
  // A second entry is compared with the NaN one on its push, whichever neighbour comes first.
  for (int attempt = 0; attempt < 20; ++attempt) {  // fresh hash keys, so both visiting orders
    EXPECT_EQ(failure(undirected({{0, 1, kNaN}, {0, 2, 1.0}}), 0), kUnwrapNone);
    // A NaN candidate for a node already queued is no improvement, so it is never pushed (and
    // never compared); nor does it contradict a fixed node.
    EXPECT_EQ(search(undirected({{0, 1, 1.0}, {0, 2, 0.5}, {2, 1, kNaN}}), 0),
              (Distances{{0, 0.0}, {1, 1.0}, {2, 0.5}}));
  }
}

TEST(Search, NegativeWeightsFailAgainstFixedNodes) {
  // Node 2 is fixed at 0.5 and offers node 1, fixed at 1.0, the candidate 0.0.
  EXPECT_EQ(failure(undirected({{0, 1, 1.0}, {1, 2, -0.5}}), 0), kContradiction);
  // Node 1 is fixed at -1.0 and offers the source the candidate -2.0.
  EXPECT_EQ(failure(undirected({{0, 1, -1.0}}), 0), kContradiction);
}

TEST(Search, ReachesExactlyItsOwnComponent) {
  Graph two = undirected({{1, 2, 1.0}, {2, 3, 1.5}, {10, 11, 4.0}});
  EXPECT_EQ(search(two, 1), (Distances{{1, 0.0}, {2, 1.0}, {3, 2.5}}));
  EXPECT_EQ(search(two, 11), (Distances{{10, 4.0}, {11, 0.0}}));
}

TEST(Search, UnknownSourceIsABrokenInvariant) {
  Graph graph = undirected({{1, 2, 1.0}});
  SearchWorkspace workspace;
  Vec<Reached> reached;
  try {
    search_distances(graph, 2, std::nullopt, workspace, reached, [] { return false; });
    ADD_FAILURE() << "no panic";
  } catch (const Panic& panic) {
    EXPECT_EQ(panic.message(), kUnwrapNone);
  }
}

// Reference: Bellman-Ford-style relaxation to a fixed point, valid for non-negative weights.
Distances reference_distances(const std::vector<Edge>& edges, NodeId source,
                              std::optional<double> cutoff) {
  std::map<std::pair<NodeId, NodeId>, double> weight;
  for (const Edge& e : edges) {
    weight[{e.source, e.target}] = e.weight;
    weight[{e.target, e.source}] = e.weight;
  }
  Distances best{{source, 0.0}};
  for (bool changed = true; changed;) {
    changed = false;
    for (const auto& [arc, w] : weight) {
      auto from = best.find(arc.first);
      if (from == best.end()) continue;
      double candidate = from->second + w;
      if (cutoff && candidate > *cutoff) continue;
      auto to = best.find(arc.second);
      if (to == best.end() || candidate < to->second) {
        best[arc.second] = candidate;
        changed = true;
      }
    }
  }
  return best;
}

TEST(Search, MatchesAReferenceOnRandomGraphs) {
  std::mt19937 random(2024);
  for (int trial = 0; trial < 40; ++trial) {
    std::uniform_int_distribution<NodeId> node(0, 30);
    // Few distinct weights, so that equal distances and ties are common.
    std::uniform_int_distribution<int> weight(0, 4);
    std::vector<Edge> edges;
    for (int i = 0; i < 60; ++i) {
      edges.push_back(Edge{node(random), node(random), weight(random) * 0.5});
    }
    Graph graph = graph_of_edges(edges);
    std::optional<double> cutoff;
    if (trial % 2) cutoff = 1.5;
    for (const Edge& e : edges) {
      ASSERT_EQ(search(graph, e.source, cutoff), reference_distances(edges, e.source, cutoff))
          << "trial " << trial << " source " << e.source;
    }
  }
}

TEST(Search, DrawsATableKeyForItsResult) {
  // The order of a search's result is that of a distance table with a key of its own, drawn on
  // the thread that searches; the tentative distances live in an array and take none.
  Graph pair = undirected({{0, 1, 1.0}});
  SearchWorkspace workspace;
  Vec<Reached> reached;
  SipKey before = next_table_key();
  search_distances(pair, 0, std::nullopt, workspace, reached, [] { return false; });
  SipKey after = next_table_key();
  EXPECT_EQ(after.k0, before.k0 + 2);
  EXPECT_EQ(after.k1, before.k1);
}

// The search transcribed over ordered maps of tentative and fixed distances, with a queue that is
// a list scanned for its highest-priority entry. Sequence numbers are distinct, so the order is
// total and any correct heap pops the same entries. A NaN distance fails the first comparison it
// meets, so it can only ever sit alone in the queue: a push onto a non-empty queue with a NaN on
// either side is exactly where the heap fails.
struct Outcome {
  Distances distances;
  std::string failure;
};

Outcome reference_search(const Graph& graph, NodeId source, std::optional<double> cutoff) {
  struct Entry {
    double distance;
    uint32_t sequence;
    NodeId node;
  };
  Distances fixed;
  Distances tentative{{source, 0.0}};
  std::vector<Entry> queue{{0.0, 0, source}};
  uint32_t counter = 1;
  while (!queue.empty()) {
    auto top = std::min_element(queue.begin(), queue.end(), [](const Entry& a, const Entry& b) {
      return std::tie(a.distance, a.sequence, a.node) < std::tie(b.distance, b.sequence, b.node);
    });
    const Entry entry = *top;
    queue.erase(top);
    if (fixed.contains(entry.node)) continue;
    fixed[entry.node] = entry.distance;
    for (const Arc& arc : graph.neighbours_at(index_of(graph, entry.node))) {
      const NodeId neighbour = graph.node_at(arc.to);
      const double candidate = fixed.at(entry.node) + arc.weight;
      if (cutoff && candidate > *cutoff) continue;
      if (auto known = fixed.find(neighbour); known != fixed.end()) {
        if (known->second > candidate) return {{}, kContradiction};
        continue;
      }
      auto queued = tentative.find(neighbour);
      if (queued == tentative.end() || queued->second > candidate) {
        if (!queue.empty() && (std::isnan(candidate) || std::isnan(queue.front().distance))) {
          return {{}, kUnwrapNone};
        }
        tentative[neighbour] = candidate;
        queue.push_back({candidate, counter++, neighbour});
      }
    }
  }
  return {fixed, ""};
}

bool same_bits(const Distances& a, const Distances& b) {
  if (a.size() != b.size()) return false;
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
    if (i->first != j->first) return false;
    if (std::isnan(i->second) != std::isnan(j->second)) return false;
    if (!std::isnan(i->second) &&
        (i->second != j->second || std::signbit(i->second) != std::signbit(j->second))) {
      return false;
    }
  }
  return true;
}

TEST(Search, WorkingStateCarriesNothingBetweenSearchesOrGraphs) {
  // Graphs of very different sizes searched in random interleaving with one workspace (so its
  // arrays grow and hold stale entries of other graphs), with weights and cutoffs that make many
  // searches fail midway. Each outcome must equal the transcription's.
  std::mt19937 random(31337);
  const double usual[] = {0.0, -0.0, 0.5, 1.0, 1.5, 2.0, 3.0};
  const double unusual[] = {-0.5, -1.0, kNaN, kInf, -kInf};
  auto make = [&](NodeId nodes, int edge_count, double unusual_rate) {
    std::vector<Edge> edges;
    std::uniform_int_distribution<NodeId> node(0, nodes - 1);
    std::bernoulli_distribution odd(unusual_rate);
    for (int i = 0; i < edge_count; ++i) {
      NodeId a = node(random) * 2654435761u, b = node(random) * 2654435761u;
      double weight = odd(random) ? unusual[random() % 5] : usual[random() % 7];
      edges.push_back({a, b, weight});
    }
    return graph_of_edges(edges);
  };
  std::vector<Graph> graphs;
  graphs.push_back(make(1, 1, 0.5));
  graphs.push_back(make(8, 12, 0.15));
  graphs.push_back(make(60, 120, 0.05));
  graphs.push_back(make(3000, 6000, 0.001));
  const std::optional<double> cutoffs[] = {std::nullopt, 1.5, 3.0, -0.0, -1.0, kNaN, kInf};
  SearchWorkspace workspace;
  int failed = 0, succeeded = 0;
  for (int trial = 0; trial < 600; ++trial) {
    const Graph& graph = graphs[trial % 50 == 0 ? 3 : random() % 3];
    NodeId source = graph.node_at(static_cast<NodeIndex>(random() % graph.node_count()));
    std::optional<double> cutoff = cutoffs[random() % 7];
    Outcome expected = reference_search(graph, source, cutoff);
    Outcome actual;
    try {
      actual.distances = search(graph, source, cutoff, &workspace);
    } catch (const Panic& panic) {
      actual.failure = panic.message();
    }
    ASSERT_EQ(actual.failure, expected.failure) << "trial " << trial;
    ASSERT_TRUE(same_bits(actual.distances, expected.distances)) << "trial " << trial;
    (expected.failure.empty() ? succeeded : failed)++;
  }
  EXPECT_GT(failed, 50);
  EXPECT_GT(succeeded, 50);
}

TEST(Search, TheMonotoneSearchAgreesWithTheExactOne) {
  // Graphs without negative or NaN weights take the monotone search; the same graph with one
  // negative edge apart, which no search from its nodes reaches, takes the exact one, and must fix
  // the same nodes at the same distances (which, with such weights, do not depend on the order in
  // which each graph visits its edges). Few distinct weights, zeros among them, make ties common;
  // the denser graphs' frontiers outgrow the monotone queue's first array, the sparser ones not.
  std::mt19937 random(8128);
  const double weights[] = {0.0, -0.0, 0.5, 1.0, 1.0, 2.0, kInf, 1e308};
  // -0.0 keeps the zero candidates; 1e308 keeps a candidate of 1e308 but not one of +inf.
  const std::optional<double> cutoffs[] = {std::nullopt, 1.5, 0.0, -0.0, -1.0, kNaN, kInf, 1e308};
  int compared = 0;
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<Edge> edges;
    const NodeId nodes = 2 + random() % 40;
    for (int i = 0, count = 1 + static_cast<int>(random() % 120); i < count; ++i) {
      edges.push_back({static_cast<NodeId>(random() % nodes), static_cast<NodeId>(random() % nodes),
                       weights[random() % (trial % 5 == 0 ? 8 : 5)]});
    }
    Graph graph = graph_of_edges(edges);
    ASSERT_TRUE(graph.nonnegative()) << "trial " << trial;
    edges.push_back({1000, 1001, -1.0});
    Graph exact_graph = graph_of_edges(edges);
    ASSERT_FALSE(exact_graph.nonnegative());
    const std::optional<double> cutoff = cutoffs[trial % std::size(cutoffs)];
    SearchWorkspace monotone, exact;
    graph.nodes().for_each([&](NodeId source, NodeIndex) {
      Distances expected = search(exact_graph, source, cutoff, &exact);
      ASSERT_TRUE(same_bits(search(graph, source, cutoff, &monotone), expected))
          << "trial " << trial << " source " << source;
      ++compared;
    });
  }
  EXPECT_GT(compared, 3000);
}

TEST(Search, OnlyGraphsWithoutNegativeOrNaNWeightsTakeTheMonotoneSearch) {
  EXPECT_TRUE(undirected({{0, 1, 1.0}, {1, 2, kInf}, {2, 3, -0.0}, {3, 4, 0.0}}).nonnegative());
  EXPECT_FALSE(undirected({{0, 1, 1.0}, {1, 2, -1e-300}}).nonnegative());
  EXPECT_FALSE(undirected({{0, 1, -kInf}}).nonnegative());
  EXPECT_FALSE(undirected({{0, 1, kNaN}}).nonnegative());
  // A weight replaced by a later edge still counts: the test looks at every weight given.
  EXPECT_FALSE(undirected({{0, 1, -1.0}, {0, 1, 1.0}}).nonnegative());
}

TEST(Search, AMonotoneSearchThatStopsEarlyLeavesItsWorkspaceClean) {
  // The monotone search puts back what it changed; one that stops midway must put back all of it,
  // or the next search on the workspace would see stale distances.
  std::vector<Edge> edges;
  for (NodeId node = 0; node < 5000; ++node)
    edges.push_back({node, node + 1, 1.0});
  Graph graph = graph_of_edges(edges);
  SearchWorkspace workspace;
  Vec<Reached> reached;
  int checks = 0;
  EXPECT_FALSE(
      search_distances(graph, 0, std::nullopt, workspace, reached, [&] { return ++checks == 2; }));
  EXPECT_EQ(search(graph, 2500, std::nullopt, &workspace).size(), 5001u);
  EXPECT_EQ(search(graph, 0, 3.0, &workspace), (Distances{{0, 0.0}, {1, 1.0}, {2, 2.0}, {3, 3.0}}));
}

// The queue on its own: order, ties, and which pairs it compares.
class SearchQueueTest : public ::testing::Test {
 protected:
  // Nodes 0 to 7 at indices 0 to 7.
  SearchQueueTest()
      : graph_(undirected({{0, 1, 1.0}, {2, 3, 1.0}, {4, 5, 1.0}, {6, 7, 1.0}})), order_(graph_) {}
  Graph graph_;
  PriorityOrder order_;
  SearchQueue queue_;
};

TEST_F(SearchQueueTest, EqualDistancesComeOutInPushOrderThenByNode) {
  uint32_t sequence = 0;
  for (NodeIndex index : {5, 3, 7, 1})
    queue_.push({1.0, sequence++, index}, order_);
  queue_.push({0.5, sequence++, 6}, order_);
  queue_.push({1.0, 2, 0}, order_);  // same distance and sequence as node 7: the node decides
  std::vector<NodeIndex> popped;
  while (!queue_.empty())
    popped.push_back(queue_.pop(order_).index);
  EXPECT_EQ(popped, (std::vector<NodeIndex>{6, 5, 3, 0, 7, 1}));
}

TEST_F(SearchQueueTest, SortsLikeTheDefinedOrder) {
  std::mt19937 random(99);
  std::vector<std::tuple<double, uint32_t, NodeIndex>> expected;
  for (uint32_t sequence = 0; sequence < 500; ++sequence) {
    double distance = static_cast<double>(random() % 20);
    NodeIndex index = random() % 8;
    queue_.push({distance, sequence, index}, order_);
    expected.emplace_back(distance, sequence, index);
    if (sequence % 3 == 0) {  // interleave pops with pushes
      std::sort(expected.begin(), expected.end());
      QueueEntry top = queue_.pop(order_);
      EXPECT_EQ(std::make_tuple(top.distance, top.sequence, top.index), expected.front());
      expected.erase(expected.begin());
    }
  }
  std::sort(expected.begin(), expected.end());
  for (const auto& entry : expected) {
    QueueEntry top = queue_.pop(order_);
    EXPECT_EQ(std::make_tuple(top.distance, top.sequence, top.index), entry);
  }
}

TEST_F(SearchQueueTest, ComparesNothingWithAtMostTwoEntries) {
  queue_.push({kNaN, 0, 1}, order_);  // onto an empty queue: no comparison
  EXPECT_TRUE(std::isnan(queue_.pop(order_).distance));
  queue_.push({kNaN, 1, 1}, order_);
  EXPECT_THROW(queue_.push({1.0, 2, 2}, order_), Panic) << "the push compares with the NaN";
}

}  // namespace
}  // namespace dorvane
