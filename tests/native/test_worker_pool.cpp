#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "new_process.h"
#include "os_errors.h"
#include "platform/panic.h"
#include "platform/platform.h"
#include "pool/abort_guard.h"
#include "pool/join.h"
#include "pool/worker_pool.h"

namespace dorvane {
namespace {

using std::chrono::seconds;

// Spins (yielding) until `flag` is true or `limit` has passed; returns whether it became true.
bool wait_for(const std::atomic<bool>& flag, seconds limit = seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!flag.load(std::memory_order_acquire)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// The message of the Panic that `body` throws, or "<none>".
template <class Body>
std::string panic_message_of(Body&& body) {
  try {
    body();
  } catch (const Panic& panic) {
    return std::string(panic.message());
  }
  return "<none>";
}

// Sum of the positions begin..end-1, computed by recursive joins; a position marked in `failing`
// panics with its own number instead.
int64_t tree_sum(std::size_t begin, std::size_t end, const std::vector<char>& failing) {
  if (end - begin == 1) {
    if (failing[begin]) throw Panic("leaf " + std::to_string(begin));
    return static_cast<int64_t>(begin);
  }
  const std::size_t mid = begin + (end - begin) / 2;
  auto [left, right] = join([&](bool) { return tree_sum(begin, mid, failing); },
                            [&](bool) { return tree_sum(mid, end, failing); });
  return left + right;
}

TEST(WorkerPool, OutsideCallsRunOnAWorkerAndNestedCallsRunInPlace) {
  OwnedPool owned(2);
  struct Seen {
    WorkerThread* worker;
    bool injected;
    WorkerThread* nested_worker;
    bool nested_injected;
    std::size_t count;
  };
  Seen seen = owned.pool().run([](WorkerThread& worker, bool injected) {
    auto [nested_worker, nested_injected] = run_in_worker(
        [](WorkerThread& inner, bool inner_injected) { return std::pair(&inner, inner_injected); });
    return Seen{&worker, injected, nested_worker, nested_injected, current_thread_count()};
  });
  EXPECT_EQ(WorkerThread::current(), nullptr);
  EXPECT_TRUE(seen.injected);
  EXPECT_EQ(seen.nested_worker, seen.worker);
  EXPECT_FALSE(seen.nested_injected);
  EXPECT_EQ(seen.count, 2u);
  EXPECT_EQ(owned.route_outside_calls([] { return current_thread_count(); }), 2u);
}

TEST(WorkerPool, ReusesTheCallersLatchWithoutReturningEarly) {
  OwnedPool owned(2);
  // Each call must wait for its own job: a latch left set by the previous call would let it return
  // before its value exists.
  for (int i = 0; i < 200; ++i) {
    int value = owned.pool().run([i](WorkerThread&, bool) {
      if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      return i;
    });
    ASSERT_EQ(value, i);
  }
}

TEST(Join, OnOneWorkerTheSecondHalfComesBackInline) {
  OwnedPool owned(1);
  struct Half {
    std::thread::id thread;
    bool migrated;
  };
  auto halves = [] {
    return join([](bool migrated) { return Half{std::this_thread::get_id(), migrated}; },
                [](bool migrated) { return Half{std::this_thread::get_id(), migrated}; });
  };
  // From outside the pool: both halves inherit `injected`.
  auto [a, b] = owned.route_outside_calls(halves);
  EXPECT_EQ(a.thread, b.thread);
  EXPECT_NE(a.thread, std::this_thread::get_id());
  EXPECT_TRUE(a.migrated);
  EXPECT_TRUE(b.migrated);
  // From a worker: neither half migrated.
  auto [c, d] = owned.pool().run([&](WorkerThread&, bool) { return halves(); });
  EXPECT_EQ(c.thread, d.thread);
  EXPECT_FALSE(c.migrated);
  EXPECT_FALSE(d.migrated);
}

TEST(Join, AStolenSecondHalfRunsElsewhereAsMigrated) {
  OwnedPool owned(2);
  for (int round = 0; round < 20; ++round) {
    std::atomic<bool> b_started{false};
    auto [a, b] = owned.pool().run([&](WorkerThread&, bool) {
      return join(
          [&](bool migrated) {
            // Hold this worker until the other one has taken b, which it must find (and be woken
            // for, if it was asleep).
            bool stolen = wait_for(b_started);
            return std::tuple(std::this_thread::get_id(), migrated, stolen);
          },
          [&](bool migrated) {
            b_started.store(true, std::memory_order_release);
            return std::pair(std::this_thread::get_id(), migrated);
          });
    });
    ASSERT_TRUE(std::get<2>(a)) << "the second half was never stolen";
    EXPECT_FALSE(std::get<1>(a));
    EXPECT_NE(std::get<0>(a), b.first);
    EXPECT_TRUE(b.second);
  }
}

TEST(Panics, PayloadReachesTheCallerAndTheWorkersCarryOn) {
  OwnedPool owned(2);
  EXPECT_EQ(panic_message_of([&] {
              owned.pool().run([](WorkerThread&, bool) -> int { throw Panic("search failed"); });
            }),
            "search failed");
  // Any payload travels unchanged, not only Panic.
  EXPECT_THROW(owned.pool().run([](WorkerThread&, bool) { throw std::out_of_range("range"); }),
               std::out_of_range);
  EXPECT_EQ(owned.pool().run([](WorkerThread&, bool) { return 7; }), 7);
}

TEST(Panics, WhenBothHalvesPanicTheFirstHalfWins) {
  for (std::size_t workers : {1, 2}) {
    OwnedPool owned(workers);
    for (int round = 0; round < 50; ++round) {
      std::string message = panic_message_of([&] {
        owned.route_outside_calls([] {
          join([](bool) -> int { throw Panic("first"); },
               [](bool) -> int { throw Panic("second"); });
        });
      });
      ASSERT_EQ(message, "first") << workers << " workers";
    }
    // A panic in the second half alone still comes out.
    std::atomic<bool> a_finished{false};
    EXPECT_EQ(panic_message_of([&] {
                owned.route_outside_calls([&] {
                  join([&](bool) { a_finished = true; }, [](bool) { throw Panic("second"); });
                });
              }),
              "second");
    EXPECT_TRUE(a_finished);
  }
}

TEST(Panics, TheLowestFailingPositionWins) {
  std::mt19937 random(12345);
  for (std::size_t workers : {1, 2, 4}) {
    OwnedPool owned(workers);
    for (int round = 0; round < 20; ++round) {
      const std::size_t leaves = 300;
      std::vector<char> failing(leaves, 0);
      std::size_t lowest = leaves;
      for (int k = 0; k < 4; ++k) {
        std::size_t at = random() % leaves;
        failing[at] = 1;
        lowest = std::min(lowest, at);
      }
      std::string message = panic_message_of(
          [&] { owned.route_outside_calls([&] { tree_sum(0, leaves, failing); }); });
      ASSERT_EQ(message, "leaf " + std::to_string(lowest)) << workers << " workers";
    }
    std::vector<char> none(1000, 0);
    EXPECT_EQ(owned.route_outside_calls([&] { return tree_sum(0, 1000, none); }), 999 * 1000 / 2);
  }
}

// Several outside threads at once, each making many calls of nested joins in which some leaves
// panic: every call must get its own sum or its own lowest failure.
TEST(Stress, ConcurrentOutsideCallersWithNestedJoinsAndPanics) {
  // More workers than this machine's two cores, so that workers get descheduled mid-protocol.
  OwnedPool owned(3);
  constexpr int kCallers = 4;
  constexpr int kCalls = 300;
  constexpr std::size_t kLeaves = 400;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kCallers; ++t) {
    callers.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t) + 1);
      for (int call = 0; call < kCalls; ++call) {
        std::vector<char> failing(kLeaves, 0);
        std::size_t lowest = kLeaves;
        if (random() % 3 == 0) {
          for (int k = 0; k < 3; ++k) {
            std::size_t at = random() % kLeaves;
            failing[at] = 1;
            lowest = std::min(lowest, at);
          }
        }
        std::string expected = lowest == kLeaves ? "sum" : "leaf " + std::to_string(lowest);
        std::string got = panic_message_of([&] {
          int64_t sum = owned.route_outside_calls([&] { return tree_sum(0, kLeaves, failing); });
          if (sum == int64_t{kLeaves} * (kLeaves - 1) / 2) throw Panic("sum");
        });
        if (got != expected) mismatches.fetch_add(1);
      }
    });
  }
  for (std::thread& caller : callers)
    caller.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(AbortGuard, APanicEscapingThePoolsMachineryEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(run_aborting_on_panic([] { throw Panic("escaped"); }),
               "dorvane: detected unexpected panic in a worker; aborting");
}

// --- The process-wide pool, in new processes ----------------------------------------------

TEST(ProcessPool, AForkedChildBuildsAPoolOfItsOwn) {
  if (!testing::kForkTestsSupported) GTEST_SKIP() << testing::kForkUnsupportedReason;
  std::vector<char> none(100, 0);
  // Make sure the parent's pool exists and has run work before the fork.
  ASSERT_EQ(tree_sum(0, 100, none), 4950);
  int status = testing::run_in_child([&] {
    if (tree_sum(0, 100, none) != 4950) return 1;
    return WorkerThread::current() == nullptr ? 0 : 2;
  });
  EXPECT_EQ(status, 0) << (status == testing::kChildTimedOut ? "the child hung" : "");
  // And the parent's pool still works.
  EXPECT_EQ(tree_sum(0, 100, none), 4950);
}

TEST(ProcessPool, SizedOnceFromTheEnvironment) {
  EXPECT_ZERO_IN_NEW_PROCESS([] {
    platform::set_environment_variable("DORVANE_NUM_THREADS", "3");
    platform::set_environment_variable("DORVANE_NUM_CPUS", "5");
    if (current_thread_count() != 3) return 1;
    // Read once: later changes do not resize the pool.
    platform::set_environment_variable("DORVANE_NUM_THREADS", "1");
    if (current_thread_count() != 3) return 2;
    return 0;
  });
  EXPECT_ZERO_IN_NEW_PROCESS([] {
    platform::set_environment_variable("DORVANE_NUM_THREADS", " 4");
    platform::set_environment_variable("DORVANE_NUM_CPUS", "+2");
    return current_thread_count() == 2 ? 0 : 1;
  });
}

TEST(ProcessPool, AFailedCreationIsReportedThenRemembered) {
  EXPECT_ZERO_IN_NEW_PROCESS([] {
    platform::set_environment_variable("DORVANE_NUM_THREADS", "2");
    // Worker 0 starts, worker 1 does not: worker 0 must be told to end.
    set_spawn_hook_for_testing(
        [](std::size_t index) { return index == 1 ? testing::kThreadLimitError : 0; });
    std::string first = panic_message_of([] { current_thread_count(); });
    // The system's message for the code is pinned down by the platform tests.
    if (first !=
        "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
        "IOError(Os { code: " +
            std::to_string(testing::kThreadLimitError) + ", kind: WouldBlock, message: \"" +
            platform::os_error_message(testing::kThreadLimitError) + "\" }) }") {
      return 1;
    }
    set_spawn_hook_for_testing(nullptr);
    std::string later = panic_message_of([] { run_in_worker([](WorkerThread&, bool) {}); });
    if (later !=
        "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
        "GlobalPoolAlreadyInitialized }") {
      return 2;
    }
    return 0;
  });
}

TEST(ProcessPool, WithoutThreadsTheCallingThreadBecomesTheOnlyWorker) {
  EXPECT_ZERO_IN_NEW_PROCESS([] {
    set_spawn_hook_for_testing([](std::size_t) { return testing::kUnsupportedError; });
    if (current_thread_count() != 1) return 1;
    if (WorkerThread::current() == nullptr) return 2;
    auto [a, b] =
        join([](bool migrated) { return std::pair(std::this_thread::get_id(), migrated); },
             [](bool migrated) { return std::pair(std::this_thread::get_id(), migrated); });
    if (a.first != std::this_thread::get_id() || b.first != a.first) return 3;
    if (a.second || b.second) return 4;
    std::vector<char> none(64, 0);
    return tree_sum(0, 64, none) == 64 * 63 / 2 ? 0 : 5;
  });
}

}  // namespace
}  // namespace dorvane
