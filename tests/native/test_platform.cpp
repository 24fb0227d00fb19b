// The operating-system layer through its portable interface. What depends on one system (the stack
// a thread got, error codes and their texts, environment values that are not valid text) is in
// test_platform_linux.cpp and test_platform_windows.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "paths/table_key.h"
#include "platform/memory.h"
#include "platform/platform.h"
#include "platform_testing.h"

namespace dorvane {
namespace {

using std::chrono::milliseconds;

// Yields until `condition()` holds or `limit` has passed; returns whether it held.
template <class Condition>
bool eventually(Condition condition, std::chrono::seconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// Waiters on detached threads, so that a wake that never comes fails the test instead of hanging
// it. They live in static storage: a thread still blocked when the test fails keeps them.
struct Waiters {
  static constexpr int kCount = 3;
  std::atomic<uint32_t> word{0};
  std::atomic<int> returns{0};  // how often wait_on_address came back, all waiters together
  std::atomic<int> done{0};

  static void run(void* raw) {
    auto* self = static_cast<Waiters*>(raw);
    while (self->word.load() == 0) {
      platform::wait_on_address(self->word, 0);
      self->returns.fetch_add(1);
    }
    self->done.fetch_add(1);
  }
};

TEST(PlatformThreads, ASpawnedThreadRunsItsBodyWithItsArgument) {
  static std::atomic<void*> seen;
  static int argument = 0;
  seen.store(nullptr);
  ASSERT_EQ(platform::spawn_detached_thread([](void* raw) { seen.store(raw); }, &argument), 0);
  EXPECT_TRUE(eventually([] { return seen.load() != nullptr; }));
  EXPECT_EQ(seen.load(), &argument);
}

TEST(PlatformThreads, ThreadIdsTellThreadsApart) {
  uint64_t here = platform::current_thread_id();
  uint64_t there = 0;
  std::thread([&] { there = platform::current_thread_id(); }).join();
  EXPECT_NE(here, there);
  EXPECT_EQ(platform::current_thread_id(), here);
}

TEST(PlatformWait, WaitersBlockUntilTheWordChangedAndAWakeAllWakesEveryOne) {
  static Waiters waiters;
  // As a repeated run of the test finds them.
  waiters.word.store(0);
  waiters.returns.store(0);
  waiters.done.store(0);
  for (int i = 0; i < Waiters::kCount; ++i) {
    ASSERT_EQ(platform::spawn_detached_thread(&Waiters::run, &waiters), 0);
  }
  // A wait that returned at once instead of blocking would come back millions of times here;
  // a few spurious returns are allowed.
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_LT(waiters.returns.load(), 100);
  EXPECT_EQ(waiters.done.load(), 0);
  waiters.word.store(1);
  platform::wake_all(waiters.word);
  EXPECT_TRUE(eventually([] { return waiters.done.load() == Waiters::kCount; }))
      << "a waiter was not woken";
}

TEST(PlatformWait, ReturnsWhenTheWordDiffersFromTheExpectedValue) {
  std::atomic<uint32_t> word{7};
  platform::wait_on_address(word, 6);  // would block for ever if it compared wrongly
  SUCCEED();
}

TEST(PlatformEnvironment, ReadsWhatWasSetAndReportsUnsetAsUnset) {
  const char* name = "DORVANE_TEST_PLATFORM_VARIABLE";
  platform::set_environment_variable(name, nullptr);
  EXPECT_EQ(platform::environment_variable(name), std::nullopt);
  platform::set_environment_variable(name, "12");
  EXPECT_EQ(platform::environment_variable(name), "12");
  // Longer than any first guess at the size, and not ASCII.
  std::string long_value(5000, 'x');
  long_value += "\xc3\xa9\xe2\x82\xac";  // e acute, euro sign
  platform::set_environment_variable(name, long_value.c_str());
  EXPECT_EQ(platform::environment_variable(name), long_value);
  platform::set_environment_variable(name, nullptr);
  EXPECT_EQ(platform::environment_variable(name), std::nullopt);
  EXPECT_EQ(platform::environment_variable("DORVANE_TEST_NEVER_SET"), std::nullopt);
}

TEST(PlatformProcessors, TheCountIsAtLeastOne) {
  EXPECT_GE(platform::processor_count(), 1u);
}

TEST(PlatformRandom, FillsEveryByteAndDiffersBetweenCalls) {
  std::array<unsigned char, 4096> first{};
  std::array<unsigned char, 4096> second{};
  platform::fill_random(first.data(), first.size());
  platform::fill_random(second.data(), second.size());
  // About 16 zero bytes are expected by chance; a region left unwritten would leave far more.
  EXPECT_LT(std::count(first.begin(), first.end(), 0), 100);
  EXPECT_NE(first, second);
}

TEST(Memory, BlocksHaveTheAlignmentAskedForAtEverySize) {
  // Large blocks are mapped, which aligns them to a page only: more must still be honoured.
  for (std::size_t bytes : {std::size_t{1}, std::size_t{4096}, std::size_t{1} << 20}) {
    for (std::size_t alignment : {std::size_t{8}, std::size_t{4096}, std::size_t{1} << 21}) {
      void* block = allocate(bytes, alignment);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignment, 0u)
          << bytes << " " << alignment;
      deallocate(block, bytes, alignment);
    }
  }
}

TEST(TableKeys, TwoThreadsGetDifferentKeyPairs) {
  SipKey a{};
  SipKey b{};
  std::thread([&] { a = next_table_key(); }).join();
  std::thread([&] { b = next_table_key(); }).join();
  // The second half of a thread's pair comes straight from the random source.
  EXPECT_NE(a.k1, b.k1);
}

TEST(PlatformFailFast, EndsTheProcessAfterTheWholeMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Longer than a pipe's buffer: the end still arrives before the process does.
  std::string message(100000, '.');
  message += "the end\n";
  EXPECT_DEATH(
      {
        platform::write_stderr(message);
        platform::fail_fast();
      },
      "the end");
}

}  // namespace
}  // namespace dorvane
