// Deferred reclamation by epochs: a deque buffer that thieves may still be reading is freed only
// after every thief that could have reached it has left the section in which it read it.
//
// One `Epochs` serves one pool and has a record per worker: only workers steal, each pinning its
// own record, so a record has one writer and no thread ever registers, looks for a free record or
// gives one back. A pool forgotten in a forked child takes its records with it; the child's new
// pool has fresh ones.
//
// A thief wraps each read of shared, replaceable memory in a `Pin`. A writer that unlinks a block
// stamps it with `current()` (read after the unlinking store) and frees it once `try_advance()`
// reports an epoch at least `kReclaimDistance` beyond the stamp. The argument that this is safe is
// in epoch.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/memory.h"

namespace dorvane {

class Epochs {
 public:
  // Epochs a stamped block must wait before it may be freed.
  static constexpr uint64_t kReclaimDistance = 2;

  // Records for participants 0 .. participants - 1.
  explicit Epochs(std::size_t participants);
  Epochs(const Epochs&) = delete;
  Epochs& operator=(const Epochs&) = delete;

  // Pins `participant` for its lifetime: nothing unlinked after the pin is freed before the pin
  // ends. One pin per participant at a time, made by the one thread that is that participant.
  class Pin {
   public:
    Pin(Epochs& epochs, std::size_t participant);
    ~Pin();
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

   private:
    std::atomic<uint64_t>& state_;
  };

  // The global epoch, for stamping a block just unlinked (call it after the unlinking store).
  uint64_t current() const;

  // Moves the global epoch on by one if every pinned participant has seen the current one;
  // returns the epoch as it is afterwards (possibly advanced by another thread).
  uint64_t try_advance();

  // Whether a block stamped `stamp` may be freed once the global epoch has reached `epoch`.
  static bool is_reclaimable(uint64_t stamp, uint64_t epoch) {
    return epoch >= stamp + kReclaimDistance;
  }

 private:
  // 0 when unpinned, (epoch << 1) | 1 when pinned. Written only by its participant.
  struct alignas(128) Record {
    std::atomic<uint64_t> state{0};
  };

  alignas(128) std::atomic<uint64_t> epoch_{0};
  Vec<Record> records_;
};

}  // namespace dorvane
