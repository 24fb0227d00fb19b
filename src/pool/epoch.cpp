// Epoch-based reclamation.
//
// Every thread that has ever pinned owns a `Record` in one global list. A pinned record holds
// (epoch << 1) | 1 for the epoch its thread read when it pinned; an unpinned one holds 0. The
// global epoch moves from e to e + 1 only after a scan finds no record pinned in an epoch other
// than e.
//
// Why a block B stamped E (the epoch read after the store that unlinked B) is never freed while a
// reader R still holds it. All the accesses named here are sequentially consistent, so they sit
// in one total order S:
//   R: load epoch (gets p) -> store pin(p) -> load the pointer to B -> ... -> unpin
//   W: store the pointer that replaces B -> load epoch (gets E)
// R read the old pointer, so R's pointer load precedes W's store in S; hence R's pin store and
// R's epoch load precede W's epoch load, and p <= E. Freeing B needs the epoch at E + 2, so some
// thread advanced it from E + 1: it loaded E + 1 (after W's load in S, the epoch being monotonic)
// and then read R's record, which therefore shows R's pin or a later state. While R stays pinned
// that pin says p <= E, not E + 1, and the advance does not happen. A record that R created after
// the scan began cannot be missed either: R's epoch load would then follow the scanner's, giving
// p >= E + 1, which a holder of B cannot have. Unpinning is a release store that the scanner's
// load acquires, so R's reads of B happen before B is freed.
//
// Records are never freed: a thread's record returns to the pool of free records when the thread
// exits (a thread-exit cleanup), and the next thread that pins takes it. Detached threads that
// never exit keep theirs; an unpinned record never holds the epoch back.
//
// A child of fork() has only the forking thread. The records of the others never see their
// threads exit there, and one that was pinned at the fork would hold the epoch back for ever, so
// that no replaced buffer is freed again. A fork-child handler, registered before the first record
// is published, unpins those records and returns them to the free pool.
#include "pool/epoch.h"

#include <atomic>
#include <new>

#include "platform/memory.h"
#include "platform/platform.h"

namespace dorvane::epoch {

namespace {

constexpr uint64_t kPinnedBit = 1;

struct alignas(128) Record {
  // 0 when unpinned, (epoch << 1) | kPinnedBit when pinned. Written only by the owning thread.
  std::atomic<uint64_t> state{0};
  // Whether a live thread owns this record.
  std::atomic<bool> in_use{true};
  // Immutable once the record is published.
  Record* next = nullptr;
};

std::atomic<uint64_t> g_epoch{0};
std::atomic<Record*> g_records{nullptr};

// Plain thread-local data (trivially destructible, so reading it costs no initialisation check).
struct ThreadSlot {
  Record* record = nullptr;
  uint32_t depth = 0;
};
thread_local ThreadSlot t_slot;

// Gives a thread's record back when the thread ends. Thread-exit cleanups run after the rest of
// the thread's code, so no pin of that thread can follow.
void give_back_record(void* raw) {
  // Release: pairs with the acquire exchange in acquire_record, so the next owner of the record
  // starts after this thread's last use of it.
  static_cast<Record*>(raw)->in_use.store(false, std::memory_order_release);
}

// Runs in a forked child, on its only thread: every record but that thread's own belonged to a
// thread that does not exist here. Relaxed: no other thread is left to order anything with.
void release_records_of_vanished_threads() {
  Record* own = t_slot.record;
  for (Record* record = g_records.load(std::memory_order_relaxed); record != nullptr;
       record = record->next) {
    if (record == own) continue;
    record->state.store(0, std::memory_order_relaxed);
    record->in_use.store(false, std::memory_order_relaxed);
  }
}

Record* acquire_record() {
  // Seq_cst: the list head is part of the argument above (a record published after a scan began
  // must belong to a thread whose epoch load follows the scanner's).
  for (Record* record = g_records.load(std::memory_order_seq_cst); record != nullptr;
       record = record->next) {
    // A relaxed look first, to skip records in use without writing to them; the acquire exchange
    // that claims a record pairs with the release store of the thread that gave it back.
    if (!record->in_use.load(std::memory_order_relaxed) &&
        !record->in_use.exchange(true, std::memory_order_acquire)) {
      return record;
    }
  }
  // Once per process, before the first record is published; a thread that arrives meanwhile waits
  // for the registration to finish (a function-local static's initialisation).
  static const bool fork_handler_registered =
      (platform::on_fork_child(&release_records_of_vanished_threads), true);
  (void)fork_handler_registered;
  Record* record = new (allocate(sizeof(Record), alignof(Record))) Record();
  Record* head = g_records.load(std::memory_order_relaxed);
  do {
    record->next = head;
    // Seq_cst on success (see above; also publishes the record's fields to scanners, whose loads
    // of the head are seq_cst); relaxed on failure, where only the new head value is needed.
  } while (!g_records.compare_exchange_weak(head, record, std::memory_order_seq_cst,
                                            std::memory_order_relaxed));
  return record;
}

}  // namespace

PinGuard::PinGuard() {
  ThreadSlot& slot = t_slot;
  if (slot.depth++ > 0) return;
  if (slot.record == nullptr) [[unlikely]] {
    prepare_thread();
  }
  // Both seq_cst: the pin store must precede, in the single total order, this thread's later load
  // of the shared pointer (itself seq_cst); see the argument at the top of the file.
  uint64_t epoch = g_epoch.load(std::memory_order_seq_cst);
  slot.record->state.store((epoch << 1) | kPinnedBit, std::memory_order_seq_cst);
}

PinGuard::~PinGuard() {
  ThreadSlot& slot = t_slot;
  if (--slot.depth > 0) return;
  // Release: pairs with the scanner's seq_cst load in try_advance, so every read made while
  // pinned happens before a block freed after that scan.
  slot.record->state.store(0, std::memory_order_release);
}

void prepare_thread() {
  ThreadSlot& slot = t_slot;
  if (slot.record != nullptr) return;
  slot.record = acquire_record();
  platform::at_thread_exit(&give_back_record, slot.record);
}

uint64_t current_epoch() {
  // Seq_cst: must follow the unlinking store in the total order (argument above).
  return g_epoch.load(std::memory_order_seq_cst);
}

uint64_t try_advance() {
  // Seq_cst throughout: the scan's loads must follow its epoch load in the total order.
  uint64_t epoch = g_epoch.load(std::memory_order_seq_cst);
  for (Record* record = g_records.load(std::memory_order_seq_cst); record != nullptr;
       record = record->next) {
    uint64_t state = record->state.load(std::memory_order_seq_cst);
    if ((state & kPinnedBit) != 0 && (state >> 1) != epoch) return epoch;
  }
  // On failure `epoch` receives the value another thread advanced it to.
  if (g_epoch.compare_exchange_strong(epoch, epoch + 1, std::memory_order_seq_cst))
    return epoch + 1;
  return epoch;
}

// For the tests (tests/support/pool_testing.h declares it).
std::size_t record_count() {
  std::size_t count = 0;
  // Acquire: pairs with the publishing compare-and-swap, so `next` links are complete.
  for (Record* record = g_records.load(std::memory_order_acquire); record != nullptr;
       record = record->next) {
    ++count;
  }
  return count;
}

}  // namespace dorvane::epoch
