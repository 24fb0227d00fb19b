// The worker's deque: orders, growth and shrinking, and exactly-once delivery under stealing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "numbered_jobs.h"
#include "pool/epoch.h"
#include "pool/local_deque.h"

namespace dorvane {
namespace {

// Every thief steals as a participant of the deque's epochs of its own.
constexpr std::size_t kThiefSlots = 4;

#if defined(__SANITIZE_THREAD__)
constexpr int64_t kStressJobs = 500'000;
#else
constexpr int64_t kStressJobs = 3'000'000;
#endif

TEST(LocalDeque, OwnerTakesNewestFirstThievesOldestFirst) {
  Epochs epochs(kThiefSlots);
  LocalDeque deque(epochs);
  EXPECT_FALSE(deque.pop().has_value());
  EXPECT_EQ(deque.steal(0).outcome, StealOutcome::kEmpty);

  EXPECT_TRUE(deque.push(job_number(0)));  // was empty
  for (int64_t n = 1; n < 6; ++n)
    EXPECT_FALSE(deque.push(job_number(n)));

  Steal first = deque.steal(0);
  ASSERT_EQ(first.outcome, StealOutcome::kJob);
  EXPECT_EQ(first.job, job_number(0));
  EXPECT_EQ(deque.steal(0).job, job_number(1));
  EXPECT_EQ(deque.pop(), job_number(5));
  EXPECT_EQ(deque.pop(), job_number(4));
  EXPECT_EQ(deque.steal(0).job, job_number(2));
  EXPECT_EQ(deque.pop(), job_number(3));
  EXPECT_FALSE(deque.pop().has_value());
  EXPECT_EQ(deque.steal(0).outcome, StealOutcome::kEmpty);
  EXPECT_TRUE(deque.push(job_number(9)));  // empty again after being drained from both ends
}

TEST(LocalDeque, GrowsWhenFullAndShrinksByHalvesToTheFloor) {
  Epochs epochs(kThiefSlots);
  LocalDeque deque(epochs);
  EXPECT_EQ(deque.capacity(), 64u);
  for (int64_t n = 0; n < 64; ++n)
    deque.push(job_number(n));
  EXPECT_EQ(deque.capacity(), 64u);
  deque.push(job_number(64));
  EXPECT_EQ(deque.capacity(), 128u);

  // 65 in use: shrinking waits until fewer than 32 remain.
  for (int64_t n = 64; n >= 0; --n) {
    ASSERT_EQ(deque.pop(), job_number(n));
    EXPECT_EQ(deque.capacity(), n > 31 ? 128u : 64u) << "after popping job " << n;
  }
  EXPECT_FALSE(deque.pop().has_value());
  EXPECT_EQ(deque.capacity(), 64u);

  // Several doublings, then one halving per pop that leaves less than a quarter in use.
  for (int64_t n = 0; n < 300; ++n)
    deque.push(job_number(n));
  EXPECT_EQ(deque.capacity(), 512u);
  std::vector<std::size_t> capacities;
  for (int64_t n = 299; n >= 0; --n) {
    ASSERT_EQ(deque.pop(), job_number(n));
    if (capacities.empty() || capacities.back() != deque.capacity()) {
      capacities.push_back(deque.capacity());
      // The remaining count is n; the halving happened at the pop that left it under a quarter.
      if (capacities.size() > 1) {
        EXPECT_EQ(static_cast<std::size_t>(n), deque.capacity() / 2 - 1);
      }
    }
  }
  EXPECT_EQ(capacities, (std::vector<std::size_t>{512, 256, 128, 64}));
}

TEST(LocalDeque, ThievesKeepPushOrderAcrossResizes) {
  Epochs epochs(kThiefSlots);
  LocalDeque deque(epochs);
  // Steal from the front while the owner grows the buffer, so the live range wraps around.
  int64_t next_push = 0;
  int64_t next_steal = 0;
  for (int round = 0; round < 10; ++round) {
    for (int i = 0; i < 100; ++i)
      deque.push(job_number(next_push++));
    for (int i = 0; i < 70; ++i) {
      Steal steal = deque.steal(0);
      ASSERT_EQ(steal.outcome, StealOutcome::kJob);
      ASSERT_EQ(number_of(steal.job), next_steal++);
    }
  }
  EXPECT_EQ(deque.capacity(), 512u);  // 300 live at the end
  // The owner drains from the back; the shrinks keep the remaining front intact.
  for (int64_t n = next_push - 1; n >= next_steal + 10; --n)
    ASSERT_EQ(deque.pop(), job_number(n));
  for (int64_t n = next_steal; n < next_steal + 10; ++n)
    ASSERT_EQ(deque.steal(0).job, job_number(n));
  EXPECT_FALSE(deque.pop().has_value());
}

// One owner pushing and popping in bursts (growing and shrinking the buffer) and one at a time
// (racing the thieves for the last job), while thieves steal: every job is taken exactly once.
TEST(LocalDequeStress, EveryJobTakenExactlyOnce) {
  constexpr int kThieves = 3;
  Epochs epochs(kThiefSlots);
  LocalDeque deque(epochs);
  std::vector<std::atomic<uint8_t>> taken(kStressJobs);
  std::atomic<bool> done{false};
  std::atomic<int64_t> stolen{0};

  auto take = [&](const JobRef& job) {
    int64_t number = number_of(job);
    ASSERT_GE(number, 0);
    ASSERT_LT(number, kStressJobs);
    taken[number].fetch_add(1, std::memory_order_relaxed);
  };

  std::vector<std::thread> thieves;
  for (int t = 0; t < kThieves; ++t) {
    thieves.emplace_back([&, t] {
      int64_t mine = 0;
      while (!done.load(std::memory_order_acquire)) {
        Steal steal = deque.steal(static_cast<std::size_t>(t));
        if (steal.outcome == StealOutcome::kJob) {
          take(steal.job);
          ++mine;
        }
      }
      stolen.fetch_add(mine);
    });
  }

  std::mt19937_64 random(12345);
  int64_t next = 0;
  int64_t popped = 0;
  std::size_t largest_capacity = 0;
  while (next < kStressJobs) {
    if (random() % 2 == 0) {
      // A burst: push many, then pop most of them back.
      int64_t count = std::min<int64_t>(1 + random() % 2000, kStressJobs - next);
      for (int64_t i = 0; i < count; ++i)
        deque.push(job_number(next++));
      largest_capacity = std::max(largest_capacity, deque.capacity());
      int64_t pops = random() % (count + 1);
      for (int64_t i = 0; i < pops; ++i) {
        std::optional<JobRef> job = deque.pop();
        if (!job) break;
        take(*job);
        ++popped;
      }
    } else {
      // One at a time: push one, pop one, contending with the thieves for a single entry.
      for (int i = 0; i < 200 && next < kStressJobs; ++i) {
        deque.push(job_number(next++));
        if (std::optional<JobRef> job = deque.pop()) {
          take(*job);
          ++popped;
        }
      }
    }
  }
  while (std::optional<JobRef> job = deque.pop()) {
    take(*job);
    ++popped;
  }
  done.store(true, std::memory_order_release);
  for (std::thread& thief : thieves)
    thief.join();

  EXPECT_EQ(popped + stolen.load(), kStressJobs);
  int64_t wrong = 0;
  for (int64_t n = 0; n < kStressJobs; ++n) {
    if (taken[n].load(std::memory_order_relaxed) != 1) {
      if (wrong++ < 5)
        ADD_FAILURE() << "job " << n << " taken " << int{taken[n].load()} << " times";
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(largest_capacity, 64u);
  EXPECT_FALSE(deque.pop().has_value());
}

}  // namespace
}  // namespace dorvane
