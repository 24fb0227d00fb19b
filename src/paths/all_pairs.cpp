#include "paths/all_pairs.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <utility>

#include "platform/countdown.h"
#include "platform/memory.h"
#include "platform/panic.h"
#include "pool/ordered_stream.h"
#include "pool/stream_caller.h"
#include "pool/worker_pool.h"

namespace dorvane {

namespace {

// Results waiting for their turn (or being filled) are kept near this many reached nodes in all,
// a few MiB, however large each one is: the window of positions computed ahead follows the
// average result size seen so far.
constexpr std::size_t kBufferedEntries = std::size_t{1} << 18;
// The most blocks computed ahead, whatever their size. Each slot of the ring keeps its buffer
// (up to kKeptBytes) once the workers' threads have used it, which the ring's size bounds.
constexpr std::size_t kRingSize = 256;
// Sources are handed on in blocks of consecutive indices, a block's results end to end in one
// buffer: where results are small (a cutoff on a large sparse graph), the hand-off's costs per
// stream position (a claim, a publication, and the lines of both that the caller reads from the
// processor that wrote them) would otherwise be paid per source and rival the result's own. A
// block aims at this many entries, going by the first source's result...
constexpr std::size_t kBlockEntries = 512;
constexpr std::size_t kMostBlockSources = 32;
// ...and takes no further source once it holds this many (32 times its aim): later results that
// much larger show that the first misled, and the call goes on one source at a time rather than
// let the blocks in flight hold many times the memory meant for them.
constexpr std::size_t kBlockCap = 32 * kBlockEntries;
// A consumed block's memory is kept for the next position of its slot when it is this small;
// a larger one is freed, so that few large buffers exist at any time.
constexpr std::size_t kKeptBytes = 4 * kBlockEntries * sizeof(Reached);
// How much of the next block the caller fetches ahead while it consumes the current one.
constexpr std::size_t kPrefetchedBytes = 1024;
// Calls with fewer sources park no worker for the caller: on a call of a few milliseconds,
// parking saves less than it costs (see stream_caller).
constexpr std::size_t kLeastCountToPark = 1024;

constexpr std::size_t kNone = ~std::size_t{0};

// The results of a block's first `done` sources, end to end, and its failures.
struct Block {
  Vec<Reached> entries;
  std::size_t done = 0;
  // The block's first source whose search failed (kNone if none did): nothing of the call is
  // consumed from it on. The failure kept is the one of lowest position among the block's.
  std::size_t first_failed = kNone;
  std::size_t failure_position = kNone;
  std::exception_ptr failure;
  std::size_t ends[kMostBlockSources];  // where each source's result ends in `entries`

  void clear() {
    entries.clear();
    done = 0;
    first_failed = kNone;
    failure_position = kNone;
    failure = nullptr;
  }
};

using SearchStream = OrderedStream<Block, SearchWorkspace>;

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
  const std::size_t workers = global_pool().thread_count();
  if (count == 0) return true;
  const StreamCaller caller = stream_caller(count >= kLeastCountToPark);

  // The lowest position of a search that failed so far. Relaxed: a hint for skipping searches
  // whose failure could not be the one raised, and whose results would be thrown away; the
  // searches below it always run, so the lowest failure is always found.
  std::atomic<std::size_t> lowest_failed{kNone};
  auto outranked = [&](std::size_t index) {
    return positions[index] > lowest_failed.load(std::memory_order_relaxed);
  };

  // Appends the result of source `index` to `block`, or its failure. A stopped search is never
  // handed on (false): only a search skipped for a lower failure is, empty (no source reaches
  // nothing), and the call fails at that failure anyway.
  auto search = [&](std::size_t index, Block& block, SearchWorkspace& workspace,
                    FunctionRef<bool()> stop) {
    if (stop()) return false;
    const std::size_t before = block.entries.size();
    bool searched = false;
    bool failed = false;
    // Held rather than written: of all the searches that may fail, only the failure that the call
    // raises (the lowest position's) writes its diagnostic, once, below.
    DiagnosticHold hold;
    try {
      searched = !outranked(index) &&
                 search_distances(graph, static_cast<NodeIndex>(index), cutoff, workspace,
                                  block.entries, [&] { return stop() || outranked(index); });
    } catch (...) {
      failed = true;
      const std::size_t position = positions[index];
      std::size_t lowest = lowest_failed.load(std::memory_order_relaxed);
      while (position < lowest &&
             !lowest_failed.compare_exchange_weak(lowest, position, std::memory_order_relaxed)) {
      }
      block.first_failed = std::min(block.first_failed, index);
      if (position < block.failure_position) {
        block.failure = std::current_exception();
        block.failure_position = position;
      }
    }
    if (!searched) {
      if (!failed && stop()) return false;
      block.entries.resize(before);  // a failure may have left part of a result
    }
    block.ends[block.done++] = block.entries.size();
    return true;
  };

  std::exception_ptr failure;
  std::size_t failure_position = kNone;
  // Hands on the results of `block`, whose first source is `begin`; false when the consumer
  // refused one.
  auto consume_block = [&](const Block& block, std::size_t begin) {
    std::size_t from = 0;
    for (std::size_t i = 0; i < block.done; ++i) {
      const std::size_t index = begin + i;
      if (index == block.first_failed && block.failure_position < failure_position) {
        failure = block.failure;
        failure_position = block.failure_position;
      }
      const std::span<const Reached> reached(block.entries.data() + from, block.ends[i] - from);
      from = block.ends[i];
      // Once a search has failed, the call fails: the results are no longer wanted.
      if (!failure && !reached.empty() && !consume(static_cast<NodeIndex>(index), reached)) {
        return false;
      }
    }
    return true;
  };

  // The first source is searched here, before the workers start: its result sets the blocks'
  // size.
  std::size_t block_size = 1;
  {
    SearchWorkspace workspace;
    // Polled as often as the stream polls while the caller computes.
    Countdown poll_countdown(1, StreamSchedule::kPollInterval);
    bool gave_up = false;
    Block first;
    if (!search(0, first, workspace,
                [&] { return gave_up || (gave_up = poll_countdown.tick() && poll()); }) ||
        !consume_block(first, 0)) {
      return false;
    }
    block_size = std::clamp<std::size_t>(
        kBlockEntries / std::max<std::size_t>(first.entries.size(), 1), 1, kMostBlockSources);
  }

  // The rest are streamed from `begin` on, in blocks of `block_size`. A block that outgrew its
  // memory ends the stream (the blocks computed ahead are dropped), and a new one goes on one
  // source at a time, which no block outgrows: at most one restart.
  std::size_t begin = 1;
  const std::size_t least_window = 2 * workers;
  while (begin < count) {
    // What the workers read of this stream's plan, fixed while it runs.
    const std::size_t stream_begin = begin;
    const std::size_t stream_block_size = block_size;
    const std::size_t blocks = (count - begin + block_size - 1) / block_size;
    auto produce = [&](std::size_t position, Block& block, SearchWorkspace& workspace,
                       FunctionRef<bool()> stop) {
      block.clear();
      const std::size_t first = stream_begin + position * stream_block_size;
      const std::size_t end = std::min(count, first + stream_block_size);
      for (std::size_t index = first; index < end && block.entries.size() < kBlockCap; ++index) {
        if (!search(index, block, workspace, stop)) return false;
      }
      return true;
    };
    // Declared after everything its jobs use, so that it is destroyed first: its destructor
    // waits for the workers to let go of them.
    SearchStream stream(caller.pool, blocks, std::min(blocks, kRingSize), caller.role, poll,
                        produce);
    stream.set_window(least_window);
    std::size_t reached_so_far = 0;
    for (std::size_t position = 0; position < blocks; ++position) {
      Block* block = stream.next();
      if (block == nullptr) return false;
      // The next block was written on another processor: fetching its first lines now hides
      // most of their transfer behind this one's consumption.
      if (const Block* ahead = stream.published_after()) {
        const char* bytes = reinterpret_cast<const char*>(ahead->entries.data());
        const std::size_t size =
            std::min(ahead->entries.size() * sizeof(Reached), kPrefetchedBytes);
        for (std::size_t at = 0; at < size; at += 64)
          __builtin_prefetch(bytes + at);
      }
      const std::size_t first = stream_begin + position * stream_block_size;
      const std::size_t end = std::min(count, first + stream_block_size);
      // Not expected, as a search's failure is kept in its block: a failure outside the
      // searches fails the call as the block's first source's.
      if (std::exception_ptr failed = stream.take_failure()) {
        if (positions[first] < failure_position) {
          failure = std::move(failed);
          failure_position = positions[first];
        }
        begin = end;
      } else {
        if (!consume_block(*block, first)) return false;
        begin = first + block->done;
        reached_so_far += block->entries.size();
      }
      if (block->entries.capacity() * sizeof(Reached) > kKeptBytes) {
        block->entries = Vec<Reached>();
      }
      stream.release();
      if (begin < end) {
        block_size = 1;
        break;
      }
      // Two divisions: now and then is often enough once the average has settled.
      if (position < 64 || position % 64 == 0) {
        const std::size_t average = std::max<std::size_t>(reached_so_far / (position + 1), 1);
        stream.set_window(std::max(least_window, kBufferedEntries / average));
      }
    }
  }
  // The lowest position's failure: the one diagnostic of the call.
  if (failure) rethrow_with_held_diagnostic(failure);
  return true;
}

}  // namespace dorvane
