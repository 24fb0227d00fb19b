// Epoch-based reclamation.
//
// A pinned record holds (epoch << 1) | 1 for the epoch its participant read when it pinned; an
// unpinned one holds 0. The global epoch moves from e to e + 1 only after a scan finds no record
// pinned in an epoch other than e.
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
// that pin says p <= E, not E + 1, and the advance does not happen. Unpinning is a release store
// that the scanner's load acquires, so R's reads of B happen before B is freed.
#include "pool/epoch.h"

namespace dorvane {

namespace {

constexpr uint64_t kPinnedBit = 1;

}  // namespace

Epochs::Epochs(std::size_t participants) : records_(participants) {}

Epochs::Pin::Pin(Epochs& epochs, std::size_t participant)
    : state_(epochs.records_[participant].state) {
  // Both seq_cst: the pin store must precede, in the single total order, this thread's later load
  // of the shared pointer (itself seq_cst); see the argument at the top of the file.
  const uint64_t epoch = epochs.epoch_.load(std::memory_order_seq_cst);
  state_.store((epoch << 1) | kPinnedBit, std::memory_order_seq_cst);
}

Epochs::Pin::~Pin() {
  // Release: pairs with the scanner's seq_cst load in try_advance, so every read made while
  // pinned happens before a block freed after that scan.
  state_.store(0, std::memory_order_release);
}

uint64_t Epochs::current() const {
  // Seq_cst: must follow the unlinking store in the total order (argument above).
  return epoch_.load(std::memory_order_seq_cst);
}

uint64_t Epochs::try_advance() {
  // Seq_cst throughout: the scan's loads must follow its epoch load in the total order.
  uint64_t epoch = epoch_.load(std::memory_order_seq_cst);
  for (const Record& record : records_) {
    const uint64_t state = record.state.load(std::memory_order_seq_cst);
    if ((state & kPinnedBit) != 0 && (state >> 1) != epoch) return epoch;
  }
  // On failure `epoch` receives the value another thread advanced it to.
  if (epoch_.compare_exchange_strong(epoch, epoch + 1, std::memory_order_seq_cst)) {
    return epoch + 1;
  }
  return epoch;
}

}  // namespace dorvane
