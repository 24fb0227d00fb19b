#include "paths/all_pairs.h"

#include <algorithm>
#include <atomic>
#include <exception>
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
// How much of the next result the caller fetches ahead while it consumes the current one.
constexpr std::size_t kPrefetchedBytes = 1024;
// Calls with fewer sources park no worker for the caller: parking one and letting it go again
// cost a few wake-ups, hundreds of microseconds, more than parking saves on a call of a few
// milliseconds.
constexpr std::size_t kLeastCountToPark = 1024;

using SearchStream = OrderedStream<Vec<Reached>, SearchWorkspace>;

}  // namespace

bool compute_all_pairs(const Graph& graph, const std::optional<double>& cutoff,
                       AllPairsConsumer consume, FunctionRef<bool()> poll) {
  const std::size_t count = graph.node_count();
  // Each source's position in the node set's order: of several failing searches, the one with
  // the lowest position is the call's failure.
  Vec<std::size_t> positions(count);
  std::size_t next_position = 0;
  graph.nodes().for_each([&](NodeId, NodeIndex index) { positions[index] = next_position++; });

  // Asked even when there is nothing to do: the first call of the process creates the pool.
  WorkerPool* pool = &global_pool();
  const std::size_t workers = pool->thread_count();
  // A worker cannot wait for the pool's jobs, which might need it: it computes everything itself.
  if (WorkerThread::current() != nullptr) pool = nullptr;
  // Where the workers can occupy every processor, the caller computes too, and on a long call a
  // worker makes room for it: otherwise the scheduler shares processors between the caller and
  // the workers, and the caller, whose progress the call waits for, loses its own to searches
  // that are not needed yet.
  const bool caller_helps = pool != nullptr && pool->callers_share_processors();
  const std::optional<WorkerPool::ParkedWorker> parked =
      caller_helps && count >= kLeastCountToPark ? pool->park_worker() : std::nullopt;

  // The lowest position of a search that failed so far. Relaxed: a hint for skipping searches
  // whose failure could not be the one raised, and whose results would be thrown away; the
  // searches below it always run, so the lowest failure is always found.
  std::atomic<std::size_t> lowest_failed{~std::size_t{0}};
  auto outranked = [&](std::size_t index) {
    return positions[index] > lowest_failed.load(std::memory_order_relaxed);
  };

  // A stopped search is never handed on (false): only a search skipped for a lower failure is,
  // empty (no source reaches nothing), and the call fails at that failure anyway.
  auto search = [&](std::size_t index, Vec<Reached>& reached, SearchWorkspace& workspace,
                    FunctionRef<bool()> stop) {
    if (stop()) return false;
    // Held rather than written: of all the searches that may fail, only the failure that the call
    // raises (the lowest position's) writes its diagnostic, once, below.
    DiagnosticHold hold;
    try {
      if (!outranked(index) &&
          search_distances(graph, static_cast<NodeIndex>(index), cutoff, workspace, reached,
                           [&] { return stop() || outranked(index); })) {
        return true;
      }
    } catch (...) {
      const std::size_t position = positions[index];
      std::size_t lowest = lowest_failed.load(std::memory_order_relaxed);
      while (position < lowest &&
             !lowest_failed.compare_exchange_weak(lowest, position, std::memory_order_relaxed)) {
      }
      throw;
    }
    if (stop()) return false;
    reached.clear();
    return true;
  };
  // Declared last, so that it is destroyed first: its destructor waits for the workers to let go
  // of the graph.
  SearchStream stream(pool, count, std::min(count, kRingSize),
                      caller_helps ? SearchStream::Caller::kHelps : SearchStream::Caller::kWaits,
                      poll, search);
  const std::size_t least_window = 2 * workers;
  stream.set_window(least_window);

  std::exception_ptr failure;
  std::size_t failure_position = ~std::size_t{0};
  std::size_t reached_so_far = 0;
  for (std::size_t index = 0; index < count; ++index) {
    Vec<Reached>* reached = stream.next();
    if (reached == nullptr) return false;
    // The next result was written on another processor: fetching its first lines now hides
    // most of their transfer behind this one's consumption.
    if (const Vec<Reached>* ahead = stream.published_after()) {
      const char* bytes = reinterpret_cast<const char*>(ahead->data());
      const std::size_t size = std::min(ahead->size() * sizeof(Reached), kPrefetchedBytes);
      for (std::size_t at = 0; at < size; at += 64)
        __builtin_prefetch(bytes + at);
    }
    if (std::exception_ptr failed = stream.take_failure()) {
      if (positions[index] < failure_position) {
        failure = std::move(failed);
        failure_position = positions[index];
      }
    } else if (!failure && !reached->empty()) {
      // Once a search has failed, the call fails: the results are no longer wanted.
      if (!consume(static_cast<NodeIndex>(index), *reached)) return false;
    }
    reached_so_far += reached->size();
    if (reached->capacity() * sizeof(Reached) > kKeptBytes) *reached = Vec<Reached>();
    stream.release();
    // Two divisions: now and then is often enough once the average has settled.
    if (index < 64 || index % 64 == 0) {
      const std::size_t average = std::max<std::size_t>(reached_so_far / (index + 1), 1);
      stream.set_window(std::max(least_window, kBufferedEntries / average));
    }
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
