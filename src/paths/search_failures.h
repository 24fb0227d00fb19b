// The failures of the searches of one all-pairs call.
//
// When searches fail, the call raises the failure of the one with the lowest position, and it
// writes one diagnostic: that failure's. So every search runs inside a DiagnosticHold, and the
// driver writes the held diagnostic of the panic that comes out of the parallel phase. Once a
// search has failed, a search at a higher position is skipped: its failure, if it had one, could
// not be the one raised, and its result would be thrown away.
#pragma once

#include <atomic>
#include <cstddef>
#include <limits>
#include <type_traits>

#include "platform/panic.h"

namespace dorvane {

class SearchFailures {
 public:
  SearchFailures() = default;
  SearchFailures(const SearchFailures&) = delete;
  SearchFailures& operator=(const SearchFailures&) = delete;

  // Runs `search()`, the search at `position`, with its panic's diagnostic held, and returns its
  // result; its failure is noted and propagates. Returns a default-constructed result without
  // searching when a search at a lower position has already failed. Any thread may call it.
  template <class Search>
  std::invoke_result_t<Search&> run(std::size_t position, Search&& search) {
    // Relaxed: the value is only a hint. A stale one skips less; which failure comes out of the
    // call never depends on it, since the lowest failing position is never skipped.
    if (position > lowest_failed_.load(std::memory_order_relaxed)) return {};
    DiagnosticHold hold;
    try {
      return search();
    } catch (...) {
      note_failure(position);
      throw;
    }
  }

 private:
  void note_failure(std::size_t position) {
    std::size_t lowest = lowest_failed_.load(std::memory_order_relaxed);
    // Relaxed: nothing else is published through this value (see run).
    while (position < lowest &&
           !lowest_failed_.compare_exchange_weak(lowest, position, std::memory_order_relaxed)) {
    }
  }

  std::atomic<std::size_t> lowest_failed_{std::numeric_limits<std::size_t>::max()};
};

}  // namespace dorvane
