// The injection queue: first-in-first-out across blocks, and exactly-once delivery with many
// pushers and takers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "numbered_jobs.h"
#include "pool/global_queue.h"

namespace dorvane {
namespace {

#if defined(__SANITIZE_THREAD__)
constexpr int64_t kJobsPerProducer = 100'000;
#else
constexpr int64_t kJobsPerProducer = 400'000;
#endif

// Takes one job, retrying lost races (there are none on one thread).
Steal take_one(GlobalQueue& queue) {
  for (;;) {
    Steal steal = queue.take();
    if (steal.outcome != StealOutcome::kRetry) return steal;
  }
}

TEST(GlobalQueue, SixtyFourJobsSpanTwoBlocksInOrder) {
  GlobalQueue queue;
  EXPECT_TRUE(queue.is_empty());
  EXPECT_EQ(queue.take().outcome, StealOutcome::kEmpty);
  for (int64_t n = 0; n < 64; ++n)
    queue.push(job_number(n));
  EXPECT_FALSE(queue.is_empty());
  for (int64_t n = 0; n < 64; ++n) {
    Steal steal = queue.take();
    ASSERT_EQ(steal.outcome, StealOutcome::kJob);
    EXPECT_EQ(steal.job, job_number(n));
  }
  EXPECT_TRUE(queue.is_empty());
  EXPECT_EQ(queue.take().outcome, StealOutcome::kEmpty);
}

TEST(GlobalQueue, InterleavedPushAndTakeAcrossManyBlocks) {
  GlobalQueue queue;
  int64_t next_push = 0;
  int64_t next_take = 0;
  // The queue runs empty exactly at block ends and in the middle of blocks.
  for (int round = 0; round < 40; ++round) {
    int64_t pushes = 1 + (round * 37) % 130;
    for (int64_t i = 0; i < pushes; ++i)
      queue.push(job_number(next_push++));
    int64_t takes = round % 3 == 0 ? pushes : pushes / 2;
    for (int64_t i = 0; i < takes && next_take < next_push; ++i) {
      Steal steal = take_one(queue);
      ASSERT_EQ(steal.outcome, StealOutcome::kJob);
      ASSERT_EQ(number_of(steal.job), next_take++);
    }
  }
  while (next_take < next_push)
    ASSERT_EQ(number_of(take_one(queue).job), next_take++);
  EXPECT_TRUE(queue.is_empty());
  // Refilled after running dry, and dropped with jobs left in it (no leak, no double free).
  for (int64_t i = 0; i < 100; ++i)
    queue.push(job_number(i));
}

// Several pushers and takers: each job is taken exactly once, and each taker sees every pusher's
// jobs in the order they were pushed.
TEST(GlobalQueueStress, ManyProducersAndConsumersTakeEachJobOnce) {
  constexpr int kProducers = 3;
  constexpr int kConsumers = 3;
  constexpr int64_t kTotal = kProducers * kJobsPerProducer;
  GlobalQueue queue;
  std::vector<std::atomic<uint8_t>> taken(kTotal);
  std::atomic<int> producers_done{0};
  std::atomic<int64_t> out_of_order{0};

  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      for (int64_t i = 0; i < kJobsPerProducer; ++i)
        queue.push(job_number(p * kJobsPerProducer + i));
      producers_done.fetch_add(1, std::memory_order_release);
    });
  }
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&] {
      std::vector<int64_t> last_seen(kProducers, -1);
      for (;;) {
        // Read before taking: an empty queue after every push has finished means we are done
        // (a lost job then shows up as never taken instead of hanging the test).
        bool finished = producers_done.load(std::memory_order_acquire) == kProducers;
        Steal steal = queue.take();
        if (steal.outcome == StealOutcome::kEmpty && finished) break;
        if (steal.outcome != StealOutcome::kJob) continue;
        int64_t number = number_of(steal.job);
        if (number < 0 || number >= kTotal) {
          out_of_order.fetch_add(1);
          continue;
        }
        taken[number].fetch_add(1, std::memory_order_relaxed);
        int64_t producer = number / kJobsPerProducer;
        if (number <= last_seen[producer]) out_of_order.fetch_add(1);
        last_seen[producer] = number;
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();

  EXPECT_EQ(out_of_order.load(), 0);
  int64_t wrong = 0;
  for (int64_t n = 0; n < kTotal; ++n) {
    if (taken[n].load(std::memory_order_relaxed) != 1) {
      if (wrong++ < 5)
        ADD_FAILURE() << "job " << n << " taken " << int{taken[n].load()} << " times";
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_TRUE(queue.is_empty());
}

}  // namespace
}  // namespace dorvane
