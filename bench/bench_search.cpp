// Single-source search speed: every search of a random graph of 2,000 nodes and 8,000 edges with
// weights uniform in (0, 1), on one thread. Prints microseconds per source (best of the rounds).
//
//   cmake -S . -B build/bench -G Ninja -DDORVANE_BENCH=ON -DDORVANE_MODULE=OFF
//   cmake --build build/bench && build/bench/bench_search [nodes] [edges] [rounds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>

#include "paths/graph.h"
#include "paths/search.h"

int main(int argc, char** argv) {
  const unsigned nodes = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 2000;
  const unsigned edges = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 8000;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;

  std::mt19937_64 random(12345);
  std::uniform_int_distribution<unsigned> pick(0, nodes - 1);
  std::uniform_real_distribution<double> weight(0.0, 1.0);
  dorvane::Graph graph;
  for (unsigned i = 0; i < edges; ++i) {
    double w = weight(random);
    while (w == 0.0)
      w = weight(random);
    graph.add_edge({pick(random), pick(random), w});
  }

  const std::optional<double> no_cutoff;
  dorvane::SearchWorkspace workspace;  // reused across searches, as each worker does
  double best = 1e300;
  std::size_t reached = 0;
  for (int round = 0; round < rounds; ++round) {
    reached = 0;
    auto start = std::chrono::steady_clock::now();
    for (dorvane::NodeId source : graph.nodes()) {
      auto [node, distances] = dorvane::single_source_dijkstra_path_length(
          graph.adjacency(), source, no_cutoff, workspace);
      reached += distances.size();
    }
    std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
    double per_source = elapsed.count() / static_cast<double>(graph.nodes().size());
    if (per_source < best) best = per_source;
  }
  std::printf("graph: %zu nodes, %u edges; %zu pairs reached per round\n", graph.nodes().size(),
              edges, reached);
  std::printf("single-source search: %.1f us per source (best of %d rounds, one thread)\n", best,
              rounds);
  return 0;
}
