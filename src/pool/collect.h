// Order-preserving parallel collection: a run of consecutive positions, each computed on the
// worker pool by an operation that writes the position's record straight into its own slot.
//
// The run is cut in halves recursively, each cut run through join. How far to cut is governed by
// a split budget that starts at the thread count and is renewed whenever a piece has moved to
// another thread, so that work keeps being divided where it is actually being shared. Every piece
// counts the leading positions of its own run that it has written (its CollectTarget); when two
// halves end, a complete left run followed by its right neighbour merges into one run by
// arithmetic alone, and at the end the whole run must have been written, each position once.
//
// The records are the operation's business: it publishes each one as it writes it, so that a
// consumer may take it while the rest of the run is still being computed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>

#include "platform/panic.h"
#include "pool/join.h"
#include "pool/worker_pool.h"
#include "pool/worker_thread.h"

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

// A run of `total` positions from `start`, of which the first `written` have been written.
class CollectTarget {
 public:
  CollectTarget(std::size_t start, std::size_t total) : start_(start), total_(total) {}

  std::size_t start() const { return start_; }
  std::size_t total() const { return total_; }
  std::size_t written() const { return written_; }

  // The position whose record is written next.
  std::size_t next_position() const { return start_ + written_; }
  // Counts the record of next_position() as written.
  void note_written() { ++written_; }

  // The first `index` positions (at most total()) and the rest, both unwritten.
  std::pair<CollectTarget, CollectTarget> split_at(std::size_t index) const {
    return {CollectTarget(start_, index), CollectTarget(start_ + index, total_ - index)};
  }

  // Joins the results of two neighbouring pieces: one run when the left one was written up to
  // where the right one starts, otherwise the left one alone.
  static CollectTarget merge(const CollectTarget& left, const CollectTarget& right) {
    if (left.start_ + left.written_ != right.start_) return left;
    CollectTarget merged(left.start_, left.total_ + right.total_);
    merged.written_ = left.written_ + right.written_;
    return merged;
  }

  // Panics unless `len` positions were written.
  void check_total_writes(std::size_t len) const {
    if (written_ != len) {
      panic("expected " + std::to_string(len) + " total writes, but got " +
            std::to_string(written_));
    }
  }

 private:
  std::size_t start_;
  std::size_t total_;
  std::size_t written_ = 0;
};

namespace collect_detail {

// Writes every position of `target` with op(position), cutting while the budget says so. The
// cut's join runs on the current worker with the `injected` flag it is given (true only for the
// root of a collection that was injected into the pool).
template <class Op>
CollectTarget collect_piece(CollectTarget target, SplitBudget budget, bool migrated, bool injected,
                            Op& op) {
  const std::size_t len = target.total();
  if (budget.try_split(len, migrated)) {
    const std::size_t mid = len / 2;
    const auto [left, right] = target.split_at(mid);
    const auto [left_result, right_result] = join(
        injected,
        [&, budget](bool left_migrated) {
          return collect_piece(left, budget, left_migrated, false, op);
        },
        [&, budget](bool right_migrated) {
          return collect_piece(right, budget, right_migrated, false, op);
        });
    return CollectTarget::merge(left_result, right_result);
  }
  for (std::size_t i = 0; i < len; ++i) {
    op(target.next_position());
    target.note_written();
  }
  return target;
}

}  // namespace collect_detail

// Runs op(position) for every position in [first, first + count), on the calling worker and
// whichever workers steal pieces of it; returns when all are done. `injected` says whether this
// call was injected into the pool from a thread outside it, which makes both halves of the first
// cut count as migrated. A panic of `op` comes out here (of two, the lower half's). `op` runs on
// several threads at once and must not wait for anything a thread outside the pool holds.
template <class Op>
void collect_in_order(bool injected, std::size_t first, std::size_t count, Op& op) {
  SplitBudget budget{current_thread_count(), 1};
  const CollectTarget result = collect_detail::collect_piece(CollectTarget(first, count), budget,
                                                             /*migrated=*/false, injected, op);
  result.check_total_writes(count);
}

}  // namespace dorvane
