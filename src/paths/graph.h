// The undirected weighted graph that every search runs on, built once per call from the edge list.
//
// The graph is the node set plus one neighbour table per node: the node's neighbours with the
// weight of the edge to each (the last edge between two nodes wins, in both directions). Both are
// hashed tables whose iteration orders are observable: the node set's order is the order of the
// sources, a neighbour table's the order in which a search visits the node's edges, which decides
// ties between equal distances.
//
// Searches read a flat copy instead of the tables themselves. Every node has a dense index, in
// order of first appearance in the edge list (an edge's source before its target), and the
// entries of all neighbour tables, each table's in its iteration order, sit in one array, node
// after node, as (neighbour index, weight). A search then walks a node's edges as a contiguous run
// and keeps its own state in arrays by index, without hashing. The neighbour tables exist only
// while the graph is built; the node set stays, and holds each node's index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "paths/node_id.h"
#include "paths/node_table.h"
#include "platform/function_ref.h"
#include "platform/memory.h"

namespace dorvane {

// Dense index of a node within one graph: 0 .. node_count - 1.
using NodeIndex = uint32_t;

// One entry of a neighbour table as the searches read it.
struct Arc {
  NodeIndex to;
  double weight;
};

class Graph {
 public:
  Graph(Graph&&) = default;
  Graph& operator=(Graph&&) = default;

  // The graph of `edges`, added in list order. Consumes the edge list, whose memory is released
  // once the graph is built, and calls `stop` every few tens of thousands of edges or tens of
  // milliseconds, giving up (no graph) as soon as it returns true.
  static std::optional<Graph> build(Vec<Edge>&& edges, FunctionRef<bool()> stop);

  std::size_t node_count() const { return node_of_.size(); }

  // The node set, each node with its index; its iteration order is the order of the sources.
  const NodeTable<NodeIndex>& nodes() const { return nodes_; }
  NodeId node_at(NodeIndex index) const { return node_of_[index]; }

  // The neighbour table of the node at `index`, in its iteration order.
  std::span<const Arc> neighbours_at(NodeIndex index) const {
    return {arcs_.data() + offsets_[index], arcs_.data() + offsets_[index + 1]};
  }

  // Asks for the first two cache lines (eight arcs) of the node at `index`, which a search will
  // walk soon: the nodes a search fixes in a row lie all over the arc array.
  void prefetch_arcs(NodeIndex index) const {
    const char* first = reinterpret_cast<const char*>(arcs_.data() + offsets_[index]);
    __builtin_prefetch(first);
    __builtin_prefetch(first + 64);
  }

  // True when no weight is negative or NaN (-0.0 and +inf are fine) and no search can push so
  // many entries that its push counter wraps: no candidate is then below the distance it
  // extends, and searches may run the monotone search (search.cpp, radix_queue.h).
  bool nonnegative() const { return nonnegative_; }

 private:
  // An empty graph: the node set takes its hash key first, before the neighbour tables.
  Graph() = default;

  // The index of `node`, which gets one when it is new: it joins node_of_, and the node set too
  // unless `defer` (then fill_node_set adds it later, in index order).
  NodeIndex add_node(NodeId node, bool defer);

  // Lays out the neighbour tables of `edges` (indexed edges, in list order), filling the node set
  // first when its nodes were deferred. On a large graph the worker pool's threads share the work
  // with the calling thread. False when `stop` asked to give up.
  bool lay_out(const Vec<Edge>& edges, bool fill_set, FunctionRef<bool()> stop);
  // Sorts the arcs by node, in edge order within each node: node i's are then
  // arcs_[offsets_[i] .. offsets_[i + 1]).
  void place_arcs(const Vec<Edge>& edges);
  // The tables' part of lay_out on the calling thread alone.
  bool make_tables_alone(bool fill_set, SipKey first_key, FunctionRef<bool()> stop);
  // Adds every node to `set` in index order, as they would have joined it one by one.
  bool fill_node_set(NodeTable<NodeIndex>& set, FunctionRef<bool()> stop) const;
  // Passes the arcs of the nodes [first, end) through their neighbour tables (keys from
  // `first_key` on, by node index) and writes each node's back in table order, from
  // offsets_[first] on, setting offsets_[first + 1 .. end - 1] to their new starts. The arcs and
  // starts of other nodes are neither read nor written, offsets_[first] and offsets_[end] only
  // read, so that pieces can run at once. The number of arcs kept; nothing when `stop` asked to
  // give up.
  std::optional<std::size_t> fill_tables(std::size_t first, std::size_t end, SipKey first_key,
                                         NodeTable<Arc>& table, FunctionRef<bool()> stop);

  NodeTable<NodeIndex> nodes_;
  Vec<NodeId> node_of_;
  Vec<std::size_t> offsets_;  // node i's arcs are arcs_[offsets_[i] .. offsets_[i + 1])
  Vec<Arc> arcs_;
  bool nonnegative_ = true;
};

}  // namespace dorvane
