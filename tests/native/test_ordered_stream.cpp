#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/panic.h"
#include "pool/ordered_stream.h"
#include "pool/worker_pool.h"

namespace dorvane {
namespace {

// Consumes every position of `stream`, checking that each slot holds its own position's value.
std::vector<std::size_t> consume_all(OrderedStream& stream, std::vector<std::size_t>& slots) {
  std::vector<std::size_t> seen;
  for (std::size_t position = 0; position < stream.count(); ++position) {
    std::optional<std::size_t> slot = stream.next([] { return false; });
    if (!slot) break;
    seen.push_back(slots[*slot]);
    stream.release();
  }
  return seen;
}

using Caller = OrderedStream::Caller;

TEST(OrderedStream, EveryPositionOnceInOrderWithinTheWindow) {
  for (Caller caller : {Caller::kWaits, Caller::kHelps}) {
    for (std::size_t workers : {1, 2, 4}) {
      for (std::size_t count : {0, 1, 2, 3, 100, 5000}) {
        for (std::size_t window : {1, 3, 16}) {
          OwnedPool owned(workers);
          std::vector<std::size_t> slots(16);
          std::vector<std::atomic<int>> computed(count);
          std::atomic<std::size_t> consumed{0};
          std::atomic<bool> outside_window{false};
          auto produce = [&](std::size_t position, std::size_t slot) {
            // The caller releases position p - window before this one may start.
            if (position >= consumed.load() + window) outside_window = true;
            computed[position]++;
            slots[slot] = position;
            return true;
          };
          owned.route_outside_calls([&] {
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
            std::vector<std::size_t> expected(count);
            for (std::size_t i = 0; i < count; ++i)
              expected[i] = i;
            EXPECT_EQ(seen, expected) << workers << " workers, window " << window;
          });
          for (std::size_t position = 0; position < count; ++position) {
            ASSERT_EQ(computed[position].load(), 1) << "position " << position;
          }
          EXPECT_FALSE(outside_window) << workers << " workers, window " << window;
        }
      }
    }
  }
}

TEST(OrderedStream, AHelpingCallerComputesWhatItWouldWaitFor) {
  // Two workers, of which one lane runs. Position 0, on a lane, stays busy until the caller has
  // computed something itself, which it does only while it waits (for position 0, or for what
  // follows when it took position 0 before the lane started).
  OwnedPool owned(2);
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<std::size_t> slots(16);
  std::atomic<bool> caller_computed{false};
  std::atomic<int> lanes_at_once{0};
  std::atomic<int> most_lanes_at_once{0};
  auto produce = [&](std::size_t position, std::size_t slot) {
    if (std::this_thread::get_id() == caller) {
      caller_computed = true;
    } else {
      const int now = ++lanes_at_once;
      if (now > most_lanes_at_once) most_lanes_at_once = now;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (position == 0 && !caller_computed && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
      --lanes_at_once;
    }
    slots[slot] = position;
    return true;
  };
  std::vector<std::size_t> seen;
  owned.route_outside_calls([&] {
    OrderedStream stream(&owned.pool(), 200, slots.size(), produce, Caller::kHelps);
    stream.set_window(16);
    seen = consume_all(stream, slots);
  });
  std::vector<std::size_t> expected(200);
  for (std::size_t i = 0; i < expected.size(); ++i)
    expected[i] = i;
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(caller_computed);
  EXPECT_LE(most_lanes_at_once.load(), 1);
}

TEST(OrderedStream, AHelpingCallerPollsFromInsideItsComputation) {
  // The lane is stuck on position 0 until the stream stops; the caller takes a later position,
  // which never finishes either but looks at its stop check, where the caller's poll gives up.
  OwnedPool owned(2);
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<std::size_t> slots(8);
  std::atomic<int> gave_up_on_caller{0};
  const OrderedStream* stream_ptr = nullptr;
  auto produce = [&](std::size_t position, std::size_t) {
    while (!stream_ptr->stopping(position))
      std::this_thread::yield();
    if (std::this_thread::get_id() == caller) gave_up_on_caller++;
    return false;
  };
  int polls = 0;
  owned.route_outside_calls([&] {
    OrderedStream stream(&owned.pool(), 100, slots.size(), produce, Caller::kHelps);
    stream_ptr = &stream;
    stream.set_window(8);
    EXPECT_FALSE(stream.next([&] { return ++polls == 3; }).has_value());
  });
  EXPECT_EQ(polls, 3);
  EXPECT_EQ(gave_up_on_caller.load(), 1);
}

TEST(OrderedStream, FailuresComeOutAtTheirTurnAndTheRestGoesOn) {
  OwnedPool owned(3);
  std::vector<std::size_t> slots(64);
  auto produce = [&](std::size_t position, std::size_t slot) {
    if (position % 100 == 7) panic("failure " + std::to_string(position));
    slots[slot] = position;
    return true;
  };
  std::vector<std::string> failures;
  std::size_t succeeded = 0;
  owned.route_outside_calls([&] {
    OrderedStream stream(&owned.pool(), 1000, slots.size(), produce);
    stream.set_window(64);
    for (std::size_t position = 0; position < 1000; ++position) {
      std::optional<std::size_t> slot = stream.next([] { return false; });
      ASSERT_TRUE(slot.has_value());
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
  });
  ASSERT_EQ(failures.size(), 10u);
  EXPECT_EQ(failures.front(), "failure 7");
  EXPECT_EQ(failures.back(), "failure 907");
  EXPECT_EQ(succeeded, 990u);
}

TEST(OrderedStream, StoppingLetsRunningComputationsGiveUp) {
  OwnedPool owned(2);
  std::vector<std::size_t> slots(8);
  std::atomic<int> gave_up{0};
  const OrderedStream* stream_ptr = nullptr;
  auto produce = [&](std::size_t position, std::size_t slot) {
    if (position == 5) {
      // A long computation that looks at its stop check.
      while (!stream_ptr->stopping(position))
        std::this_thread::yield();
      gave_up++;
      return false;
    }
    slots[slot] = position;
    return true;
  };
  owned.route_outside_calls([&] {
    OrderedStream stream(&owned.pool(), 1000, slots.size(), produce);
    stream_ptr = &stream;
    stream.set_window(8);
    int polls = 0;
    for (std::size_t position = 0; position < 5; ++position) {
      ASSERT_TRUE(stream.next([] { return false; }).has_value());
      stream.release();
    }
    // Position 5 never finishes: the caller's poll gives up after a few intervals.
    EXPECT_FALSE(stream.next([&] { return ++polls == 3; }).has_value());
    EXPECT_EQ(polls, 3);
  });  // the destructor stops the stream and waits for the computation to give up
  EXPECT_EQ(gave_up.load(), 1);
}

TEST(OrderedStream, FewerThanTwoPositionsRunOnTheCallingThread) {
  OwnedPool owned(2);
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<std::size_t> slots(1);
  auto produce = [&](std::size_t position, std::size_t slot) {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    slots[slot] = position;
    return true;
  };
  OrderedStream stream(&owned.pool(), 1, slots.size(), produce, Caller::kHelps);
  EXPECT_EQ(consume_all(stream, slots), std::vector<std::size_t>{0});
}

}  // namespace
}  // namespace dorvane
