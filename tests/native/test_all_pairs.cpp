#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "all_pairs_testing.h"
#include "graph_testing.h"
#include "new_process.h"
#include "paths/all_pairs.h"
#include "paths/graph.h"
#include "paths/search.h"
#include "platform/panic.h"
#include "platform/platform.h"
#include "platform_testing.h"
#include "pool/worker_pool.h"
#include "pool_testing.h"
#include "search_testing.h"
#include "stderr_capture.h"

namespace dorvane {
namespace {

using testing::AllPairsResult;
using testing::gather_all_pairs;
using testing::OwnedPool;

// Runs `body(where)` on the calling thread, where a call runs on the process-wide pool, and again
// inside a job of another pool, where a call computes everything on its own thread.
template <class Body>
void on_pool_and_alone(Body body) {
  body("on the pool");
  OwnedPool owned(1);
  owned.run([&](WorkerThread&, bool) { body("alone"); });
}

Graph graph_of(std::initializer_list<Edge> edges) {
  return graph_of_edges(std::span<const Edge>(edges.begin(), edges.size()));
}

// The node set's order, which is the order in which results must arrive.
std::vector<NodeIndex> source_order(const Graph& graph) {
  std::vector<NodeIndex> order;
  graph.nodes().for_each([&](NodeId, NodeIndex index) { order.push_back(index); });
  return order;
}

// The distances of `result` for `source`, which must be present.
const DistanceMap& row(const AllPairsResult& result, NodeId source) {
  auto distances = result.find(source);
  EXPECT_NE(distances, result.end()) << "no entry for " << source;
  static const DistanceMap kEmpty;
  return distances != result.end() ? distances->second : kEmpty;
}

TEST(AllPairs, EmptyGraphGivesAnEmptyResultAndCreatesTheProcessPool) {
  EXPECT_ZERO_IN_NEW_PROCESS([] {
    platform::set_environment_variable("DORVANE_NUM_THREADS", "2");
    if (!gather_all_pairs(graph_of({}), std::nullopt).empty()) return 1;
    // The pool was made by that call: what the variable says now is not read again.
    platform::set_environment_variable("DORVANE_NUM_THREADS", "3");
    return current_thread_count() == 2 ? 0 : 2;
  });
}

TEST(AllPairs, ASingleSelfLoopReachesOnlyItself) {
  Graph graph = graph_of({{7, 7, 2.5}});
  AllPairsResult result = gather_all_pairs(graph, std::nullopt);
  ASSERT_EQ(result.size(), 1u);
  const DistanceMap& distances = row(result, 7);
  ASSERT_EQ(distances.size(), 1u);
  EXPECT_EQ(distances.at(7), 0.0);
}

TEST(AllPairs, EachSourceSeesOnlyItsOwnComponent) {
  Graph graph = graph_of({{1, 2, 1.0}, {2, 3, 2.0}, {1, 3, 5.0}, {10, 11, 0.5}});
  AllPairsResult result = gather_all_pairs(graph, std::nullopt);
  ASSERT_EQ(result.size(), 5u);
  for (NodeId source : {1u, 2u, 3u}) {
    const DistanceMap& distances = row(result, source);
    EXPECT_EQ(distances.size(), 3u);
    EXPECT_FALSE(distances.contains(10));
  }
  EXPECT_EQ(row(result, 1).at(3), 3.0);
  EXPECT_EQ(row(result, 3).at(1), 3.0);
  EXPECT_EQ(row(result, 10).size(), 2u);
  EXPECT_EQ(row(result, 11).at(10), 0.5);
  // The cutoff is shared by every search.
  AllPairsResult within = gather_all_pairs(graph, 1.5);
  EXPECT_EQ(row(within, 1).size(), 2u);
  EXPECT_EQ(row(within, 3).size(), 1u);
}

TEST(AllPairs, OneFailingSearchFailsTheWholeCall) {
  // The negative edge makes the searches of its own component fail; the rest would succeed.
  std::vector<Edge> edges;
  for (NodeId node = 0; node < 200; ++node)
    edges.push_back({node, node + 1, 1.0});
  edges.push_back({500, 501, -1.0});
  Graph graph = graph_of_edges(edges);
  on_pool_and_alone([&](const char* where) {
    try {
      gather_all_pairs(graph, std::nullopt);
      ADD_FAILURE() << "no panic " << where;
    } catch (const Panic& panic) {
      EXPECT_EQ(panic.message(), "Contradictory paths found: negative weights?");
    }
  });
}

// The message of the panic that `compute_all_pairs` raises, or "" when it returns.
std::string failure_of(const Graph& graph) {
  try {
    gather_all_pairs(graph, std::nullopt);
  } catch (const Panic& failure) {
    return std::string(failure.message());
  }
  return "";
}

TEST(AllPairs, TheFailureRaisedAndReportedIsTheLowestPositions) {
  // Two components of 25 random node numbers each: one whose searches may fail on a NaN weight,
  // one whose searches fail on a negative weight. Which message wins depends on which failing
  // source comes first in the node set's order.
  const std::string kNan(kUnwrapNoneMessage);
  const std::string kNegative = "Contradictory paths found: negative weights?";
  std::mt19937_64 random(7);
  std::uniform_int_distribution<NodeId> any_node(0, 1'000'000);
  std::size_t wins_of_nan = 0, wins_of_negative = 0;
  // Which kind wins a trial follows the node set's hash key, fresh in every process: a NaN wins
  // about a quarter of them, so that both kinds win several times in any run.
  for (int trial = 0; trial < 120; ++trial) {
    std::vector<Edge> edges;
    for (const double odd_weight : {std::nan(""), -0.5}) {
      std::vector<NodeId> nodes(25);
      for (NodeId& node : nodes)
        node = any_node(random);
      auto node = [&] { return nodes[random() % nodes.size()]; };
      for (int i = 0; i < 50; ++i)
        edges.push_back({node(), node(), 1.0 + static_cast<double>(random() % 3)});
      edges.push_back({node(), node(), odd_weight});
    }
    Graph graph = graph_of_edges(edges);
    // The reference: the first failure among the single searches, in the node set's order.
    std::string expected;
    {
      testing::StderrCapture discarded;
      for (NodeIndex source : source_order(graph)) {
        try {
          single_source_dijkstra_path_length(graph, graph.node_at(source), std::nullopt);
        } catch (const Panic& failure) {
          expected = failure.message();
          break;
        }
      }
    }
    if (expected.empty()) continue;
    (expected == kNan ? wins_of_nan : wins_of_negative)++;
    on_pool_and_alone([&](const char* where) {
      testing::StderrCapture capture;
      EXPECT_EQ(failure_of(graph), expected) << "trial " << trial << " " << where;
      const std::string written = capture.finish();
      EXPECT_EQ(testing::count_of(written, "panicked at"), 1u) << "trial " << trial;
      EXPECT_TRUE(written.ends_with(":\n" + expected + "\n")) << written;
    });
  }
  EXPECT_GT(wins_of_nan, 2u);
  EXPECT_GT(wins_of_negative, 2u);
}

TEST(AllPairs, OneEntryPerNodeOnThePoolAndAlone) {
  std::mt19937_64 random(99);
  std::uniform_int_distribution<NodeId> node(0, 299);
  std::uniform_real_distribution<double> weight(0.01, 1.0);
  std::vector<Edge> edges;
  for (int i = 0; i < 900; ++i)
    edges.push_back({node(random) * 7, node(random) * 7, weight(random)});
  // The first source reaching a single other node, and every later one 600: the blocks sized
  // after the first outgrow their memory, and the call goes on one source at a time.
  std::vector<Edge> pair_then_path{{5000, 5001, 1.0}};
  for (NodeId node = 0; node < 600; ++node)
    pair_then_path.push_back({node, node + 1, 0.5});

  for (const std::vector<Edge>* list : {&edges, &pair_then_path}) {
    Graph graph = graph_of_edges(*list);
    on_pool_and_alone([&](const char* where) {
      AllPairsResult result = gather_all_pairs(graph, std::nullopt);
      ASSERT_EQ(result.size(), graph.node_count()) << where;
      for (NodeIndex index = 0; index < graph.node_count(); ++index) {
        const NodeId source = graph.node_at(index);
        EXPECT_EQ(row(result, source),
                  single_source_dijkstra_path_length(graph, source, std::nullopt).second);
      }
    });
  }
}

Graph path_graph(NodeId length, double weight) {
  std::vector<Edge> edges;
  for (NodeId node = 0; node < length; ++node)
    edges.push_back({node, node + 1, weight});
  return graph_of_edges(edges);
}

TEST(AllPairsStream, ResultsArriveInIndexOrderEachOnceWithTheirOwnContent) {
  // Many more sources than results may wait at once, so the slots are reused many times over;
  // every source reaches different nodes, so a result read from the wrong slot shows.
  constexpr NodeId kLength = 20000;
  Graph graph = path_graph(kLength, 1.0);
  std::vector<NodeIndex> expected_order(graph.node_count());
  for (NodeIndex index = 0; index < graph.node_count(); ++index)
    expected_order[index] = index;
  on_pool_and_alone([&](const char* where) {
    std::vector<NodeIndex> seen;
    std::size_t wrong = 0;
    bool complete = compute_all_pairs(
        graph, 2.5,
        [&](NodeIndex source, std::span<const Reached> reached) {
          seen.push_back(source);
          const NodeId node = graph.node_at(source);
          // Within the cutoff: itself and up to two steps either way, each at its distance.
          const std::size_t expected =
              1 + std::min<NodeId>(node, 2) + std::min<NodeId>(kLength - node, 2);
          wrong += reached.size() != expected;
          for (const Reached& other : reached) {
            const NodeId at = graph.node_at(other.node);
            const double steps = at > node ? at - node : node - at;
            wrong += steps > 2 || other.distance != steps;
          }
          return true;
        },
        [] { return false; });
    EXPECT_TRUE(complete);
    EXPECT_EQ(wrong, 0u) << where;
    EXPECT_EQ(seen, expected_order) << where;
  });
}

TEST(AllPairsStream, StopsWhenTheConsumerSaysSo) {
  Graph graph = path_graph(3000, 1.0);
  std::size_t consumed = 0;
  bool complete = compute_all_pairs(
      graph, std::nullopt, [&](NodeIndex, std::span<const Reached>) { return ++consumed < 10; },
      [] { return false; });
  EXPECT_FALSE(complete);
  EXPECT_EQ(consumed, 10u) << "nothing is consumed after a refusal";

  // The pool serves the next computation as usual.
  EXPECT_EQ(gather_all_pairs(graph, 0.5).size(), 3001u);
}

TEST(AllPairsStream, TheFirstFailingSourceOfTheNodeSetWinsAndNothingIsConsumedAfterAFailure) {
  // Sources of two components fail, with different messages (a contradiction in one, a NaN
  // comparison in the other), so the raised message tells which source won: the first failing
  // one in the node set's order, whatever the order in which the searches run.
  std::vector<Edge> edges;
  for (NodeId node = 0; node < 300; ++node)
    edges.push_back({node, node + 1, 1.0});
  edges.push_back({1000, 1001, -1.0});
  edges.push_back({2000, 2001, std::nan("")});
  edges.push_back({2000, 2002, 1.0});
  Graph graph = graph_of_edges(edges);
  const std::vector<NodeIndex> order = source_order(graph);
  std::string expected_message;
  {
    testing::StderrCapture discarded;
    for (NodeIndex source : order) {
      try {
        single_source_dijkstra_path_length(graph, graph.node_at(source), std::nullopt);
      } catch (const Panic& panic) {
        expected_message = panic.message();
        break;
      }
    }
  }
  // The path's nodes come first in the edge list, so their indices are below every failing one.
  const NodeIndex first_failing_index = index_of(graph, 1000);
  ASSERT_FALSE(expected_message.empty());
  on_pool_and_alone([&](const char* where) {
    std::vector<NodeIndex> seen;
    testing::StderrCapture capture;
    try {
      compute_all_pairs(
          graph, std::nullopt,
          [&](NodeIndex source, std::span<const Reached>) {
            seen.push_back(source);
            return true;
          },
          [] { return false; });
      ADD_FAILURE() << "no panic " << where;
    } catch (const Panic& panic) {
      EXPECT_EQ(panic.message(), expected_message);
    }
    EXPECT_EQ(testing::count_of(capture.finish(), "panicked at"), 1u);
    // Sources are consumed in index order, and none after a failure.
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    for (NodeIndex source : seen)
      EXPECT_LT(source, first_failing_index);
  });
}

TEST(AllPairsStream, AComputationInsideTheConsumerRunsOnTheSamePool) {
  // A signal handler or a finalizer may call the function again while the calling thread is
  // consuming: the workers must not be held by the outer computation meanwhile.
  Graph outer = path_graph(2000, 1.0);
  Graph inner = path_graph(1500, 0.5);
  on_pool_and_alone([&](const char* where) {
    std::size_t nested = 0;
    bool complete = compute_all_pairs(
        outer, std::nullopt,
        [&](NodeIndex source, std::span<const Reached>) {
          if (source % 397 == 0) nested += gather_all_pairs(inner, std::nullopt).size();
          return true;
        },
        [] { return false; });
    EXPECT_TRUE(complete) << where;
    EXPECT_EQ(nested, 6u * 1501u) << where;
  });
}

}  // namespace
}  // namespace dorvane
