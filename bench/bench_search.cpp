// Single-source search speed: every search of a random graph of 2,000 nodes and 8,000 edges with
// weights uniform in (0, 1), on one thread, with each queue that is correct on it. Prints
// microseconds of processor time per source (best of the rounds).
//
//   cmake -S . -B build/bench -G Ninja -DDORVANE_BENCH=ON -DDORVANE_MODULE=OFF
//   cmake --build build/bench && build/bench/bench_search [nodes] [edges] [rounds]
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <vector>

#include "paths/graph.h"
#include "paths/search.h"

namespace {

double thread_seconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned nodes = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 2000;
  const unsigned edges = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 8000;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;

  std::mt19937_64 random(12345);
  std::uniform_int_distribution<unsigned> pick(0, nodes - 1);
  std::uniform_real_distribution<double> weight(0.0, 1.0);
  std::vector<dorvane::Edge> list;
  for (unsigned i = 0; i < edges; ++i) {
    double w = weight(random);
    while (w == 0.0)
      w = weight(random);
    list.push_back({pick(random), pick(random), w});
  }
  const dorvane::Graph graph(list);

  const std::optional<double> no_cutoff;
  // The search the graph allows (the monotone one, no weight being negative or NaN), then the
  // exact one, which would be correct on it too.
  using Queue = dorvane::SearchWorkspace::Queue;
  const std::pair<Queue, const char*> queues[] = {{Queue::kBest, "monotone (radix)"},
                                                  {Queue::kExact, "exact heap"}};
  for (const auto& [queue, name] : queues) {
    dorvane::SearchWorkspace workspace;  // reused across searches, as each worker does
    workspace.use_queue(queue);
    dorvane::Vec<dorvane::Reached> reached;
    double best = 1e300;
    std::size_t pairs = 0;
    for (int round = 0; round < rounds; ++round) {
      pairs = 0;
      // Processor time of this thread: what the searches cost, even on a busy machine.
      const double start = thread_seconds();
      for (dorvane::NodeIndex source = 0; source < graph.node_count(); ++source) {
        dorvane::search_distances(graph, source, no_cutoff, workspace, reached,
                                  [] { return false; });
        pairs += reached.size();
      }
      double per_source =
          (thread_seconds() - start) * 1e6 / static_cast<double>(graph.node_count());
      if (per_source < best) best = per_source;
    }
    if (queue == Queue::kBest) {
      std::printf("graph: %zu nodes, %u edges; %zu pairs reached per round\n", graph.node_count(),
                  edges, pairs);
    }
    std::printf(
        "single-source search, %-18s: %6.1f us per source (processor time, best of %d rounds, one "
        "thread)\n",
        name, best, rounds);
  }
  return 0;
}
