#include "pool/latch.h"

#include "pool/worker_pool.h"

namespace dorvane {

void SpinLatch::set() {
  // Copy what the wake-up needs first: once the swap inside CoreLatch::set() is visible, the
  // waiting worker may leave its frame, and this latch with it.
  WorkerPool* pool = pool_;
  std::size_t target = target_index_;
  if (core_.set()) pool->sleep().wake_specific_thread(target);
}

LockLatch& LockLatch::for_current_thread() {
  thread_local LockLatch latch;
  return latch;
}

void LockLatch::set() {
  // Notifying under the lock keeps the waiter from returning (and reusing or freeing the latch)
  // before this call is done with it.
  std::lock_guard<std::mutex> lock(mutex_);
  is_set_ = true;
  changed_.notify_all();
}

void LockLatch::wait_and_reset() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!is_set_)
    changed_.wait(lock);
  is_set_ = false;
}

}  // namespace dorvane
