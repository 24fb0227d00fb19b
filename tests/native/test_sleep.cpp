// The sleep and wake protocol: when a worker gets sleepy and sleeps, whom posting work wakes, and
// that a job or latch set racing with a worker falling asleep is never missed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "pool/fence.h"
#include "pool/global_queue.h"
#include "pool/sleep.h"

namespace dorvane {
namespace {

#if defined(__SANITIZE_THREAD__)
constexpr int kInjectionRounds = 20'000;
constexpr int kLatchRounds = 1'500;
#else
constexpr int kInjectionRounds = 30'000;
constexpr int kLatchRounds = 4'000;
#endif

using Counters = SleepCounters;

// Waits for `condition` with a generous bound, so that a lost wake-up fails the test instead of
// hanging it. The bound is never what a test checks.
template <class Condition>
bool eventually(Condition condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  // Poll closely at first, so that a racing test posts again while the workers are still on their
  // way to sleep, not long after they got there.
  for (int check = 0; !condition(); ++check) {
    if (check < 2000) {
      std::this_thread::yield();
      continue;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
  return true;
}

// Every worker starts out inactive; the tests start from workers that have all found work.
void all_busy(Sleep& sleep, std::size_t workers) {
  for (std::size_t i = 0; i < workers; ++i)
    sleep.work_found();
}

// A worker that starts searching.
IdleState start_looking(Sleep& sleep, std::size_t index) {
  sleep.start_looking();
  return IdleState{index};
}

void count_run(void* data) {
  static_cast<std::atomic<int>*>(data)->fetch_add(1);
}

// A worker that gets sleepy on its first fruitless search and blocks on the second, until woken.
struct Sleeper {
  Sleep& sleep;
  GlobalQueue& queue;
  std::size_t index;
  CoreLatch latch;
  std::atomic<bool> woken{false};
  std::thread thread;

  Sleeper(Sleep& sleep_, GlobalQueue& queue_, std::size_t index_)
      : sleep(sleep_), queue(queue_), index(index_) {
    thread = std::thread([this] {
      IdleState idle = start_looking(sleep, index);
      idle.passes = Sleep::kRoundsUntilSleepy;
      sleep.no_work_found(idle, latch, queue);  // sleepy
      sleep.no_work_found(idle, latch, queue);  // asleep until woken
      woken.store(true);
    });
  }
  ~Sleeper() {
    // Normally already woken; if a check failed first, wake it so the test can end.
    while (!woken.load()) {
      sleep.wake_specific_thread(index);
      std::this_thread::yield();
    }
    thread.join();
  }
};

TEST(Sleep, SleepyOnThe33rdFruitlessSearchAsleepOnThe34th) {
  Sleep sleep(1);
  all_busy(sleep, 1);
  GlobalQueue queue;
  CoreLatch latch;
  sleep.new_jobs(true);  // JEC odd, as after a post
  ASSERT_EQ(sleep.counters(), Counters::kOneJec);

  IdleState idle = start_looking(sleep, 0);
  EXPECT_EQ(sleep.counters(), Counters::kOneJec + Counters::kOneInactive);
  for (int search = 1; search <= 32; ++search)
    sleep.no_work_found(idle, latch, queue);
  EXPECT_EQ(idle.passes, 32u);
  EXPECT_EQ(idle.jec_snapshot, kNoSnapshot);
  EXPECT_EQ(Counters::jec(sleep.counters()), 1u);  // not sleepy yet

  sleep.no_work_found(idle, latch, queue);  // the 33rd: sleepy
  EXPECT_EQ(idle.passes, 33u);
  EXPECT_EQ(idle.jec_snapshot, 2u);
  EXPECT_EQ(sleep.counters(), 2 * Counters::kOneJec + Counters::kOneInactive);
  EXPECT_EQ(latch.state(), CoreLatch::kUnset);

  std::atomic<bool> returned{false};
  std::thread worker([&] {
    sleep.no_work_found(idle, latch, queue);  // the 34th: asleep
    returned.store(true);
  });
  ASSERT_TRUE(eventually([&] { return Counters::sleeping(sleep.counters()) == 1; }));
  EXPECT_EQ(latch.state(), CoreLatch::kSleeping);
  EXPECT_FALSE(returned.load());

  // The only inactive worker sleeps, so even a post to an empty queue wakes it.
  sleep.new_jobs(true);
  EXPECT_TRUE(eventually([&] { return returned.load(); }));
  worker.join();
  EXPECT_EQ(sleep.counters(), 3 * Counters::kOneJec + Counters::kOneInactive);
  EXPECT_EQ(idle.passes, 0u);
  EXPECT_EQ(idle.jec_snapshot, kNoSnapshot);
  EXPECT_EQ(latch.state(), CoreLatch::kUnset);
}

TEST(Sleep, WorkPostedAfterGettingSleepyCancelsTheSleep) {
  Sleep sleep(2);
  all_busy(sleep, 2);
  GlobalQueue queue;
  CoreLatch latch;
  IdleState idle = start_looking(sleep, 0);
  idle.passes = Sleep::kRoundsUntilSleepy;
  sleep.no_work_found(idle, latch, queue);  // sleepy: JEC 0 is already even, so it stays
  EXPECT_EQ(idle.jec_snapshot, 0u);

  sleep.new_jobs(true);                     // a post on another worker's deque
  sleep.no_work_found(idle, latch, queue);  // would sleep; must not block
  EXPECT_EQ(Counters::sleeping(sleep.counters()), 0u);
  EXPECT_EQ(idle.passes, Sleep::kRoundsUntilSleepy);  // the next fruitless search gets sleepy
  EXPECT_EQ(idle.jec_snapshot, kNoSnapshot);
  EXPECT_EQ(latch.state(), CoreLatch::kUnset);

  sleep.no_work_found(idle, latch, queue);
  EXPECT_EQ(idle.passes, Sleep::kRoundsUntilAsleep);
  EXPECT_EQ(idle.jec_snapshot, 2u);
}

TEST(Sleep, AnInjectedJobSeenJustBeforeBlockingCancelsTheSleep) {
  Sleep sleep(1);
  all_busy(sleep, 1);
  GlobalQueue queue;
  CoreLatch latch;
  IdleState idle = start_looking(sleep, 0);
  idle.passes = Sleep::kRoundsUntilSleepy;
  sleep.no_work_found(idle, latch, queue);
  // The injector has pushed but not yet applied the new-work rule: the JEC is unchanged.
  int runs = 0;
  queue.push(JobRef{[](void* data) { ++*static_cast<int*>(data); }, &runs});
  sleep.no_work_found(idle, latch, queue);  // must not block
  EXPECT_EQ(sleep.counters(),
            Counters::kOneInactive);  // counted asleep, then taken back off
  EXPECT_EQ(idle.passes, 0u);
  EXPECT_EQ(latch.state(), CoreLatch::kUnset);
}

TEST(Sleep, ASetLatchIsNeverSleptOn) {
  Sleep sleep(1);
  all_busy(sleep, 1);
  GlobalQueue queue;
  CoreLatch latch;
  IdleState idle = start_looking(sleep, 0);
  idle.passes = Sleep::kRoundsUntilSleepy;
  sleep.no_work_found(idle, latch, queue);
  EXPECT_FALSE(latch.set());  // the owner was not asleep
  EXPECT_TRUE(latch.probe());
  sleep.no_work_found(idle, latch, queue);  // returns at once
  EXPECT_EQ(latch.state(), CoreLatch::kSet);
  EXPECT_EQ(Counters::sleeping(sleep.counters()), 0u);
}

TEST(Sleep, SettingTheLatchOfASleeperReportsItAndTheSetterWakesIt) {
  Sleep sleep(1);
  all_busy(sleep, 1);
  GlobalQueue queue;
  Sleeper sleeper(sleep, queue, 0);
  ASSERT_TRUE(eventually([&] { return Counters::sleeping(sleep.counters()) == 1; }));
  EXPECT_TRUE(sleeper.latch.set());
  EXPECT_TRUE(sleep.wake_specific_thread(0));
  EXPECT_TRUE(eventually([&] { return sleeper.woken.load(); }));
  EXPECT_FALSE(sleep.wake_specific_thread(0));  // no longer blocked
  EXPECT_EQ(sleeper.latch.state(),
            CoreLatch::kSet);  // waking up leaves a set latch set
  EXPECT_EQ(Counters::sleeping(sleep.counters()), 0u);
}

TEST(Sleep, PostingWhileNobodySleepsOnlyMakesTheJecOdd) {
  Sleep sleep(3);
  all_busy(sleep, 3);
  sleep.start_looking();
  sleep.start_looking();
  const uint64_t before = sleep.counters();
  sleep.new_jobs(true);
  EXPECT_EQ(sleep.counters(), before + Counters::kOneJec);
  sleep.new_jobs(false);  // already odd: nothing changes
  EXPECT_EQ(sleep.counters(), before + Counters::kOneJec);
  for (std::size_t index = 0; index < 3; ++index)
    EXPECT_FALSE(sleep.wake_specific_thread(index));
}

TEST(Sleep, NewWorkWakesOneSleeperOnlyWhenNoIdleWorkerIsAwake) {
  Sleep sleep(2);
  all_busy(sleep, 2);
  GlobalQueue queue;
  Sleeper sleeper(sleep, queue, 1);
  ASSERT_TRUE(eventually([&] { return Counters::sleeping(sleep.counters()) == 1; }));
  sleep.start_looking();  // an idle worker that is awake

  sleep.new_jobs(true);  // empty queue: the awake idle worker will find the job
  EXPECT_EQ(Counters::sleeping(sleep.counters()), 1u);
  EXPECT_FALSE(sleeper.woken.load());

  sleep.new_jobs(false);  // a queue that already held work: wake a helper
  EXPECT_EQ(Counters::sleeping(sleep.counters()), 0u);
  EXPECT_TRUE(eventually([&] { return sleeper.woken.load(); }));
}

TEST(Sleep, FindingWorkWhileThreeSleepWakesTwoInIndexOrder) {
  Sleep sleep(4);
  all_busy(sleep, 4);
  GlobalQueue queue;
  std::vector<std::unique_ptr<Sleeper>> sleepers;
  for (std::size_t index = 1; index <= 3; ++index) {
    sleepers.push_back(std::make_unique<Sleeper>(sleep, queue, index));
  }
  ASSERT_TRUE(eventually([&] { return Counters::sleeping(sleep.counters()) == 3; }));
  sleep.start_looking();
  EXPECT_EQ(Counters::inactive(sleep.counters()), 4u);

  sleep.work_found();
  EXPECT_EQ(Counters::sleeping(sleep.counters()), 1u);
  EXPECT_EQ(Counters::inactive(sleep.counters()),
            3u);  // the woken leave it when they find work
  EXPECT_TRUE(eventually([&] { return sleepers[0]->woken.load() && sleepers[1]->woken.load(); }));
  EXPECT_FALSE(sleepers[2]->woken.load());
  EXPECT_TRUE(sleep.wake_specific_thread(3));
}

// A worker's wait loop over GlobalQueue alone, as the pool runs it, that gets sleepy as soon as a
// search fails (to spend the test's time in the racy window).
void run_worker(Sleep& sleep, GlobalQueue& queue, std::size_t index, CoreLatch& terminate) {
  for (;;) {
    IdleState idle = start_looking(sleep, index);
    idle.passes = Sleep::kRoundsUntilSleepy;
    for (;;) {
      if (terminate.probe()) {
        sleep.work_found();
        return;
      }
      Steal steal = queue.take();
      if (steal.outcome == StealOutcome::kJob) {
        sleep.work_found();
        steal.job.run();
        break;
      }
      if (steal.outcome == StealOutcome::kEmpty) sleep.no_work_found(idle, terminate, queue);
    }
  }
}

void pause_briefly(std::mt19937& random) {
  uint32_t spins = random() % 4000;
  for (uint32_t i = 0; i < spins; ++i)
    asm volatile("" ::: "memory");  // not optimised away
  if (random() % 8 == 0) std::this_thread::yield();
}

// Jobs injected while workers are falling asleep are always run: no wake-up is lost.
TEST(SleepStress, InjectedJobsAreNeverMissedByWorkersFallingAsleep) {
  constexpr std::size_t kWorkers = 2;
  Sleep sleep(kWorkers);
  all_busy(sleep, kWorkers);
  GlobalQueue queue;
  std::vector<CoreLatch> terminate(kWorkers);
  std::vector<std::thread> workers;
  for (std::size_t index = 0; index < kWorkers; ++index) {
    workers.emplace_back(run_worker, std::ref(sleep), std::ref(queue), index,
                         std::ref(terminate[index]));
  }

  std::atomic<int> runs{0};
  std::mt19937 random(2024);
  for (int round = 1; round <= kInjectionRounds; ++round) {
    pause_briefly(random);
    bool was_empty = queue.is_empty();
    queue.push(JobRef{&count_run, &runs});
    full_fence();
    sleep.new_jobs(was_empty);
    if (!eventually([&] { return runs.load() >= round; })) {
      ADD_FAILURE() << "job of round " << round << " was never run: a lost wake-up";
      break;
    }
  }

  EXPECT_EQ(runs.load(), kInjectionRounds);
  for (std::size_t index = 0; index < kWorkers; ++index) {
    if (terminate[index].set()) sleep.wake_specific_thread(index);
  }
  for (std::thread& worker : workers)
    worker.join();
  EXPECT_EQ(sleep.counters() & 0xFFFFFFFF,
            0u);  // nobody inactive or sleeping is left over
}

// A latch set while its owner is falling asleep always ends the owner's wait.
TEST(SleepStress, ALatchSetWhileItsOwnerFallsAsleepIsNeverMissed) {
  Sleep sleep(1);
  all_busy(sleep, 1);
  GlobalQueue queue;
  std::mt19937 random(7);
  for (int round = 0; round < kLatchRounds; ++round) {
    CoreLatch latch;
    std::atomic<bool> finished{false};
    std::thread owner([&] {
      IdleState idle = start_looking(sleep, 0);
      idle.passes = Sleep::kRoundsUntilSleepy;
      while (!latch.probe())
        sleep.no_work_found(idle, latch, queue);
      sleep.work_found();
      finished.store(true);
    });
    pause_briefly(random);
    if (latch.set()) sleep.wake_specific_thread(0);
    bool ok = eventually([&] { return finished.load(); });
    if (!ok) sleep.wake_specific_thread(0);  // unblock it so the test can end
    owner.join();
    if (!ok) {
      ADD_FAILURE() << "round " << round << ": the owner slept through its latch";
      break;
    }
  }
  EXPECT_EQ(sleep.counters() & 0xFFFFFFFF, 0u);
}

}  // namespace
}  // namespace dorvane
