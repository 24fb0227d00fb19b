// A full memory fence that the thread sanitizer understands.
#pragma once

#include <atomic>
#include <cstdint>

namespace dorvane {

// Orders every earlier load and store of this thread before every later one (a store-load
// barrier). Used where two threads each write one word and then read the other's: either one of
// them sees the other's write.
inline void full_fence() {
#if defined(__SANITIZE_THREAD__)
  // The thread sanitizer neither models nor accepts a stand-alone fence. A sequentially consistent
  // read-modify-write of one shared word is a full barrier on the hardware as well, and gives the
  // sanitizer a synchronisation point it can follow (it may hide a race, never invent one).
  static std::atomic<uint64_t> fence_word{0};
  fence_word.fetch_add(0, std::memory_order_seq_cst);
#else
  std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}

}  // namespace dorvane
