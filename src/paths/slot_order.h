// The iteration order of a NodeTable, worked out without the table.
//
// A search hands on its distances in the order of a NodeTable reset for exactly their number and
// filled in fixing order. Where an entry lands depends only on its hash and on which slots are
// taken, never on the keys or values already there, so a bitmap of taken slots reproduces the
// placement: an eighth of the control bytes, and no keys or values to write or read back.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "paths/node_id.h"
#include "paths/node_table.h"
#include "platform/memory.h"
#include "platform/siphash.h"

namespace dorvane {

class SlotOrder {
 public:
  // Places entries 0 .. count - 1, whose keys `key_of(i)` gives (all distinct), where a NodeTable
  // with hash key `key`, reset for `count` entries and filled in that order, would put them; then
  // calls `visit(i)` for each, in slot order. Keeps its arrays for the next call.
  template <class KeyOf, class Visit>
  void place(SipKey key, std::size_t count, KeyOf&& key_of, Visit&& visit) {
    namespace detail = node_table_detail;
    if (count == 0) return;
    const std::size_t capacity = detail::capacity_for(count, kMaxAllocationBytes);
    const std::size_t group_mask = detail::group_count_for(capacity) - 1;
    const uint32_t offset_mask = detail::offset_mask_for(capacity);
    const std::size_t slots = (group_mask + 1) * detail::kGroupWidth;
    const std::size_t words = (slots + 63) / 64;
    if (taken_.size() < words) taken_.resize(words);
    if (entry_at_.size() < slots) entry_at_.resize(slots);
    uint64_t* const taken = taken_.data();
    uint32_t* const entry_at = entry_at_.data();
    std::fill(taken, taken + words, uint64_t{0});
    // A table smaller than a group pads it with slots that are never free.
    const uint64_t padding = capacity < detail::kGroupWidth ? ~uint64_t{0} << capacity : 0;
    taken[0] |= padding;

    auto fill = [&](auto& bitmap) {
      constexpr std::size_t kBlock = 32;  // keys hashed at a time
      NodeId keys[kBlock];
      uint64_t hashes[kBlock];
      for (std::size_t first = 0; first < count; first += kBlock) {
        const std::size_t block = std::min(count - first, kBlock);
        for (std::size_t i = 0; i < block; ++i)
          keys[i] = key_of(first + i);
        siphash13_u32_batch(key, keys, hashes, block);
        for (std::size_t i = 0; i < block; ++i) {
          // NodeTable's probe, over the bitmap's 16-bit groups.
          const std::size_t slot =
              detail::find_empty_slot(hashes[i], group_mask, offset_mask,
                                      [&](std::size_t group) { return bitmap.empty_of(group); });
          bitmap.take(slot);
          entry_at[slot] = static_cast<uint32_t>(first + i);
        }
      }
    };
    if (words == 1) {
      // The common small table: its one word stays in a register, out of the chain of stores
      // and loads that each placement would otherwise wait on.
      OneWord bitmap{taken[0]};
      fill(bitmap);
      taken[0] = bitmap.bits;
    } else {
      Words bitmap{taken};
      fill(bitmap);
    }

    taken[0] &= ~padding;
    for (std::size_t word = 0; word < words; ++word) {
      for (uint64_t bits = taken[word]; bits != 0; bits &= bits - 1)
        visit(entry_at[word * 64 + static_cast<std::size_t>(std::countr_zero(bits))]);
    }
  }

 private:
  // The free slots of a group, and taking a slot. One word: held in a register.
  struct OneWord {
    uint64_t bits;
    uint32_t empty_of(std::size_t group) const {
      return ~static_cast<uint32_t>(bits >> (group * 16)) & 0xFFFF;
    }
    void take(std::size_t slot) { bits |= uint64_t{1} << slot; }
  };
  // Many words, read and written a group (16 bits) at a time: a placement then waits only on an
  // earlier one of the same group, not on every earlier one of the same word.
  struct Words {
    static_assert(std::endian::native == std::endian::little, "group g is bytes 2g, 2g + 1");
    uint64_t* words;
    uint16_t group_bits(std::size_t group) const {
      uint16_t bits;
      std::memcpy(&bits, reinterpret_cast<const char*>(words) + group * 2, 2);
      return bits;
    }
    uint32_t empty_of(std::size_t group) const { return ~uint32_t{group_bits(group)} & 0xFFFF; }
    void take(std::size_t slot) {
      const uint16_t bits = static_cast<uint16_t>(group_bits(slot / 16) | (1u << (slot % 16)));
      std::memcpy(reinterpret_cast<char*>(words) + slot / 16 * 2, &bits, 2);
    }
  };

  Vec<uint64_t> taken_;     // bit s set when slot s holds an entry
  Vec<uint32_t> entry_at_;  // the entry in each taken slot
};

}  // namespace dorvane
