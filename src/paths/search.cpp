// Dijkstra's algorithm without decrease-key: an improved tentative distance is pushed as a new
// queue entry, and an outdated entry is skipped when it comes out.
//
// The map of tentative distances and the "already fixed?" test live in the workspace's array
// indexed by the graph's dense node index. Only the result's order, which is observable, is that
// of a hashed table; it is worked out once the search knows how many nodes it fixed.
#include "paths/search.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <span>

#include "paths/table_key.h"
#include "platform/countdown.h"
#include "platform/panic.h"

namespace dorvane {

namespace {

constexpr const char* kContradiction = "Contradictory paths found: negative weights?";

// How many queue entries a search takes between two looks at its stop check.
constexpr std::size_t kStopCheckInterval = 1024;

// Hands `value` to the optimiser as an unknown: a flag computed with comparisons then stays a
// flag instead of becoming a chain of branches, which would be mispredicted about half the time.
inline uint32_t opaque(uint32_t value) {
  asm("" : "+r"(value));
  return value;
}

}  // namespace

// The search's frontier: what it knows about each node and the queue of candidates. Two kinds
// run the same loop (SearchRun::run).
//
// The exact frontier is the general one: tentative and fixed distances as doubles, the heap
// whose every comparison is prescribed (search_queue.h), a push counter for the ties, and the
// contradiction test against fixed nodes.
class ExactFrontier {
 public:
  ExactFrontier(const Graph& graph, SearchWorkspace& workspace, double limit)
      : queue_(workspace.exact_queue_),
        order_(graph),
        limit_(limit),
        nodes_(prepare(graph, workspace)) {}

  void start(NodeIndex source) {
    nodes_[source] = NodeState{0.0, queued_};
    queue_.push(QueueEntry{0.0, 0, source}, order_);
  }

  bool empty() const { return queue_.empty(); }

  // Takes the next entry: true, with its node and distance, when it fixes a node; false when it
  // is outdated (its node was fixed by an earlier, shorter entry).
  bool take(NodeIndex& node, double& distance) {
    const QueueEntry entry = queue_.pop(order_);
    NodeState& state = nodes_[entry.index];
    if (state.stamp == fixed_) return false;  // a queued node has `queued_`
    state = NodeState{entry.distance, fixed_};
    node = entry.index;
    distance = entry.distance;
    return true;
  }

  // The arcs of a node fixed at `base`, in order, each offered unless its candidate exceeds the
  // limit. Without a cutoff the limit is +inf, which no candidate exceeds; nor does a NaN on
  // either side, so NaN cutoffs and candidates are never skipped, as required.
  void offer_all(std::span<const Arc> arcs, double base) {
    for (const Arc& arc : arcs) {
      const double candidate = base + arc.weight;
      if (candidate > limit_) continue;
      offer(arc.to, candidate);
    }
  }

  // A path of length `candidate` to `node`. A fixed node that it beats is a contradiction; a node
  // not yet queued by this search, or queued further away, improves. A comparison with a NaN is
  // false, so a NaN on either side neither contradicts nor improves.
  void offer(NodeIndex node, double candidate) {
    NodeState& next = nodes_[node];
    const uint32_t shorter = next.distance > candidate;
    const uint32_t is_fixed = next.stamp == fixed_;
    const uint32_t contradicts = opaque(is_fixed & shorter);
    const uint32_t improves = opaque(~is_fixed & ((next.stamp != queued_) | shorter) & 1);
    if (contradicts != 0) [[unlikely]] {
      panic(kContradiction);
    }
    if (improves != 0) {
      next = NodeState{candidate, queued_};
      queue_.push(QueueEntry{candidate, push_counter_++, node}, order_);
    }
  }

 private:
  using NodeState = SearchWorkspace::NodeState;

  // Makes the state array cover the graph and starts a new generation of stamps.
  NodeState* prepare(const Graph& graph, SearchWorkspace& workspace) {
    Vec<NodeState>& nodes = workspace.nodes_;
    if (nodes.size() < graph.node_count()) nodes.resize(graph.node_count(), NodeState{0.0, 0});
    if (++workspace.generation_ == uint32_t{1} << 31) {
      // After 2^31 searches old stamps could look current again: start over.
      for (NodeState& state : nodes) {
        state.stamp = 0;
      }
      workspace.generation_ = 1;
    }
    queued_ = 2 * workspace.generation_;
    fixed_ = queued_ + 1;
    queue_.clear();
    return nodes.data();
  }

  SearchQueue& queue_;
  PriorityOrder order_;
  double limit_;
  uint32_t queued_ = 0;
  uint32_t fixed_ = 0;
  NodeState* nodes_;
  uint32_t push_counter_ = 1;
};

// The monotone frontier, for graphs whose weights are all non-negative (Graph::nonnegative):
// no candidate is then below the distance it extends, so the radix queue applies (see
// radix_queue.h for why it pops exactly what the exact heap would), and no fixed node can ever
// be beaten, so there is no contradiction to test for. Distances are kept as ordered keys, and a
// fixed node's key is 0, below every candidate's: one integer comparison decides each offer.
class MonotoneFrontier {
 public:
  // Without a cutoff, or with one of +inf or NaN, no candidate is beyond the limit, and the loop
  // over the arcs leaves out the test. Otherwise the test is on keys, which keep the order of
  // the candidates: a candidate is within the limit when its key is below the ceiling. A limit
  // of -0.0 counts as +0.0, which it equals: +0.0 candidates are kept.
  MonotoneFrontier(const Graph& graph, SearchWorkspace& workspace, double limit)
      : graph_(graph),
        workspace_(workspace),
        queue_(workspace.radix_queue_),
        limited_(limit < std::numeric_limits<double>::infinity()),
        ceiling_(limited_ ? ordered_key(limit == 0.0 ? 0.0 : limit) + 1 : 0) {
    Vec<uint64_t>& keys = workspace.keys_;
    if (keys.size() < graph.node_count()) keys.resize(graph.node_count(), kNotQueued);
    keys_ = keys.data();
    queue_.clear();
    queue_.set_current_keys(keys_);
  }
  // Puts back every key this search changed: those of the fixed nodes when it ran to its end
  // (every node it queued is then fixed), all of them otherwise.
  ~MonotoneFrontier() {
    if (queue_.empty()) {
      for (const Reached& node : workspace_.fixed_)
        keys_[node.node] = kNotQueued;
    } else {
      std::fill(workspace_.keys_.begin(), workspace_.keys_.end(), kNotQueued);
    }
  }
  MonotoneFrontier(const MonotoneFrontier&) = delete;
  MonotoneFrontier& operator=(const MonotoneFrontier&) = delete;

  void start(NodeIndex source) {
    keys_[source] = ordered_key(0.0);
    queue_.push(ordered_key(0.0), source, queue_.last());
  }

  bool empty() const { return queue_.empty(); }

  bool take(NodeIndex& node, double& distance) {
    RadixQueue::Item item;
    if (!queue_.pop(item) || keys_[item.index] == kFixed) return false;
    keys_[item.index] = kFixed;
    // The arcs of the next node are fetched while this one's are walked.
    if (const RadixQueue::Item* next = queue_.likely_next()) graph_.prefetch_arcs(next->index);
    node = item.index;
    distance = distance_of_key(item.key);
    return true;
  }

  // Offers the arcs of a node fixed at `base` at once, which keeps the queue's last key and the
  // key array out of memory between arcs.
  void offer_all(std::span<const Arc> arcs, double base) {
    if (limited_) {
      offer_arcs<true>(arcs, base);
    } else {
      offer_arcs<false>(arcs, base);
    }
  }

 private:
  template <bool kLimited>
  void offer_arcs(std::span<const Arc> arcs, double base) {
    const uint64_t last = queue_.last();
    uint64_t* const keys = keys_;
    Vec<RadixQueue::Item>& staged = workspace_.staged_;
    if (staged.size() < arcs.size()) staged.resize(arcs.size());
    RadixQueue::Item* const out = staged.data();
    std::size_t improved = 0;
    for (const Arc& arc : arcs) {
      const double candidate = base + arc.weight;
      // A weight may be -0.0 but none is below zero, and the base is never -0.0 (radix_queue.h):
      // the candidate is +0.0 or more, never -0.0, as +0.0 + -0.0 is +0.0. Its key is then its
      // bits with the sign bit set (see ordered_key); a -0.0 would get +0.0's key that way.
      const uint64_t key = std::bit_cast<uint64_t>(candidate) | (uint64_t{1} << 63);
      const uint64_t old = keys[arc.to];
      // Beyond the limit is never offered, as in ExactFrontier::offer_all; nor is a fixed node,
      // whose key is 0.
      const bool improves = key < (kLimited ? std::min(old, ceiling_) : old);
      keys[arc.to] = improves ? key : old;
      // Field by field: a braced Item would also zero its padding, a third store per arc.
      out[improved].key = key;
      out[improved].index = arc.to;
      improved += improves;
    }
    for (std::size_t i = 0; i < improved; ++i)
      queue_.push(out[i].key, out[i].index, last);
  }

  static constexpr uint64_t kFixed = 0;
  static constexpr uint64_t kNotQueued = ~uint64_t{0};

  const Graph& graph_;
  SearchWorkspace& workspace_;
  RadixQueue& queue_;
  const bool limited_;
  const uint64_t ceiling_;  // keys from here on are beyond the limit
  uint64_t* keys_;
};

struct SearchRun {
  // The search proper. Leaves the fixed nodes in `workspace.fixed_`, in the order they were
  // fixed. False when stopped.
  template <class Frontier>
  static bool run(const Graph& graph, NodeIndex source, double limit, SearchWorkspace& workspace,
                  FunctionRef<bool()> stop) {
    Vec<Reached>& fixed = workspace.fixed_;
    fixed.clear();
    Frontier frontier(graph, workspace, limit);
    frontier.start(source);
    Countdown until_check(kStopCheckInterval);
    while (!frontier.empty()) {
      if (until_check.tick() && stop()) return false;
      NodeIndex node;
      double base;
      if (!frontier.take(node, base)) continue;
      fixed.push_back(Reached{node, base});
      frontier.offer_all(graph.neighbours_at(node), base);
    }
    return true;
  }

  // Runs the fastest search the graph allows.
  static bool search(const Graph& graph, NodeIndex source, double limit, SearchWorkspace& workspace,
                     FunctionRef<bool()> stop) {
    if (graph.nonnegative()) {
      return run<MonotoneFrontier>(graph, source, limit, workspace, stop);
    }
    return run<ExactFrontier>(graph, source, limit, workspace, stop);
  }

  // Appends the fixed nodes in the iteration order of their distance table: a NodeTable with a
  // fresh key, room for exactly the fixed nodes, filled in fixing order.
  static void collect(const Graph& graph, SipKey key, SearchWorkspace& workspace,
                      Vec<Reached>& reached) {
    const Vec<Reached>& fixed = workspace.fixed_;
    const std::size_t before = reached.size();
    reached.resize(before + fixed.size());
    Reached* out = reached.data() + before;
    workspace.slot_order_.place(
        key, fixed.size(), [&](std::size_t i) { return graph.node_at(fixed[i].node); },
        [&](std::size_t i) { *out++ = fixed[i]; });
  }
};

bool search_distances(const Graph& graph, NodeIndex source, const std::optional<double>& cutoff,
                      SearchWorkspace& workspace, Vec<Reached>& reached, FunctionRef<bool()> stop) {
  if (source >= graph.node_count()) [[unlikely]] {
    panic(kUnwrapNoneMessage);
  }
  // The key of the distance table, whose order the result takes. The tentative distances live in
  // the workspace's array and need none.
  const SipKey key = next_table_key();
  const double limit = cutoff.value_or(std::numeric_limits<double>::infinity());
  if (!SearchRun::search(graph, source, limit, workspace, stop)) return false;
  SearchRun::collect(graph, key, workspace, reached);
  return true;
}

}  // namespace dorvane
