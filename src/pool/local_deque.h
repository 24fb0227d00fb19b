// A worker's own job queue: a growable lock-free ring buffer that its owner uses as a stack and
// from whose other end any thread may steal the oldest job.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "pool/job_ref.h"

namespace dorvane {

namespace testing {
struct PoolTesting;
}

// What a steal got: a job, nothing (the queue was empty), or nothing because it lost a race with
// another thread changing the queue (it may still hold jobs; try again).
enum class StealOutcome { kJob, kEmpty, kRetry };

struct Steal {
  StealOutcome outcome;
  JobRef job;  // valid only for kJob
};

// One per worker, shared by address: the pool keeps every deque alive while any thread may steal.
class LocalDeque {
 public:
  // Capacity of a new deque, and the floor below which it never shrinks.
  static constexpr std::size_t kMinCapacity = 64;

  LocalDeque();
  ~LocalDeque();  // no thread may still be using the deque
  LocalDeque(const LocalDeque&) = delete;
  LocalDeque& operator=(const LocalDeque&) = delete;

  // Owner side: only the owning thread calls these.
  // Pushes at the back; true when the deque was empty before the push. Doubles the capacity when
  // the buffer is full.
  bool push(JobRef job);
  // Pops from the back (last in, first out). Halves the capacity when fewer than a quarter of it
  // stays in use and it is above kMinCapacity.
  std::optional<JobRef> pop();

  // Thief side: any thread. Takes from the front (first in, first out).
  Steal steal();

 private:
  friend struct testing::PoolTesting;

  // A snapshot: true when no job was in the deque at some instant during the call.
  bool is_empty() const;
  // Current buffer capacity. Owner side, like push and pop.
  std::size_t capacity() const;

  struct Buffer;

  Buffer* replace_buffer(Buffer* old, int64_t from, int64_t to, int64_t new_capacity);
  void reclaim();

  // Index of the oldest job; moved forward by thieves and by the owner taking the last job.
  alignas(128) std::atomic<int64_t> top_{0};
  // One past the newest job, and the current buffer: written only by the owner.
  alignas(128) std::atomic<int64_t> bottom_{0};
  std::atomic<Buffer*> buffer_;
  // Replaced buffers that thieves may still read, linked through Buffer::next_retired. Owner only.
  Buffer* retired_ = nullptr;
};

}  // namespace dorvane
