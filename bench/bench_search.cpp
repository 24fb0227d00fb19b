// Single-source search speed on one thread, with each search that is correct on the graph: every
// search of a random graph (by default 2,000 nodes and 8,000 edges, weights uniform in (0, 1), no
// cutoff), or of a grid with weights uniform in (0.5, 1.5) and a cutoff. Prints microseconds of
// processor time per source, the best of the rounds, so that a busy machine disturbs it little;
// and, first, how long building the graph from its edge list takes.
//
//   cmake -S . -B build/bench -G Ninja -DDORVANE_BENCH=ON -DDORVANE_MODULE=OFF
//   cmake --build build/bench
//   build/bench/bench_search [random NODES EDGES | grid WIDTH HEIGHT CUTOFF] [ROUNDS [hashed [W]]]
//
// With "hashed" the sources run in the node set's order, the result's outer order, instead of
// index order: what a search costs when its neighbourhood was not just visited. With W as well,
// that order is cut into windows of W sources, each sorted by index, as a large result is made.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "graph_testing.h"
#include "paths/graph.h"
#include "paths/search.h"

namespace {

double thread_seconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::vector<dorvane::Edge> random_edges(unsigned nodes, unsigned edges) {
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
  return list;
}

std::vector<dorvane::Edge> grid_edges(unsigned width, unsigned height) {
  std::mt19937_64 random(777);
  std::uniform_real_distribution<double> weight(0.5, 1.5);
  std::vector<dorvane::Edge> list;
  for (unsigned y = 0; y < height; ++y) {
    for (unsigned x = 0; x < width; ++x) {
      const unsigned node = y * width + x;
      if (x + 1 < width) list.push_back({node, node + 1, weight(random)});
      if (y + 1 < height) list.push_back({node, node + width, weight(random)});
    }
  }
  return list;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<dorvane::Edge> edges;
  std::optional<double> cutoff;
  std::string description;
  int next = 1;
  if (argc > 1 && std::strcmp(argv[1], "grid") == 0) {
    const unsigned width = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 100;
    const unsigned height = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 100;
    cutoff = argc > 4 ? std::atof(argv[4]) : 8.0;
    edges = grid_edges(width, height);
    description = "grid " + std::to_string(width) + "x" + std::to_string(height) + ", cutoff " +
                  std::to_string(*cutoff);
    next = 5;
  } else {
    if (argc > 1 && std::strcmp(argv[1], "random") == 0) next = 2;
    const unsigned nodes = argc > next ? static_cast<unsigned>(std::atoi(argv[next])) : 2000;
    const unsigned count =
        argc > next + 1 ? static_cast<unsigned>(std::atoi(argv[next + 1])) : 8000;
    edges = random_edges(nodes, count);
    description = "random, " + std::to_string(count) + " edges";
    next += 2;
  }
  const int rounds = argc > next ? std::atoi(argv[next]) : 5;
  const bool hashed = argc > next + 1 && std::strcmp(argv[next + 1], "hashed") == 0;
  // Building the graph from the list, the best of the rounds: once with the node numbers as they
  // are, once with two large ones added, which leave the node set alone to find every node.
  const auto build = [&](const char* numbers) {
    std::optional<dorvane::Graph> built;
    double best = 1e300;
    for (int round = 0; round < rounds; ++round) {
      built.reset();
      const double start = thread_seconds();
      built.emplace(dorvane::graph_of_edges(edges));
      best = std::min(best, thread_seconds() - start);
    }
    std::printf("graph built, %-24s: %8.1f ms (processor time, best of %d)\n", numbers, best * 1e3,
                rounds);
    return std::move(*built);
  };
  const dorvane::Graph graph = build("node numbers as given");
  std::vector<dorvane::NodeIndex> sources;
  if (hashed) {
    graph.nodes().for_each(
        [&](dorvane::NodeId, dorvane::NodeIndex index) { sources.push_back(index); });
    const std::size_t window = argc > next + 2 ? std::strtoul(argv[next + 2], nullptr, 10) : 0;
    for (std::size_t first = 0; window != 0 && first < sources.size(); first += window)
      std::sort(
          sources.begin() + static_cast<std::ptrdiff_t>(first),
          sources.begin() + static_cast<std::ptrdiff_t>(std::min(first + window, sources.size())));
  } else {
    for (dorvane::NodeIndex source = 0; source < graph.node_count(); ++source)
      sources.push_back(source);
  }
  // The search the graph allows (the monotone one, no weight being negative or NaN), then the
  // exact one, which would be correct on it too: the exact search runs on the same graph with one
  // negative edge apart, between two nodes that come last and that no search here reaches.
  edges.push_back({0xFFFFFFFE, 0xFFFFFFFF, -1.0});
  const dorvane::Graph exact_graph = build("two large numbers added");
  const std::pair<const dorvane::Graph*, const char*> searches[] = {{&graph, "monotone (radix)"},
                                                                    {&exact_graph, "exact heap"}};
  for (const auto& [searched, name] : searches) {
    dorvane::SearchWorkspace workspace;  // reused across searches, as each worker does
    dorvane::Vec<dorvane::Reached> reached;
    double best = 1e300;
    std::size_t pairs = 0;
    for (int round = 0; round < rounds; ++round) {
      pairs = 0;
      const double start = thread_seconds();
      for (const dorvane::NodeIndex source : sources) {
        reached.clear();
        dorvane::search_distances(*searched, source, cutoff, workspace, reached,
                                  [] { return false; });
        pairs += reached.size();
      }
      const double per_source =
          (thread_seconds() - start) * 1e6 / static_cast<double>(graph.node_count());
      if (per_source < best) best = per_source;
    }
    if (searched == &graph) {
      std::printf("graph: %s, %zu nodes, sources in %s order; %zu pairs reached per round\n",
                  description.c_str(), graph.node_count(), hashed ? "the node set's" : "index",
                  pairs);
    }
    std::printf("single-source search, %-16s: %8.2f us per source (processor time, best of %d)\n",
                name, best, rounds);
  }
  return 0;
}
