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
  // as soon as the edges are laid out, and calls `stop` every few tens of thousands of edges,
  // giving up (no graph) as soon as it returns true.
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

  // The index of `node`, which joins the node set (and gets a neighbour table) when it is new.
  NodeIndex add_node(NodeId node);

  // Lays out the neighbour tables from the arcs that `for_each_arc(visit)` yields, in order, as
  // visit(from, to, weight), offsets_[i] holding the number of arcs from node i. False when
  // `stop` asked to give up.
  template <class ForEachArc>
  bool lay_out(ForEachArc&& for_each_arc, FunctionRef<bool()> stop);

  NodeTable<NodeIndex> nodes_;
  Vec<NodeId> node_of_;
  Vec<std::size_t> offsets_;  // node i's arcs are arcs_[offsets_[i] .. offsets_[i + 1])
  Vec<Arc> arcs_;
  bool nonnegative_ = true;
};

}  // namespace dorvane
