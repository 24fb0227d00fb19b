// The injection queue: a linked list of blocks of kBlockSlots slots.
//
// Positions count up forever. Position p lies in lap p / kLap at offset p % kLap; offsets 0 to
// kBlockSlots - 1 are slots of the lap's block, and offset kBlockSlots is the end marker. Pushers
// claim a position by a compare-and-swap of the tail, takers by one of the head; the queue is
// empty when both are equal. The pusher that claims a block's last slot allocates the next block
// and moves the tail past the end marker onto it; the taker that claims the last slot waits for
// that block to be linked and moves the head likewise. Until then, other threads that reach the
// end marker wait (back off), and a taker whose slot is claimed but not yet written waits for it.
//
// Order of installation, pusher side: tail block, then tail position, then the old block's `next`.
// A taker can only move the head into the new block after reading `next`, so the tail is never
// behind the head.
//
// Freeing a block: every taker marks its slot kRead after reading it. The taker of the last slot
// walks the others; at the first one not yet read it leaves kDestroy and stops, and that slot's
// reader, seeing kDestroy, resumes the walk from the next slot. Whoever finishes the walk frees
// the block, so it is freed exactly once, after every slot has been read.
#include "pool/global_queue.h"

#include <new>

#include "platform/memory.h"
#include "pool/backoff.h"

namespace dorvane {

namespace {

constexpr uint64_t kLap = GlobalQueue::kBlockSlots + 1;

// Slot state bits.
constexpr uint32_t kWritten = 1;
constexpr uint32_t kRead = 2;
constexpr uint32_t kDestroy = 4;

}  // namespace

struct GlobalQueue::Block {
  struct Slot {
    JobRef job;  // plain: published by the release of kWritten
    std::atomic<uint32_t> state{0};
  };

  std::atomic<Block*> next{nullptr};
  Slot slots[kBlockSlots];

  static Block* create() { return new (allocate(sizeof(Block), alignof(Block))) Block(); }
  static void destroy(Block* block) { deallocate(block, sizeof(Block), alignof(Block)); }

  // Waits until the pusher of the last slot has linked the next block.
  Block* wait_next() {
    Backoff backoff;
    for (;;) {
      // Acquire: pairs with the pusher's release store, making the new block's fields visible.
      Block* block = next.load(std::memory_order_acquire);
      if (block != nullptr) return block;
      backoff.snooze();
    }
  }

  // Continues freeing this block from slot `start` (see the top of the file).
  void release_from(uint64_t start) {
    for (uint64_t i = start; i + 1 < kBlockSlots; ++i) {
      Slot& slot = slots[i];
      // Acquire on both: pairs with the reader's acq_rel marking of kRead, so its read of the slot
      // happens before the block is freed. Acq_rel on the fetch_or also releases our own reads to
      // the reader that will continue the walk.
      if ((slot.state.load(std::memory_order_acquire) & kRead) == 0 &&
          (slot.state.fetch_or(kDestroy, std::memory_order_acq_rel) & kRead) == 0) {
        return;  // that slot's reader frees the block
      }
    }
    destroy(this);
  }
};

static_assert(sizeof(JobRef) == 2 * sizeof(void*), "queues carry two-word handles");

GlobalQueue::GlobalQueue() {
  Block* block = Block::create();
  // Relaxed: the queue is not shared yet.
  head_.block.store(block, std::memory_order_relaxed);
  tail_.block.store(block, std::memory_order_relaxed);
}

GlobalQueue::~GlobalQueue() {
  // Relaxed: no other thread is left. Blocks before the head's are already freed, and the head's
  // block is always live (it is replaced before it is freed).
  Block* block = head_.block.load(std::memory_order_relaxed);
  while (block != nullptr) {
    Block* next = block->next.load(std::memory_order_relaxed);
    Block::destroy(block);
    block = next;
  }
}

void GlobalQueue::push(JobRef job) {
  Backoff backoff;
  // Acquire on the position: pairs with the release store of an installing pusher, so the block
  // loaded next is at least the one installed with it. Acquire on the block: its fields.
  uint64_t tail = tail_.position.load(std::memory_order_acquire);
  Block* block = tail_.block.load(std::memory_order_acquire);
  Block* next_block = nullptr;
  for (;;) {
    uint64_t offset = tail % kLap;
    if (offset == kBlockSlots) {
      // Another pusher is installing the next block.
      backoff.snooze();
      tail = tail_.position.load(std::memory_order_acquire);
      block = tail_.block.load(std::memory_order_acquire);
      continue;
    }
    // Allocate before claiming the last slot, to keep the others' wait at the end marker short.
    if (offset + 1 == kBlockSlots && next_block == nullptr) next_block = Block::create();

    // Seq_cst on success: the claim is the write that makes the job count as queued for is_empty
    // and for a worker deciding to sleep (which reads the tail after a full fence). Acquire on
    // failure, as for the first load of the position.
    if (tail_.position.compare_exchange_weak(tail, tail + 1, std::memory_order_seq_cst,
                                             std::memory_order_acquire)) {
      if (offset + 1 == kBlockSlots) {
        // Release, in this order: the block before the position (pairs with the pushers'
        // acquire loads above), then `next` (pairs with Block::wait_next).
        tail_.block.store(next_block, std::memory_order_release);
        tail_.position.store(tail + 2, std::memory_order_release);
        block->next.store(next_block, std::memory_order_release);
        next_block = nullptr;
      }
      Block::Slot& slot = block->slots[offset];
      slot.job = job;
      // Release: pairs with the taker's acquire load, publishing the job.
      slot.state.fetch_or(kWritten, std::memory_order_release);
      break;
    }
    // A claim was lost: `tail` holds the current position; reload its block.
    block = tail_.block.load(std::memory_order_acquire);
    backoff.spin();
  }
  if (next_block != nullptr) Block::destroy(next_block);  // another pusher installed one first
}

Steal GlobalQueue::take() {
  Backoff backoff;
  uint64_t head;
  Block* block;
  for (;;) {
    // Acquire: pairs with the release store of an installing taker (and with the seq_cst claims
    // of other takers), so the block loaded next belongs to this position's lap or a later one.
    head = head_.position.load(std::memory_order_acquire);
    block = head_.block.load(std::memory_order_acquire);
    // Seq_cst: an emptiness verdict must see every claim that precedes it in the total order.
    if (head == tail_.position.load(std::memory_order_seq_cst)) {
      return Steal{StealOutcome::kEmpty, JobRef{}};
    }
    if (head % kLap != kBlockSlots) break;
    backoff.snooze();  // the taker of the last slot is installing the next block
  }

  // Seq_cst on success, like the pushers' claims; relaxed on failure, where we just report the
  // lost race.
  if (!head_.position.compare_exchange_strong(head, head + 1, std::memory_order_seq_cst,
                                              std::memory_order_relaxed)) {
    return Steal{StealOutcome::kRetry, JobRef{}};
  }
  // The claim succeeded, so `block` is the block of position `head`: a block changes only
  // together with a move of the head past its end marker.
  uint64_t offset = head % kLap;
  if (offset + 1 == kBlockSlots) {
    Block* next = block->wait_next();
    // Release, block before position: pairs with the takers' acquire loads above.
    head_.block.store(next, std::memory_order_release);
    head_.position.store(head + 2, std::memory_order_release);
  }

  Block::Slot& slot = block->slots[offset];
  // Acquire: pairs with the pusher's release of kWritten.
  while ((slot.state.load(std::memory_order_acquire) & kWritten) == 0)
    backoff.snooze();
  JobRef job = slot.job;

  if (offset + 1 == kBlockSlots) {
    block->release_from(0);
  } else if ((slot.state.fetch_or(kRead, std::memory_order_acq_rel) & kDestroy) != 0) {
    // Acq_rel: releases our read of the slot to the walker; acquires the walker's progress.
    block->release_from(offset + 1);
  }
  return Steal{StealOutcome::kJob, job};
}

bool GlobalQueue::is_empty() const {
  // Seq_cst: callers read this after a full fence to decide whether to sleep; it must not miss a
  // claim that precedes the fence in the total order.
  uint64_t head = head_.position.load(std::memory_order_seq_cst);
  uint64_t tail = tail_.position.load(std::memory_order_seq_cst);
  return head == tail;
}

}  // namespace dorvane
