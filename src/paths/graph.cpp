#include "paths/graph.h"

namespace dorvane {

const NeighbourMap* AdjacencyMap::find(NodeId node) const {
  const NodeIndex* index = index_of_.find(node);
  return index == nullptr ? nullptr : &neighbours_[*index];
}

AdjacencyMap::Added AdjacencyMap::add_node(NodeId node) {
  auto next = static_cast<NodeIndex>(neighbours_.size());
  auto [index, inserted] = index_of_.try_emplace(node, next);
  if (inserted) {
    neighbours_.emplace_back();
    node_of_.push_back(node);
  }
  return {*index, inserted};
}

void AdjacencyMap::connect(NodeIndex from, NodeIndex to, double weight) {
  neighbours_[from].insert_or_assign(node_of_[to], Neighbour{weight, to});
}

Graph::Graph() : nodes_(), adjacency_() {}

NodeIndex Graph::add_node(NodeId node) {
  AdjacencyMap::Added added = adjacency_.add_node(node);
  if (added.inserted) nodes_.insert(node);
  return added.index;
}

void Graph::add_edge(const Edge& edge) {
  NodeIndex source = add_node(edge.source);
  NodeIndex target = add_node(edge.target);
  adjacency_.connect(source, target, edge.weight);
  adjacency_.connect(target, source, edge.weight);
}

}  // namespace dorvane
