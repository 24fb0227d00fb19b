// The pool's shared entrance: an unbounded lock-free first-in-first-out queue of jobs that any
// thread may push and any thread may take.
#pragma once

#include <atomic>
#include <cstdint>

#include "pool/job_ref.h"
#include "pool/local_deque.h"  // Steal, StealOutcome

namespace dorvane {

class GlobalQueue {
 public:
  // Jobs per block. Positions run in laps of kBlockSlots + 1: the extra position marks the end of
  // a block, where threads wait until the next block is installed.
  static constexpr uint64_t kBlockSlots = 63;

  GlobalQueue();
  ~GlobalQueue();  // no thread may still be using the queue; jobs left in it are dropped
  GlobalQueue(const GlobalQueue&) = delete;
  GlobalQueue& operator=(const GlobalQueue&) = delete;

  // Appends at the tail; allocates only when it opens a new block.
  void push(JobRef job);
  // Takes from the head: a job, kEmpty, or kRetry when another taker won the race for the head.
  Steal take();
  // True when head and tail are at the same position.
  bool is_empty() const;

 private:
  struct Block;

  // A position and the block that holds it; each end on its own line.
  struct alignas(128) End {
    std::atomic<uint64_t> position{0};
    std::atomic<Block*> block{nullptr};
  };

  End head_;
  End tail_;
};

}  // namespace dorvane
