#include "paths/all_pairs.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <new>
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
                       AllPairsConsumer consume, FunctionRef<bool()> poll, WorkerPool* pool) {
  const std::size_t count = graph.node_count();
  // Each source's position in the node set's order: of several failing searches, the one with
  // the lowest position is the call's failure.
  Vec<std::size_t> positions(count);
  std::size_t next_position = 0;
  graph.nodes().for_each([&](NodeId, NodeIndex index) { positions[index] = next_position++; });

  // Asked even when there is nothing to do: the first call of the process creates the pool.
  if (pool == nullptr) pool = &global_pool();
  const std::size_t workers = pool->thread_count();
  // A worker cannot wait for the pool's jobs, which might need it: it computes everything itself.
  if (WorkerThread::current() != nullptr) pool = nullptr;

  // Working memory for the searches of this call: one workspace per worker, and a last one for
  // the calling thread. Each is used by one thread at a time and freed when the call ends, but
  // in a child forked during the call, where the workers were left behind in the middle of their
  // searches: that memory may be half-written there, and is left unfreed.
  Vec<SearchWorkspace> workspaces(workers + 1);
  Vec<Vec<Reached>> results(std::min(count, kRingSize));
  struct LeftBehindAfterFork {
    const WorkerPool* pool;
    Vec<SearchWorkspace>& workspaces;
    Vec<Vec<Reached>>& results;
    ~LeftBehindAfterFork() {
      if (pool == nullptr || pool->workers_here()) return;
      new (&workspaces) Vec<SearchWorkspace>();
      new (&results) Vec<Vec<Reached>>();
    }
  } left_behind{pool, workspaces, results};
  auto workspace_of_this_thread = [&workspaces, workers]() -> SearchWorkspace& {
    const WorkerThread* worker = WorkerThread::current();
    if (worker == nullptr) return workspaces[workers];
    if (worker->index() >= workers) [[unlikely]] {
      panic("assertion failed: worker index within the pool's thread count");
    }
    return workspaces[worker->index()];
  };

  // The lowest position of a search that failed so far. Relaxed: a hint for skipping searches
  // whose failure could not be the one raised, and whose results would be thrown away; the
  // searches below it always run, so the lowest failure is always found.
  std::atomic<std::size_t> lowest_failed{~std::size_t{0}};
  auto note_failure = [&](std::size_t position) {
    std::size_t lowest = lowest_failed.load(std::memory_order_relaxed);
    while (position < lowest &&
           !lowest_failed.compare_exchange_weak(lowest, position, std::memory_order_relaxed)) {
    }
  };

  // The searches run in index order, which is that of first appearance in the edge list: nearby
  // sources tend to be close in the graph and to share cache-friendly working memory.
  auto search = [&](const OrderedStream::Work& work) {
    Vec<Reached>& reached = results[work.slot];
    // Left half-written by a thread that is gone: let its memory go unfreed.
    if (work.slot_torn) new (&reached) Vec<Reached>();
    auto unwanted = [&] {
      return work.stop() ||
             positions[work.position] > lowest_failed.load(std::memory_order_relaxed);
    };
    if (unwanted()) {
      reached.clear();  // no source reaches nothing, so empty means skipped
      return true;
    }
    // Held rather than written: of all the searches that may fail, only the failure that the call
    // raises (the lowest position's) writes its diagnostic, once, below.
    DiagnosticHold hold;
    try {
      if (!search_distances(graph, static_cast<NodeIndex>(work.position), cutoff,
                            workspace_of_this_thread(), reached, unwanted)) {
        reached.clear();
      }
      return true;
    } catch (...) {
      note_failure(positions[work.position]);
      throw;
    }
  };
  // Declared last, so that it is destroyed first: its destructor waits for the workers to let go
  // of the graph, the workspaces and the results.
  OrderedStream stream(pool, count, results.size(), search, OrderedStream::caller_role_for(pool));
  const std::size_t least_window = 2 * workers;
  stream.set_window(least_window);

  std::exception_ptr failure;
  std::size_t failure_position = ~std::size_t{0};
  std::size_t reached_so_far = 0;
  for (std::size_t index = 0; index < count; ++index) {
    const std::optional<std::size_t> slot = stream.next(poll);
    if (!slot) return false;
    Vec<Reached>& reached = results[*slot];
    if (std::exception_ptr failed = stream.take_failure(*slot)) {
      if (positions[index] < failure_position) {
        failure = std::move(failed);
        failure_position = positions[index];
      }
    } else if (!failure && !reached.empty()) {
      // Once a search has failed, the call fails: the results are no longer wanted.
      if (!consume(static_cast<NodeIndex>(index), reached)) return false;
    }
    reached_so_far += reached.size();
    if (reached.capacity() * sizeof(Reached) > kKeptBytes) {
      reached = Vec<Reached>();
    }
    stream.release();
    const std::size_t average = std::max<std::size_t>(reached_so_far / (index + 1), 1);
    stream.set_window(std::max(least_window, kBufferedEntries / average));
  }
  if (failure) {
    stream.stop_and_wait();
    try {
      std::rethrow_exception(failure);
    } catch (Panic& panic) {
      // The lowest position's failure: the one diagnostic of the call.
      panic.write_held_diagnostic();
      throw;
    }
  }
  return true;
}

}  // namespace dorvane
