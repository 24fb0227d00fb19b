// Building the graph: index the nodes, sort the arcs by node (a counting sort that keeps their
// order), then pass each node's arcs through its neighbour table and copy the table out in its
// iteration order. Duplicate arcs meet in the table, where the last weight stays.
#include "paths/graph.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "paths/table_key.h"
#include "platform/countdown.h"
#include "platform/panic.h"

namespace dorvane {

namespace {

// Marks a node number not seen yet in an array by node number.
constexpr NodeIndex kNoIndex = std::numeric_limits<NodeIndex>::max();

// How many edges ahead a node's place in the node set is fetched.
constexpr std::size_t kNodeLookahead = 16;

// How often the long loops of building look at their stop check.
constexpr std::size_t kStopCheckInterval = std::size_t{1} << 16;

// Whether a graph's weights allow the monotone search: see Graph::nonnegative.
class WeightSummary {
 public:
  // NaN is not below zero either: it is caught by the self-comparison.
  void add(double weight) { unusual_ |= !(weight >= 0); }

  bool nonnegative(std::size_t arcs) const {
    // Each arc is relaxed at most once per search, so a search pushes at most arcs + 1 entries:
    // below 2^32 the push counter never wraps, and push order is sequence order.
    return !unusual_ && arcs < std::numeric_limits<uint32_t>::max();
  }

 private:
  bool unusual_ = false;  // a weight below zero, or NaN (-0.0 is neither)
};

}  // namespace

NodeIndex Graph::add_node(NodeId node) {
  auto next = static_cast<NodeIndex>(node_of_.size());
  auto [index, inserted] = nodes_.try_emplace(node, next);
  if (inserted) {
    if (next == std::numeric_limits<NodeIndex>::max()) panic("capacity overflow");
    node_of_.push_back(node);
    offsets_.push_back(0);
  }
  return *index;
}

template <class ForEachArc>
bool Graph::lay_out(ForEachArc&& for_each_arc, FunctionRef<bool()> stop) {
  const std::size_t nodes = node_of_.size();
  // offsets_ holds each node's arc count so far: make it the start of each node's run.
  offsets_.push_back(0);
  std::size_t total = 0;
  for (std::size_t& offset : offsets_) {
    total += std::exchange(offset, total);
  }
  {
    // Scatter the arcs to their nodes' runs, each run in arc order.
    arcs_.resize(total);
    Vec<std::size_t> cursor(offsets_.begin(), offsets_.end() - 1);
    for_each_arc([&](NodeIndex from, NodeIndex to, double weight) {
      arcs_[cursor[from]++] = Arc{to, weight};
    });
  }

  // Every node's arcs through its own neighbour table. The tables' keys follow the node set's, one
  // per node in index order. The compacted output of a node never reaches beyond the start of its
  // own arcs, which have all entered the table before it is written.
  const SipKey first_key = next_table_keys(nodes);
  NodeTable<Arc> table(first_key);
  std::size_t out = 0;
  Countdown until_check(kStopCheckInterval);
  for (std::size_t node = 0; node < nodes; ++node) {
    const std::size_t begin = offsets_[node];
    const std::size_t end = offsets_[node + 1];
    table.reset(SipKey{first_key.k0 + node, first_key.k1}, end - begin);
    for (std::size_t i = begin; i < end; ++i) {
      table.insert_or_assign(node_of_[arcs_[i].to], arcs_[i]);
    }
    offsets_[node] = out;
    table.for_each([&](NodeId, const Arc& arc) { arcs_[out++] = arc; });
    if (until_check.tick(end - begin) && stop()) return false;
  }
  offsets_[nodes] = out;
  arcs_.resize(out);
  return true;
}

std::optional<Graph> Graph::build(Vec<Edge>&& edge_list, FunctionRef<bool()> stop) {
  Vec<Edge> edges = std::move(edge_list);
  Graph graph;
  WeightSummary weights;
  // Where the node numbers are few and small (as they usually are: 0 to n - 1, or near it), an
  // array by node number finds a known node's index faster than the node set's hashing; each
  // node still enters the node set once, when it is new.
  NodeId largest = 0;
  for (const Edge& edge : edges)
    largest = std::max({largest, edge.source, edge.target});
  Vec<NodeIndex> index_of_number;
  if (!edges.empty() && largest / 8 < edges.size()) {
    index_of_number.assign(std::size_t{largest} + 1, kNoIndex);
  }
  auto index_of = [&](NodeId node) {
    if (index_of_number.empty()) return graph.add_node(node);
    NodeIndex& index = index_of_number[node];
    if (index == kNoIndex) index = graph.add_node(node);
    return index;
  };
  // The node numbers of each edge are replaced by the nodes' indices (both are 32-bit), so the
  // second pass needs no lookups and no memory of its own.
  Countdown until_check(kStopCheckInterval);
  const bool by_number = !index_of_number.empty();
  for (std::size_t i = 0; i < edges.size(); ++i) {
    // The node set outgrows the caches on a large graph: the place of a node it will be asked
    // for (every node without the array, a new one with it) is fetched a few edges ahead.
    if (i + kNodeLookahead < edges.size()) {
      const Edge& ahead = edges[i + kNodeLookahead];
      if (!by_number || index_of_number[ahead.source] == kNoIndex)
        graph.nodes_.prefetch(ahead.source);
      if (!by_number || index_of_number[ahead.target] == kNoIndex)
        graph.nodes_.prefetch(ahead.target);
    }
    Edge& edge = edges[i];
    NodeIndex source = index_of(edge.source);
    NodeIndex target = index_of(edge.target);
    edge.source = source;
    edge.target = target;
    ++graph.offsets_[source];
    if (target != source) ++graph.offsets_[target];
    weights.add(edge.weight);
    if (until_check.tick() && stop()) return std::nullopt;
  }
  index_of_number = Vec<NodeIndex>();
  bool finished = graph.lay_out(
      [&](auto&& visit) {
        for (const Edge& edge : edges) {
          visit(edge.source, edge.target, edge.weight);
          if (edge.target != edge.source) visit(edge.target, edge.source, edge.weight);
        }
        edges = Vec<Edge>();  // laid out: free it before the tables are filled
      },
      stop);
  if (!finished) return std::nullopt;
  graph.nonnegative_ = weights.nonnegative(graph.arcs_.size());
  return graph;
}

}  // namespace dorvane
