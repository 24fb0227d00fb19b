#include "paths/all_pairs.h"

#include <utility>

#include "paths/search_failures.h"
#include "platform/memory.h"
#include "platform/panic.h"
#include "pool/collect.h"
#include "pool/worker_pool.h"
#include "pool/worker_thread.h"

namespace dorvane {

AllPairsResult compute_all_pairs(const Graph& graph, const std::optional<double>& cutoff) {
  // The sources in the node set's order, each with its position there.
  struct Source {
    NodeId node;
    std::size_t position;
  };
  Vec<Source> sources;
  sources.reserve(graph.nodes().size());
  for (NodeId node : graph.nodes())
    sources.push_back({node, sources.size()});

  // Working memory for the searches of this call: one workspace per worker, and a last one for
  // the calling thread, which runs the searches itself when there are fewer than two. Each is
  // used by one thread at a time and freed when the call ends.
  const std::size_t workers = current_thread_count();
  Vec<SearchWorkspace> workspaces(workers + 1);
  auto workspace_of_this_thread = [&workspaces, workers]() -> SearchWorkspace& {
    const WorkerThread* worker = WorkerThread::current();
    if (worker == nullptr) return workspaces[workers];
    if (worker->index() >= workers) [[unlikely]] {
      panic("assertion failed: worker index within the pool's thread count");
    }
    return workspaces[worker->index()];
  };

  // Searches share the adjacency map and the cutoff read-only; each owns what it writes.
  const AdjacencyMap& adjacency = graph.adjacency();
  Vec<std::pair<NodeId, DistanceMap>> searched;
  SearchFailures failures;
  try {
    collect_in_order(
        std::move(sources),
        [&](Source source) {
          return failures.run(source.position, [&] {
            return single_source_dijkstra_path_length(adjacency, source.node, cutoff,
                                                      workspace_of_this_thread());
          });
        },
        searched);
  } catch (Panic& failure) {
    // The lowest position's failure: the one diagnostic of the call.
    failure.write_held_diagnostic();
    throw;
  }

  AllPairsResult result;
  result.reserve(searched.size());
  // Sources are distinct, so no insertion meets a key already present.
  for (auto& [source, distances] : searched)
    result.insert_new(source, std::move(distances));
  return result;
}

}  // namespace dorvane
