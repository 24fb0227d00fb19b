// Deferred reclamation by epochs: memory that concurrent readers may still hold is freed only
// after every thread that could have reached it has left the section in which it read it.
//
// Readers wrap each access to shared, replaceable memory in a `PinGuard`. A writer that unlinks a
// block stamps it with `current_epoch()` (read after the unlinking store) and frees it once
// `try_advance()` reports an epoch at least `kReclaimDistance` beyond the stamp. The argument that
// this is safe is in epoch.cpp. In a child of fork(), the threads left behind in the parent no
// longer hold the epoch back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dorvane::epoch {

// Epochs a stamped block must wait before it may be freed.
inline constexpr uint64_t kReclaimDistance = 2;

// Pins the calling thread for its lifetime: nothing unlinked after the pin is freed before the
// guard ends. Nests; cheap enough for every steal (one store, no allocation after the thread's
// first pin). Any thread may pin: workers that never exit and outside threads that do.
class PinGuard {
 public:
  PinGuard();
  ~PinGuard();
  PinGuard(const PinGuard&) = delete;
  PinGuard& operator=(const PinGuard&) = delete;
};

// Readies the calling thread's epoch state ahead of its first pin, while memory is still to be
// had: takes its record and registers the record's release at thread exit. A pin then allocates
// nothing.
void prepare_thread();

// The global epoch, for stamping a block just unlinked (call it after the unlinking store).
uint64_t current_epoch();

// Moves the global epoch on by one if every pinned thread has seen the current one; returns the
// epoch as it is afterwards (possibly advanced by another thread).
uint64_t try_advance();

// Whether a block stamped `stamp` may be freed once the global epoch has reached `epoch`.
inline bool is_reclaimable(uint64_t stamp, uint64_t epoch) {
  return epoch >= stamp + kReclaimDistance;
}

}  // namespace dorvane::epoch
