#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/resource.h>
#endif

#include "child_process.h"
#include "new_process.h"
#include "platform/panic.h"
#include "platform/platform.h"
#include "platform_testing.h"
#include "pool/abort_guard.h"
#include "pool/join.h"
#include "pool/worker_pool.h"
#include "pool_testing.h"

// Allocations through operator new can be made to fail on demand in a new process: the k-th one
// from the arming on throws std::bad_alloc (the nothrow forms, which call this one, then give
// null). Not under the sanitizers, whose own operator new must stay in place.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define DORVANE_FAILING_ALLOCATIONS 1
namespace {
std::atomic<long> allocations_until_failure{-1};
}  // namespace

void* operator new(std::size_t size) {
  if (allocations_until_failure.load(std::memory_order_relaxed) >= 0 &&
      allocations_until_failure.fetch_sub(1, std::memory_order_relaxed) == 0) {
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
// The pair of the operator new above, which takes its memory from malloc.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

namespace dorvane {
namespace {

using std::chrono::seconds;
using testing::OwnedPool;

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

// Sum of the positions begin..end-1, computed by recursive joins on a worker; a position marked
// in `failing` panics with its own number instead.
int64_t tree_sum(std::size_t begin, std::size_t end, const std::vector<char>& failing) {
  if (end - begin == 1) {
    if (failing[begin]) throw Panic("leaf " + std::to_string(begin));
    return static_cast<int64_t>(begin);
  }
  const std::size_t mid = begin + (end - begin) / 2;
  auto [left, right] = join(
      false, [&](bool) { return tree_sum(begin, mid, failing); },
      [&](bool) { return tree_sum(mid, end, failing); });
  return left + right;
}

// tree_sum on a worker of `pool`, from outside it.
int64_t tree_sum_on(WorkerPool& pool, std::size_t leaves, const std::vector<char>& failing) {
  return testing::run_on(pool, [&](WorkerThread&, bool) { return tree_sum(0, leaves, failing); });
}

TEST(Join, OnOneWorkerTheSecondHalfComesBackInline) {
  OwnedPool owned(1);
  struct Half {
    std::thread::id thread;
    bool migrated;
  };
  auto halves = [](WorkerThread&, bool injected) {
    return join(
        injected, [](bool migrated) { return Half{std::this_thread::get_id(), migrated}; },
        [](bool migrated) { return Half{std::this_thread::get_id(), migrated}; });
  };
  // Injected from outside the pool: both halves inherit `injected`.
  auto [a, b] = owned.run(halves);
  EXPECT_EQ(a.thread, b.thread);
  EXPECT_NE(a.thread, std::this_thread::get_id());
  EXPECT_TRUE(a.migrated);
  EXPECT_TRUE(b.migrated);
  // Called on a worker: neither half migrated.
  auto [c, d] = owned.run([&](WorkerThread& worker, bool) { return halves(worker, false); });
  EXPECT_EQ(c.thread, d.thread);
  EXPECT_FALSE(c.migrated);
  EXPECT_FALSE(d.migrated);
}

TEST(Join, AStolenSecondHalfRunsElsewhereAsMigrated) {
  OwnedPool owned(2);
  for (int round = 0; round < 20; ++round) {
    std::atomic<bool> b_started{false};
    auto [a, b] = owned.run([&](WorkerThread&, bool) {
      return join(
          false,
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
              owned.run([](WorkerThread&, bool) -> int { throw Panic("search failed"); });
            }),
            "search failed");
  // Any payload travels unchanged, not only Panic.
  EXPECT_THROW(owned.run([](WorkerThread&, bool) { throw std::out_of_range("range"); }),
               std::out_of_range);
  EXPECT_EQ(owned.run([](WorkerThread&, bool) { return 7; }), 7);
}

TEST(Panics, WhenBothHalvesPanicTheFirstHalfWins) {
  for (std::size_t workers : {1, 2}) {
    OwnedPool owned(workers);
    for (int round = 0; round < 50; ++round) {
      std::string message = panic_message_of([&] {
        owned.run([](WorkerThread&, bool injected) {
          join(
              injected, [](bool) -> int { throw Panic("first"); },
              [](bool) -> int { throw Panic("second"); });
        });
      });
      ASSERT_EQ(message, "first") << workers << " workers";
    }
    // A panic in the second half alone still comes out.
    std::atomic<bool> a_finished{false};
    EXPECT_EQ(
        panic_message_of([&] {
          owned.run([&](WorkerThread&, bool injected) {
            join(injected, [&](bool) { a_finished = true; }, [](bool) { throw Panic("second"); });
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
      std::string message = panic_message_of([&] { tree_sum_on(owned.pool(), leaves, failing); });
      ASSERT_EQ(message, "leaf " + std::to_string(lowest)) << workers << " workers";
    }
    std::vector<char> none(1000, 0);
    EXPECT_EQ(tree_sum_on(owned.pool(), 1000, none), 999 * 1000 / 2);
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
          int64_t sum = tree_sum_on(owned.pool(), kLeaves, failing);
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

TEST(Parking, NeverTakesTheLastWorker) {
  std::vector<char> none(200, 0);
  for (std::size_t workers : {1, 2, 3}) {
    OwnedPool owned(workers);
    std::vector<WorkerPool::ParkedWorker> parked;
    while (std::optional<WorkerPool::ParkedWorker> one = owned.pool().park_worker())
      parked.push_back(std::move(*one));
    EXPECT_EQ(parked.size(), workers - 1);
    // The worker left runs whatever is posted, with the others sitting out.
    EXPECT_EQ(tree_sum_on(owned.pool(), 200, none), 199 * 100);
    if (parked.empty()) continue;
    // A parking given back can be granted again.
    parked.pop_back();
    EXPECT_TRUE(owned.pool().park_worker().has_value());
    EXPECT_EQ(tree_sum_on(owned.pool(), 200, none), 199 * 100);
  }  // parked workers end with their pool
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
  ASSERT_EQ(tree_sum_on(global_pool(), 100, none), 4950);
  const WorkerPool* parents = &global_pool();
  int status = testing::run_in_child([&] {
    if (parents->workers_here()) return 3;
    if (tree_sum_on(global_pool(), 100, none) != 4950) return 1;
    if (&global_pool() == parents || !global_pool().workers_here()) return 4;
    return WorkerThread::current() == nullptr ? 0 : 2;
  });
  EXPECT_EQ(status, 0) << (status == testing::kChildTimedOut ? "the child hung" : "");
  // And the parent's pool still works.
  EXPECT_TRUE(parents->workers_here());
  EXPECT_EQ(tree_sum_on(global_pool(), 100, none), 4950);
}

#if defined(DORVANE_FAILING_ALLOCATIONS)
TEST(ProcessPool, NoMemoryWhileCreatingIsACreationFailureNeverAHang) {
  // Every allocation of the creation in turn fails: each run ends in a pool, or in the creation
  // error for want of memory and then the remembered failure, never in a wait for a creation that
  // is still running.
  for (long failing = 0; failing < 12; ++failing) {
    EXPECT_ZERO_IN_NEW_PROCESS([failing] {
      platform::set_environment_variable("DORVANE_NUM_THREADS", "2");
      allocations_until_failure.store(failing);
      const std::string first = panic_message_of([] { global_pool(); });
      allocations_until_failure.store(-1);
      const std::string later = panic_message_of([] { global_pool(); });
      if (first == "<none>") return later == "<none>" ? 0 : 1;
      const std::string prefix =
          "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: ";
      const int no_memory = platform::out_of_memory_error();
      if (first != prefix + "IOError(Os { code: " + std::to_string(no_memory) +
                       ", kind: OutOfMemory, message: \"" + platform::os_error_message(no_memory) +
                       "\" }) }") {
        return 2;
      }
      return later == prefix + "GlobalPoolAlreadyInitialized }" ? 0 : 3;
    });
  }
}
#endif

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

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(ProcessPool, AFailedCreationIsReportedThenRemembered) {
  EXPECT_ZERO_IN_NEW_PROCESS([] {
    // Address space for a few workers' stacks only: starting the others fails (the sanitizers'
    // allocators need more than that, hence not under them).
    platform::set_environment_variable("DORVANE_NUM_THREADS", "1000");
    long pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    if (pages == 0) return 3;
    const rlim_t limit = static_cast<rlim_t>(pages) * 4096 + (rlim_t{64} << 20);
    rlimit address_space{limit, limit};
    if (setrlimit(RLIMIT_AS, &address_space) != 0) return 4;
    std::string first = panic_message_of([] { current_thread_count(); });
    // The system's message for the code is pinned down by the platform tests.
    if (first !=
        "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
        "IOError(Os { code: " +
            std::to_string(EAGAIN) + ", kind: WouldBlock, message: \"" +
            platform::os_error_message(EAGAIN) + "\" }) }") {
      return 1;
    }
    std::string later = panic_message_of([] { global_pool(); });
    if (later !=
        "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
        "GlobalPoolAlreadyInitialized }") {
      return 2;
    }
    return 0;
  });
}
#endif

TEST(ProcessPool, WithoutThreadsTheCallingThreadBecomesTheOnlyWorker) {
  EXPECT_ZERO_IN_NEW_PROCESS([] {
    PoolBuild built = WorkerPool::build_on_current_thread();
    if (!built.pool || built.pool->thread_count() != 1) return 1;
    if (WorkerThread::current() == nullptr) return 2;
    auto [a, b] = join(
        false, [](bool migrated) { return std::pair(std::this_thread::get_id(), migrated); },
        [](bool migrated) { return std::pair(std::this_thread::get_id(), migrated); });
    if (a.first != std::this_thread::get_id() || b.first != a.first) return 3;
    if (a.second || b.second) return 4;
    std::vector<char> none(64, 0);
    if (tree_sum(0, 64, none) != 64 * 63 / 2) return 5;
    return 0;
  });
}

}  // namespace
}  // namespace dorvane
