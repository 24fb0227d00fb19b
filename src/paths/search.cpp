// Dijkstra's algorithm without decrease-key: an improved tentative distance is pushed as a new
// queue entry, and an outdated entry is skipped when it comes out.
//
// The map of tentative distances and the "already fixed?" test live in the workspace's array
// indexed by the graph's dense node index. Only the result, whose iteration order is observable,
// is a hashed table.
#include "paths/search.h"

#include <cstdint>
#include <limits>

#include "paths/table_key.h"
#include "platform/memory.h"
#include "platform/panic.h"

namespace dorvane {

namespace {

constexpr const char* kContradiction = "Contradictory paths found: negative weights?";

}  // namespace

uint32_t SearchWorkspace::begin_search(std::size_t node_count) {
  if (nodes_.size() < node_count) nodes_.resize(node_count, NodeState{0.0, 0, false});
  if (++generation_ == 0) {
    // After 2^32 searches old stamps could look current again: start over.
    for (NodeState& state : nodes_) {
      state.generation = 0;
    }
    generation_ = 1;
  }
  queue_.clear();
  return generation_;
}

std::pair<NodeId, DistanceMap> single_source_dijkstra_path_length(
    const AdjacencyMap& adjacency, NodeId source, const std::optional<double>& cutoff) {
  SearchWorkspace workspace;
  return single_source_dijkstra_path_length(adjacency, source, cutoff, workspace);
}

std::pair<NodeId, DistanceMap> single_source_dijkstra_path_length(
    const AdjacencyMap& adjacency, NodeId source, const std::optional<double>& cutoff,
    SearchWorkspace& workspace) {
  using NodeState = SearchWorkspace::NodeState;
  const NodeIndex source_index = unwrap(adjacency.index_of(source));
  const uint32_t generation = workspace.begin_search(adjacency.node_count());
  NodeState* nodes = workspace.nodes_.data();
  SearchQueue& queue = workspace.queue_;
  const PriorityOrder order(adjacency);
  const bool limited = cutoff.has_value();
  const double limit = limited ? *cutoff : std::numeric_limits<double>::infinity();

  DistanceMap distances;
  // The tentative distances live in the workspace rather than in a table of their own; still draw
  // the key such a table would take, so that every later table on this thread gets the same key
  // as it would otherwise.
  next_table_key();
  nodes[source_index] = NodeState{0.0, generation, false};
  queue.push(QueueEntry{0.0, 0, source_index}, order);
  uint32_t push_counter = 1;

  while (!queue.empty()) {
    const QueueEntry entry = queue.pop(order);
    NodeState& current = nodes[entry.index];
    if (current.fixed) continue;  // an outdated entry; a queued node always has this generation
    const double base = entry.distance;
    current.distance = base;
    current.fixed = true;
    distances.insert_new(adjacency.node_at(entry.index), base);

    adjacency.neighbours_at(entry.index).for_each([&](NodeId, const Neighbour& neighbour) {
      const double candidate = base + neighbour.weight;
      if (limited && candidate > limit) return;
      NodeState& next = nodes[neighbour.index];
      if (next.generation == generation) {
        if (next.fixed) {
          if (next.distance > candidate) panic(kContradiction);
          return;
        }
        if (!(next.distance > candidate)) return;  // not strictly better, or NaN on either side
      } else {
        next.generation = generation;
        next.fixed = false;
      }
      next.distance = candidate;
      queue.push(QueueEntry{candidate, push_counter++, neighbour.index}, order);
    });
  }
  return {source, std::move(distances)};
}

}  // namespace dorvane
