// Throughput of the all-pairs computation on the process-wide pool (sized by DORVANE_NUM_THREADS,
// or one worker per processor) and on one thread alone, and the cost of an empty join on a worker.
//
// Usage: bench_all_pairs [repetitions]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "graph_testing.h"
#include "paths/all_pairs.h"
#include "paths/graph.h"
#include "pool/join.h"
#include "pool/worker_pool.h"
#include "pool_testing.h"

namespace {

using Clock = std::chrono::steady_clock;

// 2,000 nodes, 8,000 random edges, weights uniform in (0, 1), always the same graph.
dorvane::Graph random_graph() {
  std::mt19937_64 random(20240601);
  std::uniform_int_distribution<dorvane::NodeId> node(0, 1999);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<dorvane::Edge> edges;
  for (int i = 0; i < 8000; ++i) {
    double weight = 0.0;
    while (weight == 0.0)
      weight = unit(random);
    edges.push_back({node(random), node(random), weight});
  }
  return dorvane::graph_of_edges(edges);
}

// Median seconds of `repetitions` all-pairs runs on the process-wide pool, called from outside.
double time_all_pairs(const dorvane::Graph& graph, int repetitions, std::size_t* entries) {
  std::vector<double> seconds;
  for (int i = 0; i < repetitions + 1; ++i) {
    // The results stream to a consumer that only counts them, so this times the searches.
    std::size_t sources = 0;
    auto start = Clock::now();
    dorvane::compute_all_pairs(
        graph, std::nullopt,
        [&](dorvane::NodeIndex, std::span<const dorvane::Reached>) { return ++sources > 0; },
        [] { return false; });
    std::chrono::duration<double> took = Clock::now() - start;
    *entries = sources;
    if (i > 0) seconds.push_back(took.count());  // the first run warms up
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds[seconds.size() / 2];
}

// Nanoseconds per join of two empty operations, called on a worker of a pool of `workers`.
double time_empty_join(std::size_t workers) {
  constexpr int kJoins = 2'000'000;
  dorvane::testing::OwnedPool owned(workers);
  return owned.run([](dorvane::WorkerThread&, bool) {
    auto start = Clock::now();
    for (int i = 0; i < kJoins; ++i)
      dorvane::join(false, [](bool) {}, [](bool) {});
    std::chrono::duration<double, std::nano> took = Clock::now() - start;
    return took.count() / kJoins;
  });
}

}  // namespace

int main(int argc, char** argv) {
  int repetitions = argc > 1 ? std::atoi(argv[1]) : 5;
  if (repetitions < 1) repetitions = 1;
  dorvane::Graph graph = random_graph();
  std::printf("graph: %zu nodes, 8000 edges; median of %d runs\n", graph.nodes().size(),
              repetitions);
  std::size_t entries = 0;
  // Inside a job of a pool of its own, a call computes everything on that worker's thread.
  double one = dorvane::testing::OwnedPool(1).run(
      [&](dorvane::WorkerThread&, bool) { return time_all_pairs(graph, repetitions, &entries); });
  std::printf("all pairs, one thread alone: %8.2f ms (%zu sources)\n", one * 1e3, entries);
  double pooled = time_all_pairs(graph, repetitions, &entries);
  std::printf("all pairs, %zu workers:       %8.2f ms (%zu sources)\n",
              dorvane::current_thread_count(), pooled * 1e3, entries);
  std::printf("speed-up on the pool: %.2f\n", one / pooled);
  std::printf("empty join on a worker, pool of 1: %6.1f ns\n", time_empty_join(1));
  std::printf("empty join on a worker, pool of 2: %6.1f ns\n", time_empty_join(2));
  return 0;
}
