#include "pool/latch.h"

#include "platform/platform.h"
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
  // On the heap, freed by a thread-exit cleanup rather than by a thread_local destructor (see
  // platform::at_thread_exit).
  constinit thread_local LockLatch* latch = nullptr;
  if (latch == nullptr) [[unlikely]] {
    latch = new LockLatch();
    platform::at_thread_exit([](void* raw) { delete static_cast<LockLatch*>(raw); }, latch);
  }
  return *latch;
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
