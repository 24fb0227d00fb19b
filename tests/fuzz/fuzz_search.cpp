// Fuzz target: graph building, the single-source search and the all-pairs driver, against small
// references written here.
//
// The input is a graph of up to 10 nodes (numbers from a pool of edge cases or raw) and up to 24
// edges whose weights come from a palette of edge cases (zeros of both signs, tiny, huge and
// infinite values, NaN, negatives) or are raw doubles, and an optional cutoff chosen the same
// way. The native results must agree with:
//
//  - the graph model: the node set is the set of endpoints; each node's neighbours are the nodes
//    it shares an edge with, at the weight of the last such edge, bit for bit;
//  - a literal model of the search (label setting with the binary heap, its comparison order
//    and its failures) that visits neighbours in the order the native graph gives: every
//    distance bit for bit, or the same failure message, from every source, NaN and negative
//    weights included;
//  - relaxation to a fixed point, which knows nothing of queues or orders, whenever no weight is
//    negative or NaN: the search must succeed with exactly those distances;
//  - whenever the weights are small multiples of 1/4 (so that every sum is exact), the failure
//    set of negative weights: a search fails, with the contradiction, exactly when some node
//    that the non-negative edges reach within the cutoff has a negative edge that the cutoff
//    lets through; otherwise the negative edges change nothing;
//  - the all-pairs driver: every source's search, or the failure of the first failing source in
//    the node set's order.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "all_pairs_testing.h"
#include "graph_testing.h"
#include "paths/graph.h"
#include "paths/search.h"
#include "platform/panic.h"
#include "search_testing.h"

namespace {

using dorvane::Edge;
using dorvane::NodeId;
using Cutoff = std::optional<double>;
using Distances = std::map<NodeId, double>;

// What a search (or a whole call) ends with: distances, or the message of its panic.
struct Outcome {
  bool failed = false;
  std::string message;
  Distances distances;
};

// ---- The native API, all of it used here: port this block when the API changes. ------------
namespace native {

using Graph = dorvane::Graph;

Graph build(const std::vector<Edge>& edges) {
  return dorvane::graph_of_edges(edges);
}

// The sources of a call, in the order that decides which failure wins.
std::vector<NodeId> source_order(const Graph& graph) {
  std::vector<NodeId> nodes;
  graph.nodes().for_each([&](NodeId node, dorvane::NodeIndex) { nodes.push_back(node); });
  return nodes;
}

// A node's neighbours with their weights, in the order in which the search visits them.
std::vector<std::pair<NodeId, double>> neighbours(const Graph& graph, NodeId node) {
  std::vector<std::pair<NodeId, double>> result;
  for (const dorvane::Arc& arc : graph.neighbours_at(dorvane::index_of(graph, node))) {
    result.emplace_back(graph.node_at(arc.to), arc.weight);
  }
  return result;
}

template <class F>
Outcome catching_panics(F&& run) {
  Outcome outcome;
  try {
    run(outcome.distances);
  } catch (const dorvane::Panic& panic) {
    outcome = Outcome{true, std::string(panic.message()), {}};
  }
  return outcome;
}

Outcome search(const Graph& graph, NodeId source, const Cutoff& cutoff) {
  return catching_panics([&](Distances& distances) {
    auto [from, found] = dorvane::single_source_dijkstra_path_length(graph, source, cutoff);
    if (from != source) std::abort();
    distances = std::move(found);
  });
}

// Every source's distances, keyed by source, or the panic that ended the computation.
struct AllPairsOutcome {
  bool failed = false;
  std::string message;
  std::map<NodeId, Distances> distances;
};

AllPairsOutcome all_pairs(const Graph& graph, const Cutoff& cutoff) {
  AllPairsOutcome outcome;
  try {
    outcome.distances = dorvane::testing::gather_all_pairs(graph, cutoff);
  } catch (const dorvane::Panic& panic) {
    outcome = AllPairsOutcome{true, std::string(panic.message()), {}};
  }
  return outcome;
}

}  // namespace native
// ---------------------------------------------------------------------------------------------

constexpr const char* kContradiction = "Contradictory paths found: negative weights?";
constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stdout, "search disagrees with its reference: %s\n", what.c_str());
  std::fflush(stdout);
  std::abort();
}

bool same_double(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) ||
         std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

bool same_distances(const Distances& a, const Distances& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](auto& x, auto& y) {
           return x.first == y.first && same_double(x.second, y.second);
         });
}

void expect_same(const Outcome& native, const Outcome& reference, const std::string& what) {
  if (native.failed != reference.failed || native.message != reference.message ||
      !same_distances(native.distances, reference.distances)) {
    fail(what + ": native " + (native.failed ? native.message : "succeeded") + ", reference " +
         (reference.failed ? reference.message : "succeeded"));
  }
}

// The graph as the edge list defines it: each unordered pair's last weight.
struct Model {
  std::set<NodeId> nodes;
  std::map<std::pair<NodeId, NodeId>, double> weights;  // both directions; a self-loop once

  explicit Model(const std::vector<Edge>& edges) {
    for (const Edge& edge : edges) {
      nodes.insert(edge.source);
      nodes.insert(edge.target);
      weights[{edge.source, edge.target}] = edge.weight;
      weights[{edge.target, edge.source}] = edge.weight;
    }
  }
};

// ---- The search, step by step as specified: tentative map, push counter, and a binary heap
// whose comparisons fail on a NaN. Neighbours come in the order given.
struct ModelFailure {
  std::string message;
};

struct Entry {
  double distance;
  uint32_t sequence;
  NodeId node;
};

bool higher(const Entry& a, const Entry& b) {
  if (a.distance < b.distance) return true;
  if (a.distance > b.distance) return false;
  if (a.distance != b.distance) throw ModelFailure{kUnwrapNone};
  if (a.sequence != b.sequence) return a.sequence < b.sequence;
  return a.node < b.node;
}

struct Heap {
  std::vector<Entry> items;

  void sift_up(std::size_t i, Entry entry) {
    while (i > 0 && higher(entry, items[(i - 1) / 2])) {
      items[i] = items[(i - 1) / 2];
      i = (i - 1) / 2;
    }
    items[i] = entry;
  }
  void push(Entry entry) {
    items.push_back(entry);
    sift_up(items.size() - 1, entry);
  }
  Entry pop() {
    Entry last = items.back();
    items.pop_back();
    if (items.empty()) return last;
    Entry top = items[0];
    std::size_t hole = 0;
    while (2 * hole + 2 < items.size()) {  // two children: promote the higher, right on a tie
      std::size_t left = 2 * hole + 1;
      std::size_t child = higher(items[left], items[left + 1]) ? left : left + 1;
      items[hole] = items[child];
      hole = child;
    }
    if (2 * hole + 1 == items.size() - 1) {  // a lone last child moves up uncompared
      items[hole] = items[2 * hole + 1];
      hole = 2 * hole + 1;
    }
    sift_up(hole, last);
    return top;
  }
};

template <class Neighbours>
Outcome model_search(const Neighbours& neighbours_of, NodeId source, const Cutoff& cutoff) {
  Distances fixed;
  std::map<NodeId, double> tentative{{source, 0.0}};
  Heap heap;
  heap.push({0.0, 0, source});
  uint32_t counter = 1;
  try {
    while (!heap.items.empty()) {
      Entry entry = heap.pop();
      if (fixed.contains(entry.node)) continue;
      fixed[entry.node] = entry.distance;
      for (auto [neighbour, weight] : neighbours_of(entry.node)) {
        double candidate = entry.distance + weight;
        if (cutoff && candidate > *cutoff) continue;
        if (auto done = fixed.find(neighbour); done != fixed.end()) {
          if (done->second > candidate) throw ModelFailure{kContradiction};
          continue;
        }
        auto known = tentative.find(neighbour);
        if (known == tentative.end() || known->second > candidate) {
          tentative[neighbour] = candidate;
          heap.push({candidate, counter++, neighbour});
        }
      }
    }
  } catch (const ModelFailure& failure) {
    return Outcome{true, failure.message, {}};
  }
  return Outcome{false, "", fixed};
}

// ---- Relaxation to a fixed point over the edges that `use` admits. Correct for non-negative
// weights without NaN, where it needs no order at all.
template <class Use>
Distances relax(const Model& model, NodeId source, const Cutoff& cutoff, Use use) {
  Distances distances{{source, 0.0}};
  for (bool changed = true; changed;) {
    changed = false;
    for (const auto& [pair, weight] : model.weights) {
      auto from = distances.find(pair.first);
      if (from == distances.end() || !use(weight)) continue;
      double candidate = from->second + weight;
      if (cutoff && candidate > *cutoff) continue;
      auto to = distances.find(pair.second);
      if (to == distances.end() || candidate < to->second) {
        distances[pair.second] = candidate;
        changed = true;
      }
    }
  }
  return distances;
}

bool non_negative(double weight) {
  return !(weight < 0) && !std::isnan(weight);
}

// Multiples of 1/4 up to 2^20 in magnitude: sums of up to 24 of them are exact.
bool exact(double weight) {
  return std::isfinite(weight) && std::fabs(weight) <= 1048576.0 &&
         std::nearbyint(weight * 4) == weight * 4;
}

// The outcome with negative weights whose sums are exact: the search runs as over the
// non-negative edges alone until a negative edge passes the cutoff from a fixed node, and from
// then on it always ends in the contradiction (its far end is fixed next, below the near end's
// distance, and offers the near end a shorter path still).
Outcome negative_failure_set(const Model& model, NodeId source, const Cutoff& cutoff) {
  Distances reached = relax(model, source, cutoff, [](double w) { return !(w < 0); });
  for (const auto& [pair, weight] : model.weights) {
    auto from = reached.find(pair.first);
    if (weight < 0 && from != reached.end() && !(cutoff && from->second + weight > *cutoff)) {
      return Outcome{true, kContradiction, {}};
    }
  }
  return Outcome{false, "", reached};
}

// ---- Input decoding.
constexpr NodeId kNodePool[] = {0, 1, 2, 3, 4, 5, 6, 7, 1000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kWeightPalette[] = {0.0,
                                     -0.0,
                                     0.25,
                                     0.5,
                                     1.0,
                                     1.0,
                                     2.0,
                                     3.0,
                                     7.0,
                                     0.1,
                                     1.0 / 3.0,
                                     1e-300,
                                     std::numeric_limits<double>::denorm_min(),
                                     1e300,
                                     std::numeric_limits<double>::max(),
                                     kInf,
                                     -kInf,
                                     std::numeric_limits<double>::quiet_NaN(),
                                     -std::numeric_limits<double>::quiet_NaN(),
                                     -0.25,
                                     -1.0,
                                     -3.0,
                                     -1e-300};

double next_double(FuzzedDataProvider& input) {
  if (input.ConsumeIntegralInRange<int>(0, 7) != 0) return input.PickValueInArray(kWeightPalette);
  return std::bit_cast<double>(input.ConsumeIntegral<uint64_t>());
}

Cutoff next_cutoff(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return std::nullopt;
    case 1:
      return static_cast<double>(input.ConsumeIntegralInRange<int>(-4, 16)) / 2;
    default:
      return next_double(input);
  }
}

void run(FuzzedDataProvider& input) {
  std::vector<NodeId> ids(input.ConsumeIntegralInRange<std::size_t>(1, 10));
  for (NodeId& id : ids) {
    id = input.ConsumeBool() ? input.PickValueInArray(kNodePool) : input.ConsumeIntegral<NodeId>();
  }
  const Cutoff cutoff = next_cutoff(input);
  std::vector<Edge> edges(input.ConsumeIntegralInRange<std::size_t>(0, 24));
  for (Edge& edge : edges) {
    edge.source = ids[input.ConsumeIntegralInRange<std::size_t>(0, ids.size() - 1)];
    edge.target = ids[input.ConsumeIntegralInRange<std::size_t>(0, ids.size() - 1)];
    edge.weight = next_double(input);
  }

  const Model model(edges);
  const native::Graph graph = native::build(edges);

  // The graph.
  const std::vector<NodeId> sources = native::source_order(graph);
  if (std::set<NodeId>(sources.begin(), sources.end()) != model.nodes ||
      sources.size() != model.nodes.size()) {
    fail("the node set");
  }
  std::map<NodeId, std::vector<std::pair<NodeId, double>>> order;
  for (NodeId node : sources) {
    order[node] = native::neighbours(graph, node);
    std::size_t expected = 0;
    for (const auto& [pair, weight] : model.weights)
      expected += pair.first == node;
    if (order[node].size() != expected) fail("the number of neighbours");
    for (auto [neighbour, weight] : order[node]) {
      auto stored = model.weights.find({node, neighbour});
      if (stored == model.weights.end() ||
          std::bit_cast<uint64_t>(stored->second) != std::bit_cast<uint64_t>(weight)) {
        fail("a neighbour's weight");
      }
    }
  }

  const bool all_non_negative =
      std::all_of(edges.begin(), edges.end(), [](const Edge& e) { return non_negative(e.weight); });
  const bool all_exact =
      std::all_of(edges.begin(), edges.end(), [](const Edge& e) { return exact(e.weight); });
  auto neighbours_of = [&](NodeId node) -> const std::vector<std::pair<NodeId, double>>& {
    return order.at(node);
  };

  // Every source on its own.
  std::optional<Outcome> first_failure;
  for (NodeId source : sources) {
    const Outcome outcome = native::search(graph, source, cutoff);
    expect_same(outcome, model_search(neighbours_of, source, cutoff), "the modelled search");
    if (all_non_negative) {
      expect_same(outcome, Outcome{false, "", relax(model, source, cutoff, non_negative)},
                  "relaxation to a fixed point");
    }
    if (all_exact) {
      expect_same(outcome, negative_failure_set(model, source, cutoff),
                  "the failure set of negative weights");
    }
    if (outcome.failed && !first_failure) first_failure = outcome;
  }

  // All of them at once, on the worker pool.
  const native::AllPairsOutcome all = native::all_pairs(graph, cutoff);
  if (first_failure) {
    if (!all.failed || all.message != first_failure->message) fail("the all-pairs failure");
  } else {
    if (all.failed) fail("all-pairs failed: " + all.message);
    if (all.distances.size() != sources.size()) fail("all-pairs: the sources");
    for (NodeId source : sources) {
      auto row = all.distances.find(source);
      if (row == all.distances.end() ||
          !same_distances(row->second, model_search(neighbours_of, source, cutoff).distances)) {
        fail("all-pairs: a source's distances");
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  run(input);
  return 0;
}
