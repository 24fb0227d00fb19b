// The undirected weighted graph that every search runs on, built once per call from the edge list.
//
// The graph is the node set plus the adjacency map, from each node to its neighbour map (the
// neighbours with the weight of the edge to each). Both are hashed tables whose iteration orders
// are observable: the node set's order is the order of the sources, a neighbour map's the order in
// which a search visits a node's edges.
//
// Besides its number, every node gets a dense index, in order of first appearance in the edge
// list, and each neighbour entry stores the neighbour's index next to the weight. The search
// keeps its working state in arrays indexed by it, so it needs no hashing per edge.
#pragma once

#include <cstddef>
#include <cstdint>

#include "paths/node_id.h"
#include "paths/node_table.h"
#include "platform/memory.h"

namespace dorvane {

// Dense index of a node within one graph: 0 .. node_count - 1.
using NodeIndex = uint32_t;

// What a neighbour map holds for one neighbour.
struct Neighbour {
  double weight;
  NodeIndex index;
};

using NeighbourMap = NodeMap<Neighbour>;

// Node number to neighbour map. The hashed table maps a number to its dense index; the neighbour
// maps themselves live in a vector by index.
class AdjacencyMap {
 public:
  AdjacencyMap() = default;
  AdjacencyMap(AdjacencyMap&&) = default;
  AdjacencyMap& operator=(AdjacencyMap&&) = default;

  std::size_t node_count() const { return neighbours_.size(); }

  // The neighbour map of `node`, or null when `node` is not in the graph.
  const NeighbourMap* find(NodeId node) const;
  // The dense index of `node`, or null when `node` is not in the graph.
  const NodeIndex* index_of(NodeId node) const { return index_of_.find(node); }

  const NeighbourMap& neighbours_at(NodeIndex index) const { return neighbours_[index]; }
  NodeId node_at(NodeIndex index) const { return node_of_[index]; }

  // Building. The index of `node`, added with an empty neighbour map (which takes its hash key
  // now) when it is new; `inserted` tells which.
  struct Added {
    NodeIndex index;
    bool inserted;
  };
  Added add_node(NodeId node);
  // Sets the weight of the entry for `to` in the neighbour map of `from`, one direction only.
  void connect(NodeIndex from, NodeIndex to, double weight);

 private:
  NodeMap<NodeIndex> index_of_;
  Vec<NeighbourMap> neighbours_;
  Vec<NodeId> node_of_;
};

class Graph {
 public:
  // An empty graph. The node set takes its hash key first, then the adjacency map.
  Graph();
  Graph(Graph&&) = default;
  Graph& operator=(Graph&&) = default;

  // Adds the undirected edge; a later edge between the same two nodes, in either orientation,
  // replaces the weight in both directions. A self-loop gives its node an entry for itself.
  void add_edge(const Edge& edge);

  const NodeSet& nodes() const { return nodes_; }
  const AdjacencyMap& adjacency() const { return adjacency_; }

 private:
  NodeIndex add_node(NodeId node);

  NodeSet nodes_;
  AdjacencyMap adjacency_;
};

}  // namespace dorvane
