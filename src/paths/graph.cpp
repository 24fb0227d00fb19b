// Building the graph: index the nodes, sort the arcs by node (a counting sort that keeps their
// order), then pass each node's arcs through its neighbour table and copy the table out in its
// iteration order. Duplicate arcs meet in the table, where the last weight stays.
//
// The tables are the larger part of the work, and every node's is its own: on a large graph they
// are made in pieces of consecutive nodes on the worker pool, the calling thread helping, each
// piece written back over its own arcs. The node set, where the node numbers allow it to wait,
// is filled meanwhile, as one more piece. The calling thread alone then closes the gaps that
// duplicate arcs left, piece after piece, as they come. No piece waits for anything (each reads
// only the node numbers and its own nodes' arcs and starts), so the pieces end however the pool's
// threads take them, as every stream's positions do. A child forked while the workers wrote pieces
// in place cannot trust what they left: it keeps the edge list until the tables are made, places
// the arcs again and makes every table itself.
#include "paths/graph.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <utility>

#include "paths/table_key.h"
#include "platform/countdown.h"
#include "platform/panic.h"
#include "pool/ordered_stream.h"
#include "pool/stream_caller.h"

namespace dorvane {

namespace {

// Marks a node number not seen yet in an array by node number.
constexpr NodeIndex kNoIndex = std::numeric_limits<NodeIndex>::max();

// How many edges ahead a node's place in the node set is fetched.
constexpr std::size_t kNodeLookahead = 16;

// How often the long loops of building look at their stop check.
constexpr std::size_t kStopCheckInterval = std::size_t{1} << 16;

// The tables of a large graph are made in pieces of about this many arcs: a millisecond or so of
// work, a few dozen pieces on a graph of millions of arcs...
constexpr std::size_t kPieceArcs = std::size_t{1} << 16;
// ...and those of a graph with fewer arcs by the calling thread alone, in a few milliseconds,
// which waking the pool's workers would not shorten.
constexpr std::size_t kLeastArcsToShare = std::size_t{1} << 18;

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

// What one piece leaves for the calling thread: how many arcs it kept, or the node set.
struct TablePiece {
  std::size_t kept = 0;
  std::optional<NodeTable<NodeIndex>> node_set;
};

// Each thread's neighbour table, which every node resets with a key of its own.
struct TableScratch {
  NodeTable<Arc> table{SipKey{0, 0}};
};

using TableStream = OrderedStream<TablePiece, TableScratch>;

}  // namespace

NodeIndex Graph::add_node(NodeId node, bool defer) {
  auto next = static_cast<NodeIndex>(node_of_.size());
  if (!defer) {
    auto [index, inserted] = nodes_.try_emplace(node, next);
    if (!inserted) return *index;
  }
  if (next == std::numeric_limits<NodeIndex>::max()) panic("capacity overflow");
  node_of_.push_back(node);
  return next;
}

void Graph::place_arcs(const Vec<Edge>& edges) {
  offsets_.assign(node_of_.size() + 1, 0);
  for (const Edge& edge : edges) {
    ++offsets_[edge.source];
    if (edge.target != edge.source) ++offsets_[edge.target];
  }
  // Each node's arc count becomes the start of its run.
  std::size_t total = 0;
  for (std::size_t& offset : offsets_) {
    total += std::exchange(offset, total);
  }
  arcs_.resize(total);
  Vec<std::size_t> cursor(offsets_.begin(), offsets_.end() - 1);
  for (const Edge& edge : edges) {
    arcs_[cursor[edge.source]++] = Arc{edge.target, edge.weight};
    if (edge.target != edge.source) arcs_[cursor[edge.target]++] = Arc{edge.source, edge.weight};
  }
}

bool Graph::fill_node_set(NodeTable<NodeIndex>& set, FunctionRef<bool()> stop) const {
  Countdown until_check(kStopCheckInterval);
  for (std::size_t index = 0; index < node_of_.size(); ++index) {
    // The set outgrows the caches on a large graph: fetch a node's place a few nodes ahead.
    if (index + kNodeLookahead < node_of_.size()) set.prefetch(node_of_[index + kNodeLookahead]);
    set.try_emplace(node_of_[index], static_cast<NodeIndex>(index));
    if (until_check.tick() && stop()) return false;
  }
  return true;
}

std::optional<std::size_t> Graph::fill_tables(std::size_t first, std::size_t end, SipKey first_key,
                                              NodeTable<Arc>& table, FunctionRef<bool()> stop) {
  // A node's table output never reaches beyond the start of its own arcs, which have all entered
  // the table before it is written.
  std::size_t out = offsets_[first];
  Countdown until_check(kStopCheckInterval);
  for (std::size_t node = first; node < end; ++node) {
    const std::size_t begin = offsets_[node];
    const std::size_t finish = offsets_[node + 1];
    table.reset(SipKey{first_key.k0 + node, first_key.k1}, finish - begin);
    for (std::size_t i = begin; i < finish; ++i) {
      table.insert_or_assign(node_of_[arcs_[i].to], arcs_[i]);
    }
    if (node != first) offsets_[node] = out;
    table.for_each([&](NodeId, const Arc& arc) { arcs_[out++] = arc; });
    if (until_check.tick(finish - begin) && stop()) return std::nullopt;
  }
  return out - offsets_[first];
}

bool Graph::make_tables_alone(bool fill_set, SipKey first_key, FunctionRef<bool()> stop) {
  TableScratch scratch;
  if (fill_set && !fill_node_set(nodes_, stop)) return false;
  const std::size_t nodes = node_of_.size();
  const std::optional<std::size_t> kept = fill_tables(0, nodes, first_key, scratch.table, stop);
  if (!kept) return false;
  offsets_[nodes] = *kept;
  arcs_.resize(*kept);
  return true;
}

bool Graph::lay_out(const Vec<Edge>& edges, bool fill_set, FunctionRef<bool()> stop) {
  place_arcs(edges);
  const std::size_t nodes = node_of_.size();
  // The tables' keys follow the node set's, one per node in index order.
  const SipKey first_key = next_table_keys(nodes);
  if (arcs_.size() < kLeastArcsToShare) return make_tables_alone(fill_set, first_key, stop);
  StreamCaller caller = stream_caller(true);
  if (caller.pool == nullptr) return make_tables_alone(fill_set, first_key, stop);

  // Pieces of consecutive nodes, of kPieceArcs arcs or more each (one node may have more).
  Vec<std::size_t> piece_starts{0};
  while (piece_starts.back() < nodes) {
    const std::size_t start = piece_starts.back();
    const auto after = std::upper_bound(offsets_.begin() + static_cast<std::ptrdiff_t>(start) + 1,
                                        offsets_.end() - 1, offsets_[start] + kPieceArcs - 1);
    piece_starts.push_back(static_cast<std::size_t>(after - offsets_.begin()));
  }
  const std::size_t pieces = piece_starts.size() - 1;
  // The node set, when it waited, is the first position, then come the pieces.
  const std::size_t set_positions = fill_set ? 1 : 0;
  const SipKey set_key = nodes_.key();
  auto produce = [&](std::size_t position, TablePiece& piece, TableScratch& scratch,
                     FunctionRef<bool()> stop_piece) {
    // Only the failure that comes out writes its diagnostic, below.
    DiagnosticHold hold;
    if (position < set_positions) {
      piece.node_set.emplace(set_key);
      return fill_node_set(*piece.node_set, stop_piece);
    }
    const std::size_t at = position - set_positions;
    const std::optional<std::size_t> kept =
        fill_tables(piece_starts[at], piece_starts[at + 1], first_key, scratch.table, stop_piece);
    piece.kept = kept.value_or(0);
    return kept.has_value();
  };

  std::exception_ptr failure;
  bool workers_gone = false;
  {
    const std::size_t positions = set_positions + pieces;
    const std::size_t ring = std::min<std::size_t>(positions, 256);
    TableStream stream(caller.pool, positions, ring, caller.role, stop, produce);
    stream.set_window(ring);
    // Where the kept arcs of the pieces consumed so far end, once closed up.
    std::size_t out = 0;
    for (std::size_t position = 0; position < positions; ++position) {
      TablePiece* piece = stream.next();
      if (piece == nullptr) return false;
      if ((failure = stream.take_failure()) || (workers_gone = stream.workers_gone())) break;
      if (position < set_positions) {
        nodes_ = std::move(*piece->node_set);
        piece->node_set.reset();
      } else {
        // The piece is done, and so are those before it, whose arcs it may move over; the
        // pieces after it do not read its starts.
        const std::size_t at = position - set_positions;
        const std::size_t first = piece_starts[at];
        const std::size_t start = offsets_[first];
        if (start != out) {
          std::copy(arcs_.begin() + static_cast<std::ptrdiff_t>(start),
                    arcs_.begin() + static_cast<std::ptrdiff_t>(start + piece->kept),
                    arcs_.begin() + static_cast<std::ptrdiff_t>(out));
          for (std::size_t node = first; node < piece_starts[at + 1]; ++node)
            offsets_[node] -= start - out;
        }
        out += piece->kept;
      }
      stream.release();
    }
    if (!failure && !workers_gone) {
      offsets_[nodes] = out;
      arcs_.resize(out);
    }
  }
  if (failure) rethrow_with_held_diagnostic(failure);
  if (workers_gone) {
    // Forked while the workers were at it: what they had half written stays behind in this
    // process (a piece recomputed over it read only its own arcs and starts, and was dropped).
    // The arcs are placed again, and every table made here.
    if (fill_set) nodes_ = NodeTable<NodeIndex>(set_key);
    place_arcs(edges);
    return make_tables_alone(fill_set, first_key, stop);
  }
  return true;
}

std::optional<Graph> Graph::build(Vec<Edge>&& edge_list, FunctionRef<bool()> stop) {
  Vec<Edge> edges = std::move(edge_list);
  Graph graph;
  WeightSummary weights;
  // Where the node numbers are few and small (as they usually are: 0 to n - 1, or near it), an
  // array by node number finds a known node's index faster than the node set's hashing; each
  // node then joins the node set later, in index order, which gives the same set, and on a large
  // graph overlaps with the neighbour tables.
  NodeId largest = 0;
  for (const Edge& edge : edges)
    largest = std::max({largest, edge.source, edge.target});
  Vec<NodeIndex> index_of_number;
  if (!edges.empty() && largest / 8 < edges.size()) {
    index_of_number.assign(std::size_t{largest} + 1, kNoIndex);
  }
  const bool by_number = !index_of_number.empty();
  auto index_of = [&](NodeId node) {
    if (!by_number) return graph.add_node(node, false);
    NodeIndex& index = index_of_number[node];
    if (index == kNoIndex) index = graph.add_node(node, true);
    return index;
  };
  // The node numbers of each edge are replaced by the nodes' indices (both are 32-bit), so the
  // later passes need no lookups and no memory of their own.
  Countdown until_check(kStopCheckInterval);
  for (std::size_t i = 0; i < edges.size(); ++i) {
    // The node set outgrows the caches on a large graph: the place of a node it will be asked
    // for is fetched a few edges ahead.
    if (!by_number && i + kNodeLookahead < edges.size()) {
      graph.nodes_.prefetch(edges[i + kNodeLookahead].source);
      graph.nodes_.prefetch(edges[i + kNodeLookahead].target);
    }
    Edge& edge = edges[i];
    edge.source = index_of(edge.source);
    edge.target = index_of(edge.target);
    weights.add(edge.weight);
    if (until_check.tick() && stop()) return std::nullopt;
  }
  index_of_number = Vec<NodeIndex>();
  if (!graph.lay_out(edges, by_number, stop)) return std::nullopt;
  graph.nonnegative_ = weights.nonnegative(graph.arcs_.size());
  return graph;
}

}  // namespace dorvane
