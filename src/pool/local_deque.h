// A worker's own job queue: a growable lock-free ring buffer that its owner uses as a stack and
// from whose other end any thread may steal the oldest job.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "pool/epoch.h"
#include "pool/job_ref.h"

namespace dorvane {

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

  // Replaced buffers are freed by `epochs`, whose participants are the thieves.
  explicit LocalDeque(Epochs& epochs);
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

  // Thief side: any thread, as participant `thief` of the deque's epochs (its own, used by no
  // other thread meanwhile). Takes from the front (first in, first out).
  Steal steal(std::size_t thief);

  // Current buffer capacity. Owner side, like push and pop.
  std::size_t capacity() const;

 private:
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
  Epochs& epochs_;
};

}  // namespace dorvane
