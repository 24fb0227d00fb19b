// Order-preserving parallel map: one record per input item, computed on the worker pool and
// written straight into the item's own slot of the output vector.
//
// The input is cut in halves recursively, each cut run through join. How far to cut is governed
// by a split budget that starts at the thread count and is renewed whenever a piece has moved to
// another thread, so that work keeps being divided where it is actually being shared. Every piece
// owns a contiguous run of output slots (its CollectTarget); when two halves end, a full left run
// followed by its right neighbour merges into one run by arithmetic alone.
//
// A std::vector cannot take over elements built in its spare capacity, so the target region is
// first filled with default-constructed records and each computed record is move-assigned into
// its slot: still one move per record, and the vector's storage never moves while workers write.
// Should the collection fail, the region is cut off again and the vector keeps its old length.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/memory.h"
#include "platform/panic.h"
#include "pool/join.h"
#include "pool/worker_pool.h"

namespace dorvane {

// How many more cuts a piece may make, and the shortest piece a cut may produce.
struct SplitBudget {
  std::size_t splits;
  std::size_t min_len = 1;

  // Decides whether a piece of `len` items is cut, updating the budget that both halves copy.
  bool try_split(std::size_t len, bool migrated) {
    if (len / 2 < min_len) return false;
    if (migrated) {
      // The piece changed threads: work is being shared, so budget for the whole pool again.
      splits = std::max(current_thread_count(), splits / 2);
      return true;
    }
    if (splits == 0) return false;
    splits /= 2;
    return true;
  }
};

// A run of `total` output slots, of which the first `written` hold records this target owns.
// Owned records that are never handed on are released (reset to an empty record) when the
// target goes away, so a failed piece frees its results at once.
template <class Record>
class CollectTarget {
 public:
  CollectTarget(Record* start, std::size_t total) : start_(start), total_(total) {}
  CollectTarget(CollectTarget&& other) noexcept
      : start_(other.start_), total_(other.total_), written_(std::exchange(other.written_, 0)) {}
  CollectTarget& operator=(CollectTarget&&) = delete;
  ~CollectTarget() {
    for (std::size_t i = 0; i < written_; ++i)
      start_[i] = Record();
  }

  std::size_t total() const { return total_; }
  std::size_t written() const { return written_; }

  // Moves `record` into the next slot.
  void push(Record&& record) {
    if (written_ == total_) panic("too many values pushed to consumer");
    start_[written_] = std::move(record);
    ++written_;
  }

  // The first `index` slots and the rest, both unwritten.
  std::pair<CollectTarget, CollectTarget> split_at(std::size_t index) && {
    if (index > total_) panic("assertion failed: index <= len");
    return {CollectTarget(start_, index), CollectTarget(start_ + index, total_ - index)};
  }

  // Joins the results of two neighbouring pieces: one run when the left one was filled up to where
  // the right one starts, otherwise the left one alone (the right one's records are released).
  static CollectTarget merge(CollectTarget left, CollectTarget right) {
    if (left.start_ + left.written_ == right.start_) {
      CollectTarget merged(left.start_, left.total_ + right.total_);
      merged.written_ = std::exchange(left.written_, 0) + std::exchange(right.written_, 0);
      return merged;
    }
    return left;
  }

  // Gives up ownership of the written records, which now belong to the output vector.
  void hand_over() && { written_ = 0; }

 private:
  Record* start_;
  std::size_t total_;
  std::size_t written_ = 0;
};

namespace collect_detail {

// Fills `target` with op(item) for every item of `items`, cutting while the budget says so.
template <class Item, class Record, class Op>
CollectTarget<Record> collect_piece(std::span<Item> items, CollectTarget<Record> target,
                                    SplitBudget budget, bool migrated, Op& op) {
  if (budget.try_split(items.size(), migrated)) {
    const std::size_t mid = items.size() / 2;
    if (mid > items.size()) panic("mid > len");
    std::pair<CollectTarget<Record>, CollectTarget<Record>> targets =
        std::move(target).split_at(mid);
    std::pair<CollectTarget<Record>, CollectTarget<Record>> results = join(
        [&, budget](bool left_migrated) {
          return collect_piece(items.first(mid), std::move(targets.first), budget, left_migrated,
                               op);
        },
        [&, budget](bool right_migrated) {
          return collect_piece(items.subspan(mid), std::move(targets.second), budget,
                               right_migrated, op);
        });
    return CollectTarget<Record>::merge(std::move(results.first), std::move(results.second));
  }
  if constexpr (requires { op.start_run(items.size()); }) op.start_run(items.size());
  for (Item& item : items)
    target.push(op(std::move(item)));
  return target;
}

// Panics unless the root piece wrote all `len` slots.
template <class Record>
void check_total_writes(const CollectTarget<Record>& result, std::size_t len) {
  if (result.written() != len) {
    panic("expected " + std::to_string(len) + " total writes, but got " +
          std::to_string(result.written()));
  }
}

}  // namespace collect_detail

// Appends op(item) for every item of `input`, in input order, to `output`, computing the records
// on the worker pool (on the calling thread when there are fewer than two items). Consumes
// `input`. A panic of `op` comes out here, with `output` left as it was. `op` runs on several
// threads at once and must not need anything the calling thread holds while it waits.
// Record must be default-constructible (see the note at the top). An `op` with a member
// start_run(count) is told each time a thread starts a run of `count` consecutive items, so that
// tests can watch how the input was cut.
template <class Item, class Record, class Op>
void collect_in_order(Vec<Item>&& input, Op&& op, Vec<Record>& output) {
  static_assert(std::is_same_v<std::invoke_result_t<Op&, Item&&>, Record>,
                "the operation yields exactly one output record per item");
  Vec<Item> items = std::move(input);  // released when this returns, either way
  const std::size_t len = items.size();
  const std::size_t start = output.size();

  output.reserve(start + len);
  if (output.capacity() - start < len) panic("assertion failed: vec.capacity() - start >= len");
  output.resize(start + len);
  struct CutBackOnFailure {
    Vec<Record>& output;
    std::size_t start;
    bool armed = true;
    ~CutBackOnFailure() {
      if (armed) output.erase(output.begin() + static_cast<std::ptrdiff_t>(start), output.end());
    }
  } cut_back{output, start};

  CollectTarget<Record> root(output.data() + start, len);
  SplitBudget budget{current_thread_count(), 1};
  CollectTarget<Record> result = collect_detail::collect_piece(
      std::span<Item>(items), std::move(root), budget, /*migrated=*/false, op);
  collect_detail::check_total_writes(result, len);
  std::move(result).hand_over();
  cut_back.armed = false;
}

}  // namespace dorvane
