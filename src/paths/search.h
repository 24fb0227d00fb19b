// The single-source search: Dijkstra's algorithm with an optional distance limit.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "paths/graph.h"
#include "paths/node_id.h"
#include "paths/node_table.h"
#include "paths/search_queue.h"
#include "platform/memory.h"

namespace dorvane {

// The fixed distance of every node a search reached; always holds the source at 0.0.
using DistanceMap = NodeMap<double>;

// The working memory of searches over one graph: what each search knows about each node, indexed
// by the graph's dense node index, and the queue. One thread at a time uses it; the all-pairs
// driver keeps one per worker for the length of a call, so consecutive searches on a worker
// allocate nothing. A generation number stamped on every node state tells the current search's
// states from stale ones, so the array is never cleared between searches.
class SearchWorkspace {
 public:
  SearchWorkspace() = default;
  SearchWorkspace(SearchWorkspace&&) = default;
  SearchWorkspace& operator=(SearchWorkspace&&) = default;

 private:
  friend std::pair<NodeId, DistanceMap> single_source_dijkstra_path_length(
      const AdjacencyMap&, NodeId, const std::optional<double>&, SearchWorkspace&);

  // What one search knows about one node. Valid only when `generation` is the search's own.
  struct NodeState {
    double distance;  // tentative distance, or the fixed one once `fixed` is set
    uint32_t generation;
    bool fixed;
  };

  // Makes `nodes_` cover `node_count` nodes and returns the generation of a new search.
  uint32_t begin_search(std::size_t node_count);

  Vec<NodeState> nodes_;
  SearchQueue queue_;
  uint32_t generation_ = 0;
};

// Shortest-path lengths from `source` to every node reachable from it whose distance does not
// exceed `cutoff` (no limit when absent). `source` must be a node of `adjacency`.
//
// Panics with "Contradictory paths found: negative weights?" when a path shorter than an already
// fixed distance turns up, and with the failed-lookup message when the queue has to compare a NaN
// distance. Safe to run on many threads at once over the same adjacency map, each thread with
// its own workspace.
std::pair<NodeId, DistanceMap> single_source_dijkstra_path_length(
    const AdjacencyMap& adjacency, NodeId source, const std::optional<double>& cutoff);

// The same, with working memory that the caller keeps across searches over `adjacency`.
std::pair<NodeId, DistanceMap> single_source_dijkstra_path_length(
    const AdjacencyMap& adjacency, NodeId source, const std::optional<double>& cutoff,
    SearchWorkspace& workspace);

}  // namespace dorvane
