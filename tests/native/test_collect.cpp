#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "new_process.h"
#include "platform/memory.h"
#include "platform/panic.h"
#include "platform/platform.h"
#include "pool/collect.h"
#include "pool/worker_pool.h"

namespace dorvane {
namespace {

// A record that owns heap memory and counts its live payloads, so that a record destroyed twice,
// leaked, or copied instead of moved shows up.
std::atomic<int> live_payloads{0};

struct Payload {
  explicit Payload(int value) : value(value) { live_payloads.fetch_add(1); }
  ~Payload() { live_payloads.fetch_sub(1); }
  int value;
};

struct Record {
  Record() = default;
  explicit Record(int value) : payload(std::make_unique<Payload>(value)) {}
  std::unique_ptr<Payload> payload;
  std::thread::id thread;
};

Vec<int> iota(int count) {
  Vec<int> items;
  for (int i = 0; i < count; ++i)
    items.push_back(i);
  return items;
}

std::string panic_message_of(const std::function<void()>& body) {
  try {
    body();
  } catch (const Panic& panic) {
    return std::string(panic.message());
  }
  return "<none>";
}

// Squares each item and remembers the length of every run it was handed.
struct WatchedSquare {
  std::mutex* mutex;
  std::vector<std::size_t>* runs;
  void start_run(std::size_t count) {
    std::lock_guard<std::mutex> lock(*mutex);
    runs->push_back(count);
  }
  Record operator()(int item) const { return Record(item * item); }
};

TEST(CollectInOrder, OneWorkerCalledFromOutsideCutsAHundredIntoEightRuns) {
  OwnedPool owned(1);
  std::mutex mutex;
  std::vector<std::size_t> runs;
  Vec<Record> output;
  owned.route_outside_calls(
      [&] { collect_in_order(iota(100), WatchedSquare{&mutex, &runs}, output); });
  EXPECT_EQ(runs, (std::vector<std::size_t>{12, 13, 12, 13, 12, 13, 12, 13}));
  ASSERT_EQ(output.size(), 100u);
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(output[i].payload->value, i * i);
}

TEST(CollectInOrder, OutputOrderIsInputOrderWhicheverThreadComputedIt) {
  for (std::size_t workers : {2, 4}) {
    OwnedPool owned(workers);
    for (int count : {2, 3, 17, 1000}) {
      Vec<Record> output;
      output.emplace_back(-1);  // records are appended after what is already there
      auto op = [](int item) {
        Record record(item);
        record.thread = std::this_thread::get_id();
        return record;
      };
      owned.route_outside_calls([&] { collect_in_order(iota(count), op, output); });
      ASSERT_EQ(output.size(), static_cast<std::size_t>(count) + 1);
      EXPECT_EQ(output[0].payload->value, -1);
      for (int i = 0; i < count; ++i)
        ASSERT_EQ(output[i + 1].payload->value, i);
      // Called from inside a worker as well.
      Vec<Record> inside;
      owned.pool().run([&](WorkerThread&, bool) { collect_in_order(iota(count), op, inside); });
      ASSERT_EQ(inside.size(), static_cast<std::size_t>(count));
      for (int i = 0; i < count; ++i)
        ASSERT_EQ(inside[i].payload->value, i);
    }
  }
  EXPECT_EQ(live_payloads.load(), 0);
}

TEST(CollectInOrder, FewerThanTwoItemsStayOnTheCallingThread) {
  OwnedPool owned(2);
  std::thread::id caller = std::this_thread::get_id();
  Vec<Record> output;
  int calls = 0;
  auto op = [&](int item) {
    ++calls;
    Record record(item);
    record.thread = std::this_thread::get_id();
    return record;
  };
  owned.route_outside_calls([&] { collect_in_order(Vec<int>{}, op, output); });
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(output.empty());
  owned.route_outside_calls([&] { collect_in_order(iota(1), op, output); });
  ASSERT_EQ(output.size(), 1u);
  EXPECT_EQ(output[0].thread, caller);
}

TEST(CollectInOrder, AnEmptyInputStillCreatesTheProcessPool) {
  static std::atomic<int> started{0};
  EXPECT_ZERO_IN_NEW_PROCESS([] {
    platform::set_environment_variable("DORVANE_NUM_THREADS", "2");
    set_spawn_hook_for_testing([](std::size_t) {
      started.fetch_add(1);
      return 0;
    });
    Vec<Record> output;
    collect_in_order(Vec<int>{}, [](int item) { return Record(item); }, output);
    return started.load() == 2 && output.empty() ? 0 : 1;
  });
}

TEST(CollectInOrder, APanicLeavesTheOutputAsItWasAndTheLowestPositionWins) {
  OwnedPool owned(4);
  const int baseline = live_payloads.load();
  for (int round = 0; round < 20; ++round) {
    Vec<Record> output;
    output.emplace_back(-1);
    const int first_failure = 100 + round * 37;
    auto op = [&](int item) {
      if (item == first_failure || item == first_failure + 5 || item == 990) {
        throw Panic("item " + std::to_string(item));
      }
      return Record(item);
    };
    std::string message = panic_message_of(
        [&] { owned.route_outside_calls([&] { collect_in_order(iota(1000), op, output); }); });
    ASSERT_EQ(message, "item " + std::to_string(first_failure));
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(output[0].payload->value, -1);
    output.clear();
    // Every record written before the failure was released.
    EXPECT_EQ(live_payloads.load(), baseline);
  }
  // The pool serves the next call normally.
  Vec<Record> output;
  owned.route_outside_calls(
      [&] { collect_in_order(iota(500), [](int item) { return Record(item); }, output); });
  ASSERT_EQ(output.size(), 500u);
  EXPECT_EQ(output[499].payload->value, 499);
}

TEST(CollectTarget, BoundsAndMergeRules) {
  const int baseline = live_payloads.load();
  Vec<Record> slots(6);
  // A run never takes more records than it has slots.
  {
    CollectTarget<Record> target(slots.data(), 1);
    target.push(Record(1));
    EXPECT_EQ(panic_message_of([&] { target.push(Record(2)); }),
              "too many values pushed to consumer");
  }
  EXPECT_EQ(live_payloads.load(), baseline);  // the target released its record

  // A full left run absorbs its right neighbour.
  {
    auto [left, right] = CollectTarget<Record>(slots.data(), 4).split_at(2);
    left.push(Record(0));
    left.push(Record(1));
    right.push(Record(2));
    CollectTarget<Record> merged = CollectTarget<Record>::merge(std::move(left), std::move(right));
    EXPECT_EQ(merged.total(), 4u);
    EXPECT_EQ(merged.written(), 3u);
    EXPECT_EQ(live_payloads.load(), baseline + 3);
  }
  EXPECT_EQ(live_payloads.load(), baseline);

  // A left run with a gap keeps only its own records; the total-writes check then fails.
  {
    auto [left, right] = CollectTarget<Record>(slots.data(), 4).split_at(2);
    left.push(Record(0));
    right.push(Record(2));
    right.push(Record(3));
    CollectTarget<Record> merged = CollectTarget<Record>::merge(std::move(left), std::move(right));
    EXPECT_EQ(merged.written(), 1u);
    EXPECT_EQ(live_payloads.load(), baseline + 1);
    EXPECT_EQ(panic_message_of([&] { collect_detail::check_total_writes(merged, 4); }),
              "expected 4 total writes, but got 1");
  }
  EXPECT_EQ(live_payloads.load(), baseline);
  EXPECT_EQ(panic_message_of([&] { (void)CollectTarget<Record>(slots.data(), 2).split_at(3); }),
            "assertion failed: index <= len");
}

}  // namespace
}  // namespace dorvane
