// Throughput of the pool's queues: a worker's deque on its own, a deque with one thief, and the
// injection queue. Prints nanoseconds per operation and millions of operations per second.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "pool/global_queue.h"
#include "pool/local_deque.h"

namespace dorvane {
namespace {

using Clock = std::chrono::steady_clock;

void do_nothing(void*) {}

JobRef job_number(uint64_t number) {
  return JobRef{&do_nothing, reinterpret_cast<void*>(static_cast<uintptr_t>(number))};
}

void report(const char* name, uint64_t operations, Clock::duration elapsed) {
  double ns = std::chrono::duration<double, std::nano>(elapsed).count();
  std::printf("%-44s %12llu ops  %7.2f ns/op  %8.1f Mops/s\n", name,
              static_cast<unsigned long long>(operations), ns / static_cast<double>(operations),
              static_cast<double>(operations) * 1e3 / ns);
}

// Keeps a result alive so the compiler cannot drop the loop.
uint64_t g_sink = 0;

void deque_push_pop() {
  constexpr uint64_t kRounds = 400'000;
  constexpr uint64_t kBatch = 32;
  Epochs epochs(1);
  LocalDeque deque(epochs);
  uint64_t sum = 0;
  Clock::time_point start = Clock::now();
  for (uint64_t round = 0; round < kRounds; ++round) {
    for (uint64_t i = 0; i < kBatch; ++i)
      deque.push(job_number(i));
    for (uint64_t i = 0; i < kBatch; ++i)
      sum += reinterpret_cast<uintptr_t>(deque.pop()->data);
  }
  report("deque push+pop, one thread (per op)", 2 * kRounds * kBatch, Clock::now() - start);
  g_sink += sum;
}

void deque_steal() {
  constexpr uint64_t kJobs = 4'000'000;
  constexpr uint64_t kBacklog = 1024;
  Epochs epochs(1);
  LocalDeque deque(epochs);
  std::atomic<uint64_t> stolen{0};
  std::atomic<bool> go{false};
  std::thread thief([&] {
    while (!go.load(std::memory_order_acquire)) {
    }
    uint64_t count = 0;
    uint64_t sum = 0;
    while (count < kJobs) {
      Steal steal = deque.steal(0);
      if (steal.outcome == StealOutcome::kJob) {
        sum += reinterpret_cast<uintptr_t>(steal.job.data);
        stolen.store(++count, std::memory_order_relaxed);
      }
    }
    g_sink += sum;
  });
  Clock::time_point start = Clock::now();
  go.store(true, std::memory_order_release);
  for (uint64_t pushed = 0; pushed < kJobs; ++pushed) {
    // Keep a bounded backlog so the thief, not the allocator, sets the pace.
    while (pushed - stolen.load(std::memory_order_relaxed) >= kBacklog) {
      std::this_thread::yield();  // the thief may share our core
    }
    deque.push(job_number(pushed));
  }
  thief.join();
  report("deque steal, one owner pushing + one thief", kJobs, Clock::now() - start);
}

void global_inject_take_one_thread() {
  constexpr uint64_t kRounds = 200'000;
  constexpr uint64_t kBatch = 64;
  GlobalQueue queue;
  uint64_t sum = 0;
  Clock::time_point start = Clock::now();
  for (uint64_t round = 0; round < kRounds; ++round) {
    for (uint64_t i = 0; i < kBatch; ++i)
      queue.push(job_number(i));
    for (uint64_t i = 0; i < kBatch; ++i)
      sum += reinterpret_cast<uintptr_t>(queue.take().job.data);
  }
  report("global inject+take, one thread (per op)", 2 * kRounds * kBatch, Clock::now() - start);
  g_sink += sum;
}

void global_inject_take_two_threads() {
  constexpr uint64_t kJobs = 4'000'000;
  GlobalQueue queue;
  std::thread taker([&] {
    uint64_t count = 0;
    uint64_t sum = 0;
    while (count < kJobs) {
      Steal steal = queue.take();
      if (steal.outcome == StealOutcome::kJob) {
        sum += reinterpret_cast<uintptr_t>(steal.job.data);
        ++count;
      }
    }
    g_sink += sum;
  });
  Clock::time_point start = Clock::now();
  for (uint64_t i = 0; i < kJobs; ++i)
    queue.push(job_number(i));
  taker.join();
  report("global inject -> take, one pusher + one taker", kJobs, Clock::now() - start);
}

}  // namespace
}  // namespace dorvane

int main() {
  dorvane::deque_push_pop();
  dorvane::deque_steal();
  dorvane::global_inject_take_one_thread();
  dorvane::global_inject_take_two_threads();
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(dorvane::g_sink));
  return 0;
}
