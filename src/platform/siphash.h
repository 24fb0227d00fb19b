// SipHash-1-3 (Aumasson and Bernstein): one compression round per 8-byte block, three
// finalisation rounds, 128-bit key as two 64-bit halves. The module uses it for every hash table
// keyed by node number (4-byte input) and to seed the workers' random state (8-byte input).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace dorvane {

struct SipKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
};

namespace siphash_detail {

struct State {
  uint64_t v0, v1, v2, v3;

  explicit constexpr State(SipKey key)
      : v0(key.k0 ^ 0x736f6d6570736575ULL),
        v1(key.k1 ^ 0x646f72616e646f6dULL),
        v2(key.k0 ^ 0x6c7967656e657261ULL),
        v3(key.k1 ^ 0x7465646279746573ULL) {}

  constexpr void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  constexpr void compress(uint64_t block) {
    v3 ^= block;
    round();
    v0 ^= block;
  }

  constexpr uint64_t finish(uint64_t last_block) {
    compress(last_block);
    v2 ^= 0xff;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

}  // namespace siphash_detail

// SipHash-1-3 of the 4 little-endian bytes of `value`: the last (only) block holds the bytes and
// the length 4 in its top byte.
constexpr uint64_t siphash13_u32(SipKey key, uint32_t value) {
  siphash_detail::State state(key);
  return state.finish((uint64_t{4} << 56) | value);
}

// siphash13_u32 of each of `count` values into `hashes`. Where the processor has AVX2 four hashes
// are computed at once, in the lanes of its vector registers; the results are the same.
void siphash13_u32_batch(SipKey key, const uint32_t* values, uint64_t* hashes, std::size_t count);

// SipHash-1-3 of the 8 little-endian bytes of `value`: one full block, then the length block.
constexpr uint64_t siphash13_u64(SipKey key, uint64_t value) {
  siphash_detail::State state(key);
  state.compress(value);
  return state.finish(uint64_t{8} << 56);
}

}  // namespace dorvane
