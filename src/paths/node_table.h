// NodeTable: the open-addressing hash tables of the computation, keyed by NodeId.
//
// Every table hashes its keys with SipHash-1-3 under a key of its own (see table_key.h), so the
// iteration order, which is slot order, is unrelated to the keys and differs between tables,
// calls and processes.
//
// Layout. One allocation holds three arrays: control bytes, keys, values.
//
//   control  [c0 c1 ... c(cap-1) | padding up to a multiple of 16]   1 byte per slot
//   keys     [k0 k1 ... k(cap-1)]                                    NodeId per slot
//   values   [v0 v1 ... v(cap-1)]                                    V per slot
//
// A control byte is kEmpty (0x80), or the low 7 bits of the key's hash when the slot is full;
// padding bytes are kPadding (0xFF), which matches neither. Slots form aligned groups of 16; a
// lookup scans whole groups with one SSE2 comparison each, starting at the group that the hash's
// middle bits select and moving on by triangular numbers (1, 2, 3, ... groups), which visits every
// group once when the group count is a power of two. A group with an empty slot ends the probe.
//
// Within its group an inserted key takes, of the empty slots, the one whose position XOR the
// hash's top four bits is smallest. So where a key lands depends on its hash even in a table of a
// single group, and the iteration order of small tables (the returned dictionaries of small
// graphs among them) is as unpredictable as that of large ones, not the insertion order. XOR
// rather than a rotation keeps the placement symmetric: two keys that want the same slot end up
// in either order with equal probability.
//
// Capacity is 0 or a power of two from 4; tables below 16 slots are a single, partly padded
// group. The load is at most 7/8 of the capacity from 16 slots, so a probe always meets an empty
// slot; a single small group may fill up, and then the probe ends after that one group. There is
// no erase: tables only grow, or start over with reset().
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "paths/node_id.h"
#include "paths/table_key.h"
#include "platform/memory.h"
#include "platform/panic.h"
#include "platform/siphash.h"

namespace dorvane {

namespace node_table_detail {

inline constexpr uint8_t kEmpty = 0x80;
inline constexpr uint8_t kPadding = 0xFF;
inline constexpr std::size_t kGroupWidth = 16;
inline constexpr std::size_t kMinCapacity = 4;

static_assert(std::has_single_bit(kGroupWidth), "groups must tile a power-of-two capacity");
static_assert((kEmpty & 0x80) != 0 && (kPadding & 0x80) != 0, "full slots have the top bit clear");

// Bit i set for every byte i of the 16-byte group at `control` that equals `byte`.
inline uint32_t match_byte(const uint8_t* control, uint8_t byte) {
#if defined(__SSE2__)
  __m128i group = _mm_load_si128(reinterpret_cast<const __m128i*>(control));
  return static_cast<uint32_t>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(group, _mm_set1_epi8(static_cast<char>(byte)))));
#else
  uint32_t mask = 0;
  for (std::size_t i = 0; i < kGroupWidth; ++i)
    mask |= uint32_t{control[i] == byte} << i;
  return mask;
#endif
}

// Bit i set for every full slot (top bit clear) of the group at `control`.
inline uint32_t match_full(const uint8_t* control) {
#if defined(__SSE2__)
  __m128i group = _mm_load_si128(reinterpret_cast<const __m128i*>(control));
  return ~static_cast<uint32_t>(_mm_movemask_epi8(group)) & 0xFFFF;
#else
  uint32_t mask = 0;
  for (std::size_t i = 0; i < kGroupWidth; ++i)
    mask |= uint32_t{(control[i] & 0x80) == 0} << i;
  return mask;
#endif
}

// Of the slots set in `empty` (a mask of one group, not 0), the one whose position XOR `offset`
// is smallest: the half of the group on the offset's side when it has a free slot, then, within
// that half, the answer looked up by the half's eight bits. Without branches, which the random
// offsets would defeat. With `offset` below a small table's capacity, the result stays within it.
struct PickInHalf {
  uint8_t slot[8][256];  // [offset within the half][mask of the half's slots]
};
constexpr PickInHalf make_pick_in_half() {
  PickInHalf table{};
  for (unsigned offset = 0; offset < 8; ++offset) {
    for (unsigned mask = 1; mask < 256; ++mask) {
      unsigned best = 8;
      for (unsigned slot = 0; slot < 8; ++slot) {
        if ((mask >> slot & 1) != 0 && (best == 8 || (slot ^ offset) < (best ^ offset)))
          best = slot;
      }
      table.slot[offset][mask] = static_cast<uint8_t>(best);
    }
  }
  return table;
}
inline constexpr PickInHalf kPickInHalf = make_pick_in_half();

inline std::size_t pick_empty(uint32_t empty, uint32_t offset) {
  const uint32_t near_half = (offset >> 3) & 1;
  const uint32_t half = ((empty >> (8 * near_half)) & 0xFF) != 0 ? near_half : near_half ^ 1;
  return 8 * half + kPickInHalf.slot[offset & 7][(empty >> (8 * half)) & 0xFF];
}

// Largest number of entries a table of `capacity` slots holds before it grows.
constexpr std::size_t max_load(std::size_t capacity) {
  return capacity < kGroupWidth ? capacity : capacity - capacity / 8;
}

constexpr std::size_t round_up(std::size_t value, std::size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

// The capacity a fresh table takes when room for `count` entries is reserved: 0 for none.
inline std::size_t capacity_for(std::size_t count, std::size_t max_capacity) {
  if (count == 0) return 0;
  std::size_t capacity = kMinCapacity;
  while (max_load(capacity) < count) {
    if (capacity > max_capacity / 2) panic("capacity overflow");
    capacity *= 2;
  }
  return capacity;
}

// First group of the probe: the hash's middle bits, so that they are independent of the 7-bit
// tag taken from its lower bits.
inline std::size_t first_group(uint64_t h, std::size_t group_mask) {
  return (h >> 7) & group_mask;
}

// Where within its group a key starts looking for an empty slot: the hash's top bits, below the
// capacity of a single small group.
inline uint32_t in_group_offset(uint64_t h, uint32_t offset_mask) {
  return static_cast<uint32_t>(h >> 60) & offset_mask;
}

// The number of groups, and the mask of in-group offsets, of a table of `capacity` slots.
inline std::size_t group_count_for(std::size_t capacity) {
  return round_up(capacity, kGroupWidth) / kGroupWidth;
}
inline uint32_t offset_mask_for(std::size_t capacity) {
  return static_cast<uint32_t>((capacity < kGroupWidth ? capacity : kGroupWidth) - 1);
}

// The slot a new key with hash `h` takes, given `empty_of(group)`, the free slots of a group as a
// mask: the first group with a free slot on the probe sequence, which starts at the hash's group
// and moves on by triangular numbers, and within it the slot pick_empty chooses. There must be a
// free slot. NodeTable probes its control bytes with it, SlotOrder a bitmap.
template <class EmptyOf>
std::size_t find_empty_slot(uint64_t h, std::size_t group_mask, uint32_t offset_mask,
                            EmptyOf&& empty_of) {
  std::size_t group = first_group(h, group_mask);
  uint32_t empty = empty_of(group);
  for (std::size_t step = 1; empty == 0; ++step) {
    group = (group + step) & group_mask;
    empty = empty_of(group);
  }
  return group * kGroupWidth + pick_empty(empty, in_group_offset(h, offset_mask));
}

}  // namespace node_table_detail

// Hash table from NodeId to V.
template <class V>
class NodeTable {
 public:
  // An empty table with a fresh key from the calling thread's key pair. Allocates nothing.
  NodeTable() : key_(next_table_key()) {}
  // An empty table with the given key, drawn beforehand (see next_table_keys).
  explicit NodeTable(SipKey key) : key_(key) {}
  NodeTable(const NodeTable&) = delete;
  NodeTable& operator=(const NodeTable&) = delete;
  NodeTable(NodeTable&& other) noexcept { steal(other); }
  NodeTable& operator=(NodeTable&& other) noexcept {
    if (this != &other) {
      release();
      steal(other);
    }
    return *this;
  }
  ~NodeTable() { release(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t capacity() const { return capacity_; }
  SipKey key() const { return key_; }

  // Empties the table and gives it `key` and room for `count` entries without growing, keeping
  // the storage when it is large enough: a table reused for one short-lived purpose after another
  // allocates only when it needs more room than ever before. Where keys land then depends only on
  // `key`, `count` and the insertions since, never on what the table held before.
  void reset(SipKey key, std::size_t count) {
    const std::size_t capacity = node_table_detail::capacity_for(count, kMaxAllocationBytes);
    if (capacity != 0) array_bytes(capacity, kSlotBytes);
    const std::size_t bytes = capacity == 0 ? 0 : storage_bytes(capacity);
    // Had before anything changes, so that a failed request leaves the table as it was.
    unsigned char* fresh = bytes > allocated_bytes_
                               ? static_cast<unsigned char*>(allocate(bytes, kStorageAlignment))
                               : nullptr;
    destroy_values();
    if (fresh != nullptr) {
      if (storage_ != nullptr) deallocate(storage_, allocated_bytes_, kStorageAlignment);
      storage_ = fresh;
      allocated_bytes_ = bytes;
    }
    key_ = key;
    size_ = 0;
    lay_out(capacity);
    if (capacity != 0) clear_control();
  }

  // Inserts `node` with a value made from `args` unless it is present. Returns the entry's value
  // and whether it was inserted.
  template <class... Args>
  std::pair<V*, bool> try_emplace(NodeId node, Args&&... args) {
    Place place = find_or_prepare(node);
    if (place.inserted) {
      ::new (values() + place.slot) V(std::forward<Args>(args)...);
      commit(place, node);
    }
    return {values() + place.slot, place.inserted};
  }

  // Sets `node` to `value`, replacing a value stored before.
  void insert_or_assign(NodeId node, V value) {
    Place place = find_or_prepare(node);
    if (place.inserted) {
      ::new (values() + place.slot) V(std::move(value));
      commit(place, node);
    } else {
      values()[place.slot] = std::move(value);
    }
  }

  // Fetches what finding or inserting `node` touches first (its first group's control bytes, keys
  // and values), for a caller that knows the node some time ahead of the lookup: in a table
  // larger than the caches, each lookup otherwise waits for memory.
  void prefetch(NodeId node) const {
    if (capacity_ == 0) return;
    const std::size_t first = first_group(hash(node)) * node_table_detail::kGroupWidth;
    __builtin_prefetch(control_ + first);
    __builtin_prefetch(keys() + first, 1);
    __builtin_prefetch(values() + first, 1);
  }

  // Calls `visit(key, value)` for every entry, in slot order.
  template <class F>
  void for_each(F&& visit) const {
    for_each_slot([&](std::size_t slot) { visit(keys()[slot], values()[slot]); });
  }

 private:
  static constexpr std::size_t kNotFound = ~std::size_t{0};

  uint64_t hash(NodeId node) const { return siphash13_u32(key_, node); }

  NodeId* keys() const { return keys_; }
  V* values() const { return values_; }

  // The layout of the storage of a table of `capacity` slots.
  static std::size_t control_bytes(std::size_t capacity) {
    return node_table_detail::round_up(capacity, node_table_detail::kGroupWidth);
  }
  static std::size_t values_offset(std::size_t capacity) {
    return node_table_detail::round_up(control_bytes(capacity) + capacity * sizeof(NodeId),
                                       alignof(V));
  }
  static std::size_t storage_bytes(std::size_t capacity) {
    return values_offset(capacity) + capacity * sizeof(V);
  }
  std::size_t control_bytes() const { return control_bytes(capacity_); }
  static constexpr std::size_t kStorageAlignment = alignof(V) > node_table_detail::kGroupWidth
                                                       ? alignof(V)
                                                       : node_table_detail::kGroupWidth;

  std::size_t group_count() const { return group_mask_ + 1; }

  std::size_t first_group(uint64_t h) const {
    return node_table_detail::first_group(h, group_mask_);
  }

  std::size_t find_slot(NodeId node, uint64_t h) const {
    if (capacity_ == 0) return kNotFound;
    const uint8_t tag = tag_of(h);
    const std::size_t mask = group_mask_;
    std::size_t group = first_group(h);
    for (std::size_t step = 1; step <= group_count(); ++step) {
      const uint8_t* control = control_ + group * node_table_detail::kGroupWidth;
      for (uint32_t match = node_table_detail::match_byte(control, tag); match != 0;
           match &= match - 1) {
        std::size_t slot = group * node_table_detail::kGroupWidth +
                           static_cast<std::size_t>(std::countr_zero(match));
        if (keys()[slot] == node) return slot;
      }
      if (node_table_detail::match_byte(control, node_table_detail::kEmpty) != 0) break;
      group = (group + step) & mask;
    }
    return kNotFound;
  }

  // The first empty slot on the probe sequence of `h`; the table has one (load < capacity).
  std::size_t find_empty(uint64_t h) const {
    return node_table_detail::find_empty_slot(
        h, group_mask_, offset_mask_, [this](std::size_t group) {
          return node_table_detail::match_byte(control_ + group * node_table_detail::kGroupWidth,
                                               node_table_detail::kEmpty);
        });
  }

  void grow_for_one_more() {
    if (size_ + 1 > node_table_detail::max_load(capacity_)) {
      if (capacity_ > kMaxAllocationBytes / 2) panic("capacity overflow");
      rehash(capacity_ == 0 ? node_table_detail::kMinCapacity : capacity_ * 2);
    }
  }

  static uint8_t tag_of(uint64_t h) { return static_cast<uint8_t>(h & 0x7F); }

  struct Place {
    std::size_t slot;
    bool inserted;
    uint8_t tag;
  };

  // The slot of `node`, or an empty slot reserved for it (not yet marked full: `commit` does that
  // once the value is constructed, so a throwing constructor leaves the table consistent).
  Place find_or_prepare(NodeId node) {
    uint64_t h = hash(node);
    std::size_t slot = find_slot(node, h);
    if (slot != kNotFound) return {slot, false, 0};
    grow_for_one_more();
    return {find_empty(h), true, tag_of(h)};
  }

  void commit(const Place& place, NodeId node) {
    control_[place.slot] = place.tag;
    keys()[place.slot] = node;
    ++size_;
  }

  template <class F>
  void for_each_slot(F&& visit) const {
    for (std::size_t group_start = 0; group_start < capacity_;
         group_start += node_table_detail::kGroupWidth) {
      for (uint32_t full = node_table_detail::match_full(control_ + group_start); full != 0;
           full &= full - 1) {
        visit(group_start + static_cast<std::size_t>(std::countr_zero(full)));
      }
    }
  }

  // Bytes per slot: control byte, key and value.
  static constexpr std::size_t kSlotBytes = 1 + sizeof(NodeId) + sizeof(V);

  void rehash(std::size_t new_capacity) {
    // The new storage is had before anything moves, so a failed request (a panic) leaves the table
    // as it was. Checking the slot bytes first keeps the exact size from wrapping around: the
    // padding it adds is less than a group plus one value.
    array_bytes(new_capacity, kSlotBytes);
    auto* storage =
        static_cast<unsigned char*>(allocate(storage_bytes(new_capacity), kStorageAlignment));
    NodeTable old(std::move(*this));
    key_ = old.key_;
    storage_ = storage;
    allocated_bytes_ = storage_bytes(new_capacity);
    lay_out(new_capacity);
    clear_control();
    old.for_each_slot([&](std::size_t slot) {
      NodeId node = old.keys()[slot];
      uint64_t h = hash(node);
      std::size_t target = find_empty(h);
      ::new (values() + target) V(std::move(old.values()[slot]));
      commit(Place{target, true, tag_of(h)}, node);
    });
  }

  // Points the arrays into the storage for a capacity of `capacity` (0: no arrays).
  void lay_out(std::size_t capacity) {
    capacity_ = capacity;
    if (capacity == 0) {
      control_ = nullptr;
      keys_ = nullptr;
      values_ = nullptr;
      group_mask_ = 0;
      offset_mask_ = 0;
      return;
    }
    control_ = storage_;
    keys_ = reinterpret_cast<NodeId*>(storage_ + control_bytes(capacity));
    values_ = reinterpret_cast<V*>(storage_ + values_offset(capacity));
    group_mask_ = node_table_detail::group_count_for(capacity) - 1;
    offset_mask_ = node_table_detail::offset_mask_for(capacity);
  }

  void clear_control() {
    std::memset(control_, node_table_detail::kEmpty, capacity_);
    std::memset(control_ + capacity_, node_table_detail::kPadding, control_bytes() - capacity_);
  }

  void steal(NodeTable& other) noexcept {
    key_ = other.key_;
    allocated_bytes_ = std::exchange(other.allocated_bytes_, 0);
    storage_ = std::exchange(other.storage_, nullptr);
    lay_out(other.capacity_);
    size_ = std::exchange(other.size_, 0);
    other.lay_out(0);
  }

  void destroy_values() noexcept {
    if constexpr (!std::is_trivially_destructible_v<V>) {
      if (capacity_ != 0) for_each_slot([&](std::size_t slot) { values()[slot].~V(); });
    }
  }

  void release() noexcept {
    if (storage_ == nullptr) return;
    destroy_values();
    deallocate(storage_, allocated_bytes_, kStorageAlignment);
    storage_ = nullptr;
    allocated_bytes_ = 0;
    lay_out(0);
    size_ = 0;
  }

  SipKey key_;
  unsigned char* storage_ = nullptr;
  std::size_t allocated_bytes_ = 0;  // of storage_, which may outsize the capacity after reset()
  uint8_t* control_ = nullptr;
  NodeId* keys_ = nullptr;
  V* values_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  std::size_t group_mask_ = 0;  // group count - 1
  uint32_t offset_mask_ = 0;    // slots in a group - 1, for the in-group offset
};

}  // namespace dorvane
