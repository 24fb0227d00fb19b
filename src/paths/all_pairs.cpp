#include "paths/all_pairs.h"

#include <algorithm>
#include <utility>

#include "platform/memory.h"
#include "platform/panic.h"
#include "pool/ordered_stream.h"
#include "pool/worker_pool.h"
#include "pool/worker_thread.h"

namespace dorvane {

namespace {

// Results waiting for their turn (or being filled) are kept near this many reached nodes in all,
// a few MiB, however large each one is: the window of positions computed ahead follows the
// average result size seen so far.
constexpr std::size_t kBufferedEntries = std::size_t{1} << 18;
// The most results computed ahead, whatever their size.
constexpr std::size_t kRingSize = 1024;
// A consumed result's memory is kept for the next position of its slot when it is this small;
// a larger one is freed, so that few large buffers exist at any time.
constexpr std::size_t kKeptBytes = 8 * 1024;

}  // namespace

bool compute_all_pairs(const Graph& graph, const std::optional<double>& cutoff,
                       AllPairsConsumer consume, FunctionRef<bool()> poll) {
  // The sources in the node set's order; a source's index here is its position.
  Vec<NodeIndex> sources;
  sources.reserve(graph.node_count());
  graph.nodes().for_each([&](NodeId, NodeIndex index) { sources.push_back(index); });
  const std::size_t count = sources.size();

  // Asked even when there is nothing to do: the first call of the process creates the pool.
  const std::size_t workers = current_thread_count();
  // A worker of the pool cannot wait for its own pool's lanes: it computes everything itself.
  WorkerPool* pool = WorkerThread::current() == nullptr ? &default_pool() : nullptr;

  // Working memory for the searches of this call: one workspace per worker, and a last one for
  // the calling thread. Each is used by one thread at a time and freed when the call ends.
  Vec<SearchWorkspace> workspaces(workers + 1);
  auto workspace_of_this_thread = [&workspaces, workers]() -> SearchWorkspace& {
    const WorkerThread* worker = WorkerThread::current();
    if (worker == nullptr) return workspaces[workers];
    if (worker->index() >= workers) [[unlikely]] {
      panic("assertion failed: worker index within the pool's thread count");
    }
    return workspaces[worker->index()];
  };

  Vec<Vec<Reached>> results(std::min(count, kRingSize));
  const OrderedStream* stream_ptr = nullptr;
  auto search = [&](std::size_t position, std::size_t slot) {
    // Held rather than written: of all the searches that may fail, only the failure that the call
    // raises (the lowest position's) writes its diagnostic, once, below.
    DiagnosticHold hold;
    return search_distances(graph, sources[position], cutoff, workspace_of_this_thread(),
                            results[slot], [&] { return stream_ptr->stopping(position); });
  };
  // Declared last, so that it is destroyed first: its destructor waits for the workers to let go
  // of the graph, the workspaces and the results.
  OrderedStream stream(pool, count, results.size(), search);
  stream_ptr = &stream;
  const std::size_t least_window = 2 * workers;
  stream.set_window(least_window);

  std::size_t reached_so_far = 0;
  for (std::size_t position = 0; position < count; ++position) {
    std::optional<std::size_t> slot;
    try {
      slot = stream.next(poll);
    } catch (Panic& failure) {
      failure.write_held_diagnostic();
      throw;
    }
    if (!slot) return false;
    Vec<Reached>& reached = results[*slot];
    if (!consume(sources[position], reached)) return false;
    reached_so_far += reached.size();
    if (reached.capacity() * sizeof(Reached) > kKeptBytes) {
      reached = Vec<Reached>();
    }
    stream.release();
    const std::size_t average = std::max<std::size_t>(reached_so_far / (position + 1), 1);
    stream.set_window(std::max(least_window, kBufferedEntries / average));
  }
  return true;
}

AllPairsResult compute_all_pairs(const Graph& graph, const std::optional<double>& cutoff) {
  AllPairsResult result;
  result.reserve(graph.node_count());
  compute_all_pairs(
      graph, cutoff,
      [&](NodeIndex source, std::span<const Reached> reached) {
        DistanceMap distances;
        distances.reserve(reached.size());
        for (const Reached& node : reached)
          distances.insert_new(graph.node_at(node.node), node.distance);
        result.insert_new(graph.node_at(source), std::move(distances));
        return true;
      },
      [] { return false; });
  return result;
}

}  // namespace dorvane
