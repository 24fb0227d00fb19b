// SipHash-1-3 against an independent oracle: CPython's hash() of a bytes object is SipHash-1-3,
// under the key zero when PYTHONHASHSEED=0, and under a key its LCG derives from the seed
// otherwise. The vectors were printed by CPython 3.11 with PYTHONHASHSEED=0 and =1 (hash() of
// struct.pack('<I', v) or '<Q', masked to 64 bits; none of these hashes is one CPython remaps).
#include <gtest/gtest.h>

#include <vector>

#include "platform/siphash.h"

namespace dorvane {
namespace {

struct Vector32 {
  uint32_t value;
  uint64_t hash;
};

constexpr SipKey kZeroKey{0, 0};
constexpr SipKey kSeedOneKey{0xaed66ce184be2329ULL, 0xebe9bbf1f1499052ULL};

TEST(SipHash, FourByteNodeNumbersMatchTheOracle) {
  const Vector32 zero_key[] = {
      {0x0, 0xcc2247b79ac48af0ULL},        {0x1, 0x182e2c74c37b7090ULL},
      {0x2, 0xe2b86b8f69ecfa91ULL},        {0xff, 0x37df050877176abcULL},
      {0x100, 0x4bfe50e89e7920b7ULL},      {0x10000, 0x726a9083461ebc8cULL},
      {0x75bcd15, 0x6857c680e25f9f53ULL},  {0x7fffffff, 0xf010deb1e7e7455eULL},
      {0xffffffff, 0x52c40c8874cad6e2ULL},
  };
  const Vector32 seed_one_key[] = {
      {0x0, 0x7c0b3f27a1ed81b9ULL},        {0x1, 0x60fb7709aa36e372ULL},
      {0x2, 0x951799e1bef01178ULL},        {0xff, 0x7d13e799eb4f20ffULL},
      {0x100, 0x141629266648c054ULL},      {0x10000, 0x64e6c8de1220f8f4ULL},
      {0x75bcd15, 0xed645033d0d07048ULL},  {0x7fffffff, 0x1a052d3b1590d2e2ULL},
      {0xffffffff, 0x243762a19e362868ULL},
  };
  for (const auto& v : zero_key) {
    EXPECT_EQ(siphash13_u32(kZeroKey, v.value), v.hash) << v.value;
  }
  for (const auto& v : seed_one_key) {
    EXPECT_EQ(siphash13_u32(kSeedOneKey, v.value), v.hash) << v.value;
  }
}

TEST(SipHash, EightByteCountersMatchTheOracle) {
  struct Vector64 {
    uint64_t value;
    uint64_t zero_key_hash;
    uint64_t seed_one_hash;
  };
  const Vector64 vectors[] = {
      {0x0, 0xbd60acb658c79e45ULL, 0x97622c04ecfbdc7cULL},
      {0x1, 0x1e9f734161d62dd9ULL, 0x5532f1572efe846bULL},
      {0x0123456789abcdefULL, 0x8662046e52264db8ULL, 0x2f17ae0c011be1daULL},
      {0xffffffffffffffffULL, 0x2f205be2fec8e38dULL, 0x6291480906012fdbULL},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(siphash13_u64(kZeroKey, v.value), v.zero_key_hash);
    EXPECT_EQ(siphash13_u64(kSeedOneKey, v.value), v.seed_one_hash);
  }
}

TEST(SipHash, TheBatchAgreesWithOneAtATime) {
  // Every length from 0 to 40, so both the four-wide part and the remainder are checked, under
  // several keys.
  std::vector<uint32_t> values;
  for (uint32_t i = 0; i < 40; ++i)
    values.push_back(i * 2654435761u ^ (i << 7));
  for (SipKey key : {kZeroKey, kSeedOneKey, SipKey{~uint64_t{0}, 12345}}) {
    for (std::size_t count = 0; count <= values.size(); ++count) {
      std::vector<uint64_t> hashes(count + 1, 7);
      siphash13_u32_batch(key, values.data(), hashes.data(), count);
      for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(hashes[i], siphash13_u32(key, values[i])) << count << " values, at " << i;
      }
      EXPECT_EQ(hashes[count], 7u) << "written past the end";
    }
  }
}

}  // namespace
}  // namespace dorvane
