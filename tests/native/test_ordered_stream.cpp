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

using Caller = OrderedStream::Caller;
using Work = OrderedStream::Work;
using testing::OwnedPool;

std::vector<std::size_t> positions_up_to(std::size_t count) {
  std::vector<std::size_t> positions(count);
  for (std::size_t i = 0; i < count; ++i)
    positions[i] = i;
  return positions;
}

// Consumes every position of `stream`, taking what each slot holds, until `poll` gives up.
std::vector<std::size_t> consume_all(
    OrderedStream& stream, std::vector<std::size_t>& slots,
    FunctionRef<bool()> poll = [] { return false; }) {
  std::vector<std::size_t> seen;
  for (std::size_t position = 0; position < stream.count(); ++position) {
    std::optional<std::size_t> slot = stream.next(poll);
    if (!slot) break;
    seen.push_back(slots[*slot]);
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
          std::vector<std::size_t> slots(16);
          std::vector<std::atomic<int>> computed(count);
          std::atomic<std::size_t> consumed{0};
          std::atomic<bool> beyond_ring{false};
          auto produce = [&](const Work& work) {
            // The caller has released position p - ring before p may be written into its slot.
            if (work.position >= consumed.load() + slots.size()) beyond_ring = true;
            computed[work.position]++;
            slots[work.slot] = work.position;
            return true;
          };
          OrderedStream stream(&owned.pool(), count, slots.size(), produce, caller);
          stream.set_window(window);
          std::vector<std::size_t> seen;
          for (std::size_t position = 0; position < count; ++position) {
            std::optional<std::size_t> slot = stream.next([] { return false; });
            ASSERT_TRUE(slot.has_value());
            seen.push_back(slots[*slot]);
            consumed = position + 1;
            stream.release();
          }
          EXPECT_EQ(seen, positions_up_to(count)) << workers << " workers, window " << window;
          stream.stop_and_wait();
          for (std::size_t position = 0; position < count; ++position) {
            ASSERT_EQ(computed[position].load(), 1) << "position " << position;
          }
          EXPECT_FALSE(beyond_ring) << workers << " workers, window " << window;
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
  std::vector<std::size_t> slots(16);
  std::atomic<bool> caller_computed{false};
  auto produce = [&](const Work& work) {
    if (std::this_thread::get_id() == caller) {
      caller_computed = true;
    } else {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (work.position == 0 && !caller_computed && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    }
    slots[work.slot] = work.position;
    return true;
  };
  OrderedStream stream(&owned.pool(), 200, slots.size(), produce, Caller::kHelps);
  stream.set_window(16);
  EXPECT_EQ(consume_all(stream, slots), positions_up_to(200));
  EXPECT_TRUE(caller_computed);
}

TEST(OrderedStream, AHelpingCallerPollsFromInsideItsComputation) {
  // The workers are stuck on what they take until the stream stops; the caller takes a position
  // too, which never finishes either but looks at its stop check, where the caller's poll gives
  // up.
  OwnedPool owned(2);
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<std::size_t> slots(8);
  std::atomic<int> gave_up_on_caller{0};
  auto produce = [&](const Work& work) {
    while (!work.stop())
      std::this_thread::yield();
    if (std::this_thread::get_id() == caller) gave_up_on_caller++;
    return false;
  };
  int polls = 0;
  {
    OrderedStream stream(&owned.pool(), 100, slots.size(), produce, Caller::kHelps);
    stream.set_window(8);
    EXPECT_FALSE(stream.next([&] { return ++polls == 3; }).has_value());
  }
  EXPECT_EQ(polls, 3);
  EXPECT_EQ(gave_up_on_caller.load(), 1);
}

TEST(OrderedStream, AStreamBegunFromTheCallersPollRunsWhileTheOuterOneHasAWorkerParked) {
  // The outer stream parks one of the two workers; the caller, held up by a slow position, runs
  // a whole stream from its poll (a signal handler calling in again). That stream must get the
  // other worker, not park it too.
  OwnedPool owned(2);
  std::vector<std::size_t> outer_slots(16);
  std::vector<std::size_t> inner_slots(16);
  auto inner_produce = [&](const Work& work) {
    inner_slots[work.slot] = work.position;
    return true;
  };
  bool inner_ran = false;
  auto poll = [&] {
    if (inner_ran) return false;
    inner_ran = true;
    OrderedStream inner(&owned.pool(), 2000, inner_slots.size(), inner_produce, Caller::kHelps);
    inner.set_window(16);
    EXPECT_EQ(consume_all(inner, inner_slots), positions_up_to(2000));
    return false;
  };
  const std::thread::id caller = std::this_thread::get_id();
  auto outer_produce = [&](const Work& work) {
    // Whether the caller waits for position 20 or computes a position itself, its poll comes due.
    if (std::this_thread::get_id() != caller) {
      if (work.position == 20) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } else if (work.position >= 20) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
      while (!work.stop() && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    }
    outer_slots[work.slot] = work.position;
    return true;
  };
  OrderedStream outer(&owned.pool(), 2000, outer_slots.size(), outer_produce, Caller::kHelps);
  outer.set_window(16);
  EXPECT_EQ(consume_all(outer, outer_slots, poll), positions_up_to(2000));
  EXPECT_TRUE(inner_ran);
}

TEST(OrderedStream, FailuresComeOutAtTheirTurnAndNeverTaintTheSlotsNextPosition) {
  OwnedPool owned(3);
  std::vector<std::size_t> slots(64);
  auto produce = [&](const Work& work) {
    if (work.position % 100 == 7) panic("failure " + std::to_string(work.position));
    slots[work.slot] = work.position;
    return true;
  };
  std::vector<std::string> failures;
  std::size_t succeeded = 0;
  OrderedStream stream(&owned.pool(), 1000, slots.size(), produce);
  stream.set_window(64);
  for (std::size_t position = 0; position < 1000; ++position) {
    std::optional<std::size_t> slot = stream.next([] { return false; });
    ASSERT_TRUE(slot.has_value());
    // The first failures are not taken: the positions that reuse their slots must not see them.
    if (position < 500 && position % 100 == 7) {
      stream.release();
      continue;
    }
    if (std::exception_ptr failure = stream.take_failure(*slot)) {
      try {
        std::rethrow_exception(failure);
      } catch (const Panic& panic) {
        failures.emplace_back(panic.message());
      }
    } else {
      EXPECT_EQ(slots[*slot], position);
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
  std::vector<std::size_t> slots(8);
  std::atomic<int> gave_up{0};
  auto produce = [&](const Work& work) {
    if (work.position == 5) {
      // A long computation that looks at its stop check.
      while (!work.stop())
        std::this_thread::yield();
      gave_up++;
      return false;
    }
    slots[work.slot] = work.position;
    return true;
  };
  {
    OrderedStream stream(&owned.pool(), 1000, slots.size(), produce);
    stream.set_window(8);
    int polls = 0;
    for (std::size_t position = 0; position < 5; ++position) {
      ASSERT_TRUE(stream.next([] { return false; }).has_value());
      stream.release();
    }
    // Position 5 never finishes: the caller's poll gives up after a few intervals.
    EXPECT_FALSE(stream.next([&] { return ++polls == 3; }).has_value());
    EXPECT_EQ(polls, 3);
  }  // the destructor stops the stream and waits for the computation to give up
  EXPECT_EQ(gave_up.load(), 1);
}

TEST(OrderedStream, FewerThanTwoPositionsRunOnTheCallingThread) {
  OwnedPool owned(2);
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<std::size_t> slots(1);
  auto produce = [&](const Work& work) {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    slots[work.slot] = work.position;
    return true;
  };
  OrderedStream stream(&owned.pool(), 1, slots.size(), produce, Caller::kHelps);
  EXPECT_EQ(consume_all(stream, slots), std::vector<std::size_t>{0});
}

TEST(OrderedStream, AChildForkedDuringTheStreamFinishesItAlone) {
  if (!testing::kForkTestsSupported) GTEST_SKIP() << testing::kForkUnsupportedReason;
#if !defined(_WIN32)
  OwnedPool owned(2);
  std::vector<std::size_t> slots(32);
  std::vector<std::atomic<int>> computed(3000);
  auto produce = [&](const Work& work) {
    // Slow enough that the workers are in the middle of positions when the caller forks.
    for (int spin = 0; spin < 2000 && !work.stop(); ++spin)
      std::atomic_signal_fence(std::memory_order_seq_cst);
    computed[work.position]++;
    slots[work.slot] = work.position;
    return true;
  };
  for (Caller caller : {Caller::kWaits, Caller::kHelps}) {
    pid_t child = 0;
    bool in_child = false;
    bool in_order = true;
    {
      OrderedStream stream(&owned.pool(), computed.size(), slots.size(), produce, caller);
      stream.set_window(32);
      for (std::size_t position = 0; position < computed.size(); ++position) {
        if (position == 1000) {
          // As a signal handler run by the caller's poll might.
          child = fork();
          in_child = child == 0;
        }
        std::optional<std::size_t> slot = stream.next([] { return false; });
        if (!slot) {
          in_order = false;
          break;
        }
        in_order &= slots[*slot] == position;
        stream.release();
      }
    }  // in the child, the destructor must not wait for the parent's workers
    if (in_child) _exit(in_order ? 0 : 1);
    ASSERT_GT(child, 0);
    EXPECT_TRUE(in_order);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waitpid(child, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the child hung";
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    for (std::atomic<int>& count : computed)
      count = 0;
  }
#endif
}

}  // namespace
}  // namespace dorvane
