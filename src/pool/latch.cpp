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

}  // namespace dorvane
