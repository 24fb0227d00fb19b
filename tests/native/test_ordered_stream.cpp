#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "child_process.h"
#include "platform/function_ref.h"
#include "platform/panic.h"
#include "pool/ordered_stream.h"
#include "pool/worker_pool.h"
#include "pool_testing.h"

namespace dorvane {
namespace {

// Each thread slot's scratch remembers the thread that used it: it must always be the same one.
struct Scratch {
  std::thread::id user;
};
using Stream = OrderedStream<std::size_t, Scratch>;
using Caller = Stream::Caller;
using Stop = FunctionRef<bool()>;
using testing::OwnedPool;

constexpr auto kNeverGiveUp = [] { return false; };

std::vector<std::size_t> positions_up_to(std::size_t count) {
  std::vector<std::size_t> positions(count);
  for (std::size_t i = 0; i < count; ++i)
    positions[i] = i;
  return positions;
}

// Consumes every position of `stream` (of `count`), taking what each result holds, until the
// stream gives up.
std::vector<std::size_t> consume_all(Stream& stream, std::size_t count) {
  std::vector<std::size_t> seen;
  for (std::size_t position = 0; position < count; ++position) {
    std::size_t* result = stream.next();
    if (result == nullptr) break;
    seen.push_back(*result);
    stream.release();
  }
  return seen;
}

TEST(OrderedStream, EveryPositionOnceInOrderNeverFurtherAheadThanTheRing) {
  for (Caller caller : {Caller::kWaits, Caller::kHelps}) {
    for (std::size_t workers : {1, 2, 4}) {
      OwnedPool owned(workers);
      for (std::size_t count : {0, 1, 2, 3, 100, 5000}) {
        for (std::size_t window : {1, 3, 16, 64}) {
          constexpr std::size_t kRing = 16;
          std::vector<std::atomic<int>> computed(count);
          std::atomic<std::size_t> consumed{0};
          std::atomic<bool> beyond_ring{false};
          std::atomic<bool> shared_scratch{false};
          auto produce = [&](std::size_t position, std::size_t& result, Scratch& scratch, Stop) {
            // The caller has released position p - ring before p may be written into its slot.
            if (position >= consumed.load() + kRing) beyond_ring = true;
            if (scratch.user != std::thread::id() && scratch.user != std::this_thread::get_id()) {
              shared_scratch = true;
            }
            scratch.user = std::this_thread::get_id();
            computed[position]++;
            result = position;
            return true;
          };
          Stream stream(&owned.pool(), count, kRing, caller, kNeverGiveUp, produce);
          stream.set_window(window);
          std::vector<std::size_t> seen;
          for (std::size_t position = 0; position < count; ++position) {
            std::size_t* result = stream.next();
            ASSERT_NE(result, nullptr);
            seen.push_back(*result);
            consumed = position + 1;
            stream.release();
          }
          EXPECT_EQ(seen, positions_up_to(count)) << workers << " workers, window " << window;
          stream.stop_and_wait();
          for (std::size_t position = 0; position < count; ++position) {
            ASSERT_EQ(computed[position].load(), 1) << "position " << position;
          }
          EXPECT_FALSE(beyond_ring) << workers << " workers, window " << window;
          EXPECT_FALSE(shared_scratch) << workers << " workers, window " << window;
        }
      }
    }
  }
}

TEST(OrderedStream, AHelpingCallerComputesWhatItWouldWaitFor) {
  // Position 0, on a worker, stays busy until the caller has computed something itself, which it
  // does only while it waits.
  OwnedPool owned(2);
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> caller_computed{false};
  auto produce = [&](std::size_t position, std::size_t& result, Scratch&, Stop) {
    if (std::this_thread::get_id() == caller) {
      caller_computed = true;
    } else {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (position == 0 && !caller_computed && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    }
    result = position;
    return true;
  };
  Stream stream(&owned.pool(), 200, 16, Caller::kHelps, kNeverGiveUp, produce);
  stream.set_window(16);
  EXPECT_EQ(consume_all(stream, 200), positions_up_to(200));
  EXPECT_TRUE(caller_computed);
}

// A computation that never finishes but looks at its stop check, where the caller's poll gives up:
// the caller's own (as it helps, or as it computes everything alone), never handed on as done, and
// the stream stays given up.
TEST(OrderedStream, APollThatGivesUpInsideTheCallersComputationEndsTheStream) {
  OwnedPool owned(2);
  const std::thread::id caller = std::this_thread::get_id();
  for (WorkerPool* pool : {&owned.pool(), static_cast<WorkerPool*>(nullptr)}) {
    std::atomic<int> gave_up_on_caller{0};
    std::atomic<int> started{0};
    auto produce = [&](std::size_t, std::size_t&, Scratch&, Stop stop) {
      started++;
      while (!stop())
        std::this_thread::yield();
      if (std::this_thread::get_id() == caller) gave_up_on_caller++;
      return false;
    };
    int polls = 0;
    auto poll = [&] { return ++polls == 3; };
    {
      Stream stream(pool, 100, 8, Caller::kHelps, poll, produce);
      stream.set_window(8);
      EXPECT_EQ(stream.next(), nullptr);
      const int started_before = started.load();
      EXPECT_EQ(stream.next(), nullptr);
      EXPECT_EQ(started.load(), started_before);
    }
    EXPECT_EQ(polls, 3);
    EXPECT_EQ(gave_up_on_caller.load(), 1);
  }
}

TEST(OrderedStream, AStreamBegunFromTheCallersPollRunsWhileTheOuterOneHasAWorkerParked) {
  // The outer call parks one of the two workers; the caller, held up by a slow position, runs a
  // whole stream from its poll (a signal handler calling in again), which asks to park a worker
  // too. That must be refused, or nothing would run the inner stream's windows.
  OwnedPool owned(2);
  bool inner_ran = false;
  auto inner_produce = [&](std::size_t position, std::size_t& result, Scratch&, Stop) {
    result = position;
    return true;
  };
  auto poll = [&] {
    if (inner_ran) return false;
    inner_ran = true;
    const std::optional<WorkerPool::ParkedWorker> parked = owned.pool().park_worker();
    EXPECT_FALSE(parked.has_value());
    Stream inner(&owned.pool(), 2000, 16, Caller::kHelps, kNeverGiveUp, inner_produce);
    inner.set_window(16);
    EXPECT_EQ(consume_all(inner, 2000), positions_up_to(2000));
    return false;
  };
  const std::thread::id caller = std::this_thread::get_id();
  auto outer_produce = [&](std::size_t position, std::size_t& result, Scratch&, Stop stop) {
    // Whether the caller waits for position 20 or computes a position itself, its poll comes due.
    if (std::this_thread::get_id() != caller) {
      if (position == 20) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } else if (position >= 20) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
      while (!stop() && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    }
    result = position;
    return true;
  };
  const std::optional<WorkerPool::ParkedWorker> parked = owned.pool().park_worker();
  ASSERT_TRUE(parked.has_value());
  Stream outer(&owned.pool(), 2000, 16, Caller::kHelps, poll, outer_produce);
  outer.set_window(16);
  EXPECT_EQ(consume_all(outer, 2000), positions_up_to(2000));
  EXPECT_TRUE(inner_ran);
}

TEST(OrderedStream, FailuresComeOutAtTheirTurnAndNeverTaintTheSlotsNextPosition) {
  OwnedPool owned(3);
  auto produce = [&](std::size_t position, std::size_t& result, Scratch&, Stop) {
    if (position % 100 == 7) panic("failure " + std::to_string(position));
    result = position;
    return true;
  };
  std::vector<std::string> failures;
  std::size_t succeeded = 0;
  Stream stream(&owned.pool(), 1000, 64, Caller::kWaits, kNeverGiveUp, produce);
  stream.set_window(64);
  for (std::size_t position = 0; position < 1000; ++position) {
    std::size_t* result = stream.next();
    ASSERT_NE(result, nullptr);
    // The first failures are not taken: the positions that reuse their slots must not see them.
    if (position < 500 && position % 100 == 7) {
      stream.release();
      continue;
    }
    if (std::exception_ptr failure = stream.take_failure()) {
      try {
        std::rethrow_exception(failure);
      } catch (const Panic& panic) {
        failures.emplace_back(panic.message());
      }
    } else {
      EXPECT_EQ(*result, position);
      ++succeeded;
    }
    stream.release();
  }
  EXPECT_EQ(failures, (std::vector<std::string>{"failure 507", "failure 607", "failure 707",
                                                "failure 807", "failure 907"}));
  EXPECT_EQ(succeeded, 990u);
}

TEST(OrderedStream, StoppingLetsRunningComputationsGiveUp) {
  OwnedPool owned(2);
  std::atomic<int> gave_up{0};
  auto produce = [&](std::size_t position, std::size_t& result, Scratch&, Stop stop) {
    if (position == 5) {
      // A long computation that looks at its stop check.
      while (!stop())
        std::this_thread::yield();
      gave_up++;
      return false;
    }
    result = position;
    return true;
  };
  bool position_five_reached = false;
  int polls = 0;
  auto poll = [&] { return position_five_reached && ++polls == 3; };
  {
    Stream stream(&owned.pool(), 1000, 8, Caller::kWaits, poll, produce);
    stream.set_window(8);
    for (std::size_t position = 0; position < 5; ++position) {
      ASSERT_NE(stream.next(), nullptr);
      stream.release();
    }
    // Position 5 never finishes: the caller's poll gives up after a few intervals.
    position_five_reached = true;
    EXPECT_EQ(stream.next(), nullptr);
    EXPECT_EQ(polls, 3);
  }  // the destructor stops the stream and waits for the computation to give up
  EXPECT_EQ(gave_up.load(), 1);
}

TEST(OrderedStream, FewerThanTwoPositionsRunOnTheCallingThread) {
  OwnedPool owned(2);
  const std::thread::id caller = std::this_thread::get_id();
  auto produce = [&](std::size_t position, std::size_t& result, Scratch&, Stop) {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    result = position;
    return true;
  };
  Stream stream(&owned.pool(), 1, 1, Caller::kHelps, kNeverGiveUp, produce);
  EXPECT_EQ(consume_all(stream, 1), std::vector<std::size_t>{0});
}

TEST(OrderedStream, AChildForkedDuringTheStreamFinishesItAlone) {
  if (!testing::kForkTestsSupported) GTEST_SKIP() << testing::kForkUnsupportedReason;
#if !defined(_WIN32)
  OwnedPool owned(2);
  std::vector<std::atomic<int>> computed(3000);
  auto produce = [&](std::size_t position, std::size_t& result, Scratch&, Stop stop) {
    // Slow enough that the workers are in the middle of positions when the caller forks.
    for (int spin = 0; spin < 2000 && !stop(); ++spin)
      std::atomic_signal_fence(std::memory_order_seq_cst);
    computed[position]++;
    result = position;
    return true;
  };
  for (Caller caller : {Caller::kWaits, Caller::kHelps}) {
    pid_t child = 0;
    bool in_child = false;
    bool in_order = true;
    {
      Stream stream(&owned.pool(), computed.size(), 32, caller, kNeverGiveUp, produce);
      stream.set_window(32);
      for (std::size_t position = 0; position < computed.size(); ++position) {
        if (position == 1000) {
          // As a signal handler run by the caller's poll might.
          child = fork();
          in_child = child == 0;
        }
        std::size_t* result = stream.next();
        if (result == nullptr) {
          in_order = false;
          break;
        }
        in_order &= *result == position;
        stream.release();
      }
    }  // in the child, the destructor must not wait for the parent's workers
    if (in_child) _exit(in_order ? 0 : 1);
    ASSERT_GT(child, 0);
    EXPECT_TRUE(in_order);
    EXPECT_EQ(testing::wait_for_child(child, std::chrono::seconds(60)), 0);
    for (std::atomic<int>& count : computed)
      count = 0;
  }
#endif
}

}  // namespace
}  // namespace dorvane
