#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/panic.h"
#include "pool/collect.h"
#include "pool/worker_pool.h"
#include "pool_testing.h"

namespace dorvane {
namespace {

using testing::OwnedPool;

std::string panic_message_of(const std::function<void()>& body) {
  try {
    body();
  } catch (const Panic& panic) {
    return std::string(panic.message());
  }
  return "<none>";
}

// Counts how often each position was written and by which threads.
struct Watched {
  std::mutex* mutex;
  std::vector<std::atomic<int>>* writes;
  std::set<std::thread::id>* threads;
  void operator()(std::size_t position) const {
    // Long enough that a sleeping worker wakes up in time to steal.
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
    while (std::chrono::steady_clock::now() < until) {
    }
    (*writes)[position]++;
    std::lock_guard<std::mutex> lock(*mutex);
    threads->insert(std::this_thread::get_id());
  }
};

struct Collected {
  std::set<std::thread::id> threads;
  bool all_written_once = true;
};

// collect_in_order over [first, first + count) on `owned`, injected from outside or called on a
// worker.
Collected collect(OwnedPool& owned, std::size_t first, std::size_t count, bool from_outside) {
  std::mutex mutex;
  Collected out;
  std::vector<std::atomic<int>> writes(first + count);
  Watched op{&mutex, &writes, &out.threads};
  owned.run([&](WorkerThread&, bool injected) {
    collect_in_order(from_outside && injected, first, count, op);
    // One item stays on the worker that was asked.
    if (count == 1 && out.threads != std::set{std::this_thread::get_id()}) {
      ADD_FAILURE() << "one item left its worker";
    }
  });
  for (std::size_t position = 0; position < first + count; ++position)
    out.all_written_once &= writes[position].load() == (position >= first ? 1 : 0);
  return out;
}

TEST(CollectInOrder, EveryPositionIsWrittenOnceWhicheverThreadTakesIt) {
  for (std::size_t workers : {2, 4}) {
    OwnedPool owned(workers);
    bool shared = false;
    for (std::size_t count : {0, 1, 2, 3, 17, 1000}) {
      for (bool from_outside : {true, false}) {
        for (std::size_t first : {0, 5}) {
          Collected collected = collect(owned, first, count, from_outside);
          ASSERT_TRUE(collected.all_written_once) << count << " from " << first;
          shared |= collected.threads.size() > 1;
        }
      }
    }
    // Somewhere in all that, a thief took part.
    EXPECT_TRUE(shared) << workers << " workers";
  }
}

TEST(CollectInOrder, APanicComesOutAndTheLowestPositionWins) {
  OwnedPool owned(4);
  for (int round = 0; round < 20; ++round) {
    const std::size_t first_failure = 100 + round * 37;
    auto op = [&](std::size_t position) {
      if (position == first_failure || position == first_failure + 5 || position == 990) {
        throw Panic("position " + std::to_string(position));
      }
    };
    std::string message = panic_message_of([&] {
      owned.run([&](WorkerThread&, bool injected) { collect_in_order(injected, 0, 1000, op); });
    });
    ASSERT_EQ(message, "position " + std::to_string(first_failure));
  }
  // The pool serves the next collection normally.
  std::atomic<std::size_t> written{0};
  auto count = [&](std::size_t) { written++; };
  owned.run([&](WorkerThread&, bool injected) { collect_in_order(injected, 0, 500, count); });
  EXPECT_EQ(written.load(), 500u);
}

TEST(CollectTarget, MergeRules) {
  // The halves of a run of 4: a full left half absorbs its right neighbour; a left half with a
  // gap keeps only its own count, and the total-writes check then fails.
  struct Merge {
    std::size_t left_writes, right_writes, total, written;
  };
  for (const Merge& m : {Merge{2, 1, 4, 3}, Merge{1, 2, 2, 1}}) {
    auto [left, right] = CollectTarget(10, 4).split_at(2);
    for (std::size_t i = 0; i < m.left_writes; ++i)
      left.note_written();
    for (std::size_t i = 0; i < m.right_writes; ++i)
      right.note_written();
    const CollectTarget merged = CollectTarget::merge(left, right);
    EXPECT_EQ(merged.start(), 10u);
    EXPECT_EQ(merged.total(), m.total);
    EXPECT_EQ(merged.written(), m.written);
    EXPECT_EQ(panic_message_of([&] { merged.check_total_writes(4); }),
              "expected 4 total writes, but got " + std::to_string(m.written));
  }
}

}  // namespace
}  // namespace dorvane
