// The work-stealing deque: Chase and Lev's circular array with the C11 memory orders worked out by
// Le, Pop, Cohen and Zappa Nardelli, plus shrinking and epoch-based freeing of old buffers.
//
// Jobs live at indices [top_, bottom_), each at slot index % capacity of the current buffer. The
// owner moves bottom_; thieves move top_ only by compare-and-swap, so each index is handed out at
// most once. Buffers are replaced (on growth and on shrinking) by copying the live range into a new
// buffer at the same indices; a thief holding the old buffer reads the same values there, because
// nobody writes into a buffer once it is replaced.
//
// The owner's pop and the thieves' steals meet in a Dekker pattern: pop stores the decremented
// bottom_ and then loads top_, steal loads top_ and then bottom_, all sequentially consistent. In
// the single total order either the thief sees the lowered bottom_ (and backs off from the job the
// owner is taking) or the owner sees the thief's top_ and, when both want the last job, both
// compare-and-swap top_ and only one succeeds.
#include "pool/local_deque.h"

#include <new>

#include "platform/memory.h"

namespace dorvane {

// A power-of-two ring of slots that follows this header in the same allocation.
struct LocalDeque::Buffer {
  // Each half is its own atomic: a thief may read a slot while the owner refills it for a later
  // index. Such a torn read is harmless, since that thief's compare-and-swap of top_ then fails.
  struct Slot {
    std::atomic<void (*)(void*)> execute;
    std::atomic<void*> data;
  };

  int64_t capacity;
  int64_t mask;
  // Owner-only bookkeeping once the buffer is replaced.
  uint64_t retired_at = 0;
  Buffer* next_retired = nullptr;

  static Buffer* create(int64_t capacity) {
    std::size_t bytes =
        sizeof(Buffer) + array_bytes(static_cast<std::size_t>(capacity), sizeof(Slot));
    void* memory = allocate(bytes, kAlignment);
    Buffer* buffer = new (memory) Buffer{capacity, capacity - 1};
    Slot* slots = buffer->slots();
    for (int64_t i = 0; i < capacity; ++i)
      new (&slots[i]) Slot{};
    return buffer;
  }

  static void destroy(Buffer* buffer) {
    // Buffer and Slot are trivially destructible.
    std::size_t bytes = sizeof(Buffer) + static_cast<std::size_t>(buffer->capacity) * sizeof(Slot);
    deallocate(buffer, bytes, kAlignment);
  }

  Slot* slots() { return reinterpret_cast<Slot*>(this + 1); }

  // Relaxed: the owner publishes slots through the release store of bottom_ (push) or the
  // seq_cst store of buffer_ (replace_buffer); readers order their slot loads after the matching
  // loads of bottom_ and buffer_, and a stale or torn value is discarded by a failed CAS of top_.
  void put(int64_t index, JobRef job) {
    Slot& slot = slots()[index & mask];
    slot.execute.store(job.execute, std::memory_order_relaxed);
    slot.data.store(job.data, std::memory_order_relaxed);
  }
  JobRef get(int64_t index) {
    Slot& slot = slots()[index & mask];
    return JobRef{slot.execute.load(std::memory_order_relaxed),
                  slot.data.load(std::memory_order_relaxed)};
  }

  static constexpr std::size_t kAlignment = 64;
};

static_assert((LocalDeque::kMinCapacity & (LocalDeque::kMinCapacity - 1)) == 0,
              "slot indexing masks with capacity - 1");
static_assert(sizeof(JobRef) == 2 * sizeof(void*), "queues carry two-word handles");

LocalDeque::LocalDeque(Epochs& epochs)
    : buffer_(Buffer::create(static_cast<int64_t>(kMinCapacity))), epochs_(epochs) {}

LocalDeque::~LocalDeque() {
  Buffer::destroy(buffer_.load(std::memory_order_relaxed));  // no other thread is left
  while (retired_ != nullptr) {
    Buffer* next = retired_->next_retired;
    Buffer::destroy(retired_);
    retired_ = next;
  }
}

bool LocalDeque::push(JobRef job) {
  // Relaxed: only this thread writes bottom_ and buffer_.
  int64_t bottom = bottom_.load(std::memory_order_relaxed);
  Buffer* buffer = buffer_.load(std::memory_order_relaxed);
  // Acquire: pairs with the CAS of top_ by the thief that took index top - 1, so its read of that
  // slot happens before this push may overwrite it.
  int64_t top = top_.load(std::memory_order_acquire);
  if (bottom - top >= buffer->capacity) {
    buffer = replace_buffer(buffer, top, bottom, buffer->capacity * 2);
  }
  buffer->put(bottom, job);
  // Release: pairs with the thieves' seq_cst load of bottom_, publishing the slot just written.
  bottom_.store(bottom + 1, std::memory_order_release);
  return bottom - top <= 0;
}

std::optional<JobRef> LocalDeque::pop() {
  // Relaxed: only this thread writes bottom_ and buffer_.
  int64_t bottom = bottom_.load(std::memory_order_relaxed) - 1;
  Buffer* buffer = buffer_.load(std::memory_order_relaxed);
  // Seq_cst store, then seq_cst load: the owner's half of the Dekker pattern described at the top
  // (pairs with steal's seq_cst loads of top_ and bottom_).
  bottom_.store(bottom, std::memory_order_seq_cst);
  int64_t top = top_.load(std::memory_order_seq_cst);

  std::optional<JobRef> job;
  int64_t live_from = bottom + 1;  // the live range [live_from, live_to) after this pop
  int64_t live_to = bottom + 1;
  if (top < bottom) {
    // More than one job: thieves cannot reach index `bottom` any more.
    job = buffer->get(bottom);
    live_from = top;
    live_to = bottom;
  } else if (top == bottom) {
    // The last job: a thief may be taking it too, and the CAS of top_ picks one of us. Seq_cst on
    // success, like the thieves' CAS; relaxed on failure, where nothing is read.
    JobRef last = buffer->get(bottom);
    if (top_.compare_exchange_strong(top, top + 1, std::memory_order_seq_cst,
                                     std::memory_order_relaxed)) {
      job = last;
    }
    // Relaxed: top_ now equals bottom + 1 either way, so a thief that reads this store sees an
    // empty deque; no slot is published.
    bottom_.store(bottom + 1, std::memory_order_relaxed);
  } else {
    // Already empty: undo the decrement (relaxed, as above).
    bottom_.store(bottom + 1, std::memory_order_relaxed);
  }

  if (buffer->capacity > static_cast<int64_t>(kMinCapacity) &&
      live_to - live_from < buffer->capacity / 4) {
    // Only the live range is copied. A thief may still hold an index t below it, read before
    // other thieves moved top_ past t; if it reads the new buffer, slot t & mask holds some other
    // index's job (or nothing), but top_ only grows and is already beyond t, so the thief's
    // compare-and-swap of top_ from t fails and it discards what it read. A thief with t in the
    // live range reads the same job at the same index in either buffer, and the halved capacity
    // is still more than twice the live range, so live indices do not collide in it.
    replace_buffer(buffer, live_from, live_to, buffer->capacity / 2);
  } else if (!job && retired_ != nullptr) {
    // Idle owner: a good moment to free buffers the thieves have let go of.
    reclaim();
  }
  return job;
}

Steal LocalDeque::steal(std::size_t thief) {
  // Seq_cst loads, top_ first: the thieves' half of the Dekker pattern at the top. The load of
  // bottom_ also acquires the owner's release store in push, making the pushed slot visible.
  int64_t top = top_.load(std::memory_order_seq_cst);
  int64_t bottom = bottom_.load(std::memory_order_seq_cst);
  if (bottom - top <= 0) return Steal{StealOutcome::kEmpty, JobRef{}};

  JobRef job;
  {
    // Pinned while the buffer may be read, so a buffer replaced meanwhile is not freed under us.
    Epochs::Pin pin(epochs_, thief);
    // Seq_cst: after the pin in the total order (see epoch.cpp); it also acquires the store in
    // replace_buffer, making the copied slots visible.
    Buffer* buffer = buffer_.load(std::memory_order_seq_cst);
    job = buffer->get(top);
  }
  // Seq_cst on success: orders this claim against the owner's pop of the last job (above).
  // Relaxed on failure: we give up and report the lost race.
  if (!top_.compare_exchange_strong(top, top + 1, std::memory_order_seq_cst,
                                    std::memory_order_relaxed)) {
    return Steal{StealOutcome::kRetry, JobRef{}};
  }
  return Steal{StealOutcome::kJob, job};
}

std::size_t LocalDeque::capacity() const {
  // Relaxed: only this thread writes buffer_.
  return static_cast<std::size_t>(buffer_.load(std::memory_order_relaxed)->capacity);
}

LocalDeque::Buffer* LocalDeque::replace_buffer(Buffer* old, int64_t from, int64_t to,
                                               int64_t new_capacity) {
  Buffer* fresh = Buffer::create(new_capacity);
  for (int64_t index = from; index < to; ++index)
    fresh->put(index, old->get(index));
  // Seq_cst: releases the copied slots to the thieves' seq_cst load of buffer_, and precedes the
  // epoch stamp below in the total order, as the reclamation argument requires.
  buffer_.store(fresh, std::memory_order_seq_cst);
  old->retired_at = epochs_.current();
  old->next_retired = retired_;
  retired_ = old;
  reclaim();
  return fresh;
}

void LocalDeque::reclaim() {
  // Two advances: when no thief is pinned, a buffer just replaced is freed at once.
  epochs_.try_advance();
  const uint64_t epoch = epochs_.try_advance();
  Buffer** link = &retired_;
  while (*link != nullptr) {
    Buffer* buffer = *link;
    if (Epochs::is_reclaimable(buffer->retired_at, epoch)) {
      *link = buffer->next_retired;
      Buffer::destroy(buffer);
    } else {
      link = &buffer->next_retired;
    }
  }
}

}  // namespace dorvane
