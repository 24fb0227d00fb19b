// The search's radix queue, for graphs whose weights are all non-negative (and none NaN).
//
// Why it may replace the exact heap: with no NaN the queue's order (distance, then sequence, then
// node) is total, and as long as the push counter does not wrap, sequence numbers are distinct
// and follow push order. Under a total order every correct priority queue pops the same entries
// in the same order, so the search computes the same distances, in the same order, with the same
// failures. Graph::nonnegative says when this holds for every search of a graph.
//
// What it buys: with non-negative weights every candidate is at least the distance just popped,
// so the keys pushed never fall below the last key popped, and a radix heap (Ahuja, Mehlhorn,
// Orlin and Tarjan) applies: a distance that is not NaN maps to an unsigned integer with the same
// order (flip the sign bit of a positive double, all bits of a negative one), and an entry goes
// into the bucket of the highest digit in which its key differs from the last key popped, and
// of its value there. Pushing is an append; popping takes bucket 0 (keys equal to the last) from
// the front, or, when it is empty, finds the smallest key of the lowest non-empty bucket and
// spreads that bucket over the lower ones. No comparison of two entries' orders, and hardly a
// branch that cannot be predicted.
//
// Ties: two entries with the same key are always in the same bucket (the bucket is a function of
// the key and the last key), every move keeps a bucket's order, and an entry joins a bucket after
// every entry already there; so equal distances leave in push order, which is sequence order.
// The map sends -0.0 below +0.0, which as doubles are equal; a search never meets -0.0, though:
// the source starts at +0.0, and a sum is -0.0 only when both terms are, so by induction no
// candidate is ever -0.0.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "paths/graph.h"
#include "platform/memory.h"
#include "platform/panic.h"

namespace dorvane {

// A distance that is not NaN as an unsigned integer of the same order: the sign bit flipped for
// a positive double, all bits for a negative one.
inline uint64_t ordered_key(double distance) {
  constexpr uint64_t kSignBit = uint64_t{1} << 63;
  const uint64_t bits = std::bit_cast<uint64_t>(distance);
  return (bits & kSignBit) ? ~bits : bits | kSignBit;
}
inline double distance_of_key(uint64_t key) {
  constexpr uint64_t kSignBit = uint64_t{1} << 63;
  return std::bit_cast<double>((key & kSignBit) ? key ^ kSignBit : ~key);
}

class RadixQueue {
 public:
  struct Item {
    uint64_t key;
    NodeIndex index;
  };

  bool empty() const { return size_ == 0; }

  void clear() {
    few_ = 0;
    spilled_ = false;
    for (uint64_t words = summary_; words != 0; words &= words - 1) {
      const std::size_t word = static_cast<std::size_t>(std::countr_zero(words));
      for (uint64_t occupied = occupied_[word]; occupied != 0; occupied &= occupied - 1) {
        buckets_[1 + word * 64 + static_cast<std::size_t>(std::countr_zero(occupied))].clear();
      }
      occupied_[word] = 0;
    }
    summary_ = 0;
    buckets_[0].clear();
    front_ = 0;
    size_ = 0;
    last_ = 0;
  }

  // Entries whose key is no longer their node's current key (`current[index]`) are outdated:
  // they are dropped when their bucket is spread instead of being moved along, which spares the
  // work of moving entries that would only be skipped when popped.
  void set_current_keys(const uint64_t* current) { current_ = current; }

  // The last key popped: what push() requires every key to reach.
  uint64_t last() const { return last_; }

  // Precondition: `key` is not below `last`, the last key popped, as last() gave it after the
  // latest pop (a caller pushing many keys in a row keeps it in a register).
  void push(uint64_t key, NodeIndex index, uint64_t last) {
    if (key < last) [[unlikely]] {
      panic("assertion failed: a radix queue only takes keys from the last one popped on");
    }
    ++size_;
    // Unlikely for the compiler only (small searches never spill): laid out this way, the
    // buckets' path stays straight, and the array's costs little either way (measured).
    if (!spilled_) [[unlikely]] {
      if (few_ < kFew) {
        few_items_[few_++] = Item{key, index};
        return;
      }
      spill(last);
    }
    put(Item{key, index}, last);
  }

  // The entry that the next pop will most likely take, for fetching its node's data ahead: the
  // front of bucket 0, or else the first entry of the lowest bucket, which most often holds a
  // single one. nullptr while the entries are in the array (a scan would be needed), or none is
  // left. May be outdated, or beaten by a push before the next pop.
  const Item* likely_next() const {
    if (!spilled_) [[unlikely]]
      return nullptr;
    if (front_ != buckets_[0].size()) return &buckets_[0][front_];
    if (summary_ == 0) return nullptr;
    const std::size_t word = static_cast<std::size_t>(std::countr_zero(summary_));
    const std::size_t bit = word * 64 + static_cast<std::size_t>(std::countr_zero(occupied_[word]));
    return &buckets_[1 + bit][0];
  }

  // Precondition: not empty. Takes the next entry into `item`; false when every entry left was
  // outdated (the queue is then empty). May still return an outdated entry.
  bool pop(Item& item) {
    if (!spilled_) [[unlikely]]
      return pop_few(item);
    if (front_ != buckets_[0].size()) {
      --size_;
      item = buckets_[0][front_++];
      return true;
    }
    return refill(item);
  }

 private:
  // Keys are compared in bytes: 8 digit positions of 256 values, so an entry descends at most 8
  // times however close its key is to others, and a bucket spreads into up to 256. (Finer
  // digits move entries more often; a summary word keeps the search for the lowest of the 2048
  // buckets short.)
  static constexpr unsigned kDigitBits = 8;
  static constexpr std::size_t kBuckets = 1 + 64 / kDigitBits * (1 << kDigitBits);
  static constexpr std::size_t kWords = (kBuckets - 1) / 64;
  static_assert((kBuckets - 1) % 64 == 0, "the occupancy words cover buckets 1.. exactly");
  static_assert(kWords <= 64, "one summary word covers the occupancy words");

  // While the queue has held no more than kFew entries at once, they stay in one array in push
  // order, and a pop takes the first smallest current key, dropping the outdated entries on the
  // way: on searches with a small frontier (a cutoff on a sparse graph) that costs less than
  // spreading buckets, whose memory lies all over. Equal keys leave in push order here too; the
  // first push beyond kFew moves the entries, in that order, into the buckets for good.
  bool pop_few(Item& item) {
    uint64_t smallest = ~uint64_t{0};
    std::size_t at = 0;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < few_; ++i) {
      const Item entry = few_items_[i];
      few_items_[kept] = entry;
      const bool current = current_[entry.index] == entry.key;
      const bool better = current && entry.key < smallest;
      at = better ? kept : at;
      smallest = better ? entry.key : smallest;
      kept += current;
    }
    size_ -= few_ - kept;
    few_ = kept;
    if (kept == 0) return false;
    item = few_items_[at];
    for (std::size_t i = at + 1; i < kept; ++i)
      few_items_[i - 1] = few_items_[i];
    --few_;
    --size_;
    last_ = item.key;
    return true;
  }

  // Every key in the array is at least `last`: the last pop dropped the outdated ones, and kept
  // only keys from the one it took on; pushes since then are at least `last` too.
  void spill(uint64_t last) {
    spilled_ = true;
    for (std::size_t i = 0; i < few_; ++i)
      put(few_items_[i], last);
    few_ = 0;
  }

  // Bucket 0 holds the last key itself. Any other key first differs from the last in some digit
  // position p, where its digit d is the larger: it goes to bucket 1 + 256p + d. Every key of a
  // lower bucket is smaller than every key of a higher one.
  void put(const Item& item, uint64_t last) {
    const uint64_t differing = item.key ^ last;
    if (differing == 0) [[unlikely]] {
      buckets_[0].push_back(item);
      return;
    }
    const unsigned position = static_cast<unsigned>(63 - std::countl_zero(differing)) / kDigitBits;
    const std::size_t digit = (item.key >> (position * kDigitBits)) & ((1u << kDigitBits) - 1);
    const std::size_t bit = (std::size_t{position} << kDigitBits) + digit;  // bucket - 1
    buckets_[1 + bit].push_back(item);
    occupied_[bit / 64] |= uint64_t{1} << (bit % 64);
    summary_ |= uint64_t{1} << (bit / 64);
  }

  // Bucket 0 is used up: make the smallest current key of the lowest bucket the last one and
  // spread that bucket out, which puts at least that key into bucket 0 and every other one lower
  // down, then pop. A bucket of outdated entries only is dropped, and the next one taken; false
  // when none is left. The size counts outdated entries until they are dropped. A bucket with a
  // single current entry, the usual case when keys are rarely equal, hands it over directly.
  bool refill(Item& item) {
    buckets_[0].clear();
    front_ = 0;
    for (;;) {
      if (summary_ == 0) return false;
      const std::size_t word = static_cast<std::size_t>(std::countr_zero(summary_));
      const std::size_t bit =
          word * 64 + static_cast<std::size_t>(std::countr_zero(occupied_[word]));
      occupied_[word] &= occupied_[word] - 1;
      if (occupied_[word] == 0) summary_ &= summary_ - 1;
      Vec<Item>& bucket = buckets_[1 + bit];
      // Keep the current entries, in order, at the front of the bucket, and find their smallest.
      uint64_t smallest = ~uint64_t{0};
      std::size_t kept = 0;
      for (const Item& entry : bucket) {
        bucket[kept] = entry;
        const bool current = current_[entry.index] == entry.key;
        kept += current;
        smallest = current && entry.key < smallest ? entry.key : smallest;
      }
      size_ -= bucket.size() - kept;
      if (kept == 0) {
        bucket.clear();
        continue;
      }
      last_ = smallest;
      --size_;
      if (kept == 1) {
        item = bucket[0];
      } else {
        for (std::size_t i = 0; i < kept; ++i)
          put(bucket[i], last_);
        item = buckets_[0][front_++];
      }
      bucket.clear();
      return true;
    }
  }

  static constexpr std::size_t kFew = 16;
  Item few_items_[kFew];
  std::size_t few_ = 0;
  bool spilled_ = false;  // the entries are in the buckets
  Vec<Item> buckets_[kBuckets];
  uint64_t occupied_[kWords] = {};  // bit b - 1 set when bucket b (1 and up) holds entries
  uint64_t summary_ = 0;            // bit w set when occupied_[w] is not 0
  std::size_t front_ = 0;           // next entry of bucket 0 to pop
  std::size_t size_ = 0;
  uint64_t last_ = 0;  // the last key popped (0 before the first pop)
  const uint64_t* current_ = nullptr;
};

}  // namespace dorvane
