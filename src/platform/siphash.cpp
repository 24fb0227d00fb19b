#include "platform/siphash.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>
#define DORVANE_SIPHASH_AVX2 1
#endif

namespace dorvane {

namespace {

void batch_scalar(SipKey key, const uint32_t* values, uint64_t* hashes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i)
    hashes[i] = siphash13_u32(key, values[i]);
}

#if DORVANE_SIPHASH_AVX2

// The same rounds on four states at once, one per 64-bit lane. The rotations by 32 and 16 are
// byte shuffles; the others, shifts.
struct State4 {
  __m256i v0, v1, v2, v3;

  template <int bits>
  __attribute__((target("avx2"))) static __m256i rotl(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi64(x, bits), _mm256_srli_epi64(x, 64 - bits));
  }
  __attribute__((target("avx2"))) static __m256i rotl32(__m256i x) {
    return _mm256_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1));
  }
  __attribute__((target("avx2"))) static __m256i rotl16(__m256i x) {
    const __m256i order = _mm256_setr_epi8(6, 7, 0, 1, 2, 3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13,  //
                                           6, 7, 0, 1, 2, 3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13);
    return _mm256_shuffle_epi8(x, order);
  }

  __attribute__((target("avx2"))) void round() {
    v0 = _mm256_add_epi64(v0, v1);
    v1 = rotl<13>(v1);
    v1 = _mm256_xor_si256(v1, v0);
    v0 = rotl32(v0);
    v2 = _mm256_add_epi64(v2, v3);
    v3 = rotl16(v3);
    v3 = _mm256_xor_si256(v3, v2);
    v0 = _mm256_add_epi64(v0, v3);
    v3 = rotl<21>(v3);
    v3 = _mm256_xor_si256(v3, v0);
    v2 = _mm256_add_epi64(v2, v1);
    v1 = rotl<17>(v1);
    v1 = _mm256_xor_si256(v1, v2);
    v2 = rotl32(v2);
  }
};

__attribute__((target("avx2"))) void batch_avx2(SipKey key, const uint32_t* values,
                                                uint64_t* hashes, std::size_t count) {
  const siphash_detail::State start(key);
  const __m256i length = _mm256_set1_epi64x(static_cast<long long>(uint64_t{4} << 56));
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m256i block = _mm256_or_si256(
        _mm256_cvtepu32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values + i))),
        length);
    State4 state{_mm256_set1_epi64x(static_cast<long long>(start.v0)),
                 _mm256_set1_epi64x(static_cast<long long>(start.v1)),
                 _mm256_set1_epi64x(static_cast<long long>(start.v2)),
                 _mm256_xor_si256(_mm256_set1_epi64x(static_cast<long long>(start.v3)), block)};
    state.round();
    state.v0 = _mm256_xor_si256(state.v0, block);
    state.v2 = _mm256_xor_si256(state.v2, _mm256_set1_epi64x(0xff));
    state.round();
    state.round();
    state.round();
    const __m256i result = _mm256_xor_si256(_mm256_xor_si256(state.v0, state.v1),
                                            _mm256_xor_si256(state.v2, state.v3));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(hashes + i), result);
  }
  batch_scalar(key, values + i, hashes + i, count - i);
}

#endif

using Batch = void (*)(SipKey, const uint32_t*, uint64_t*, std::size_t);

#if DORVANE_SIPHASH_AVX2
// Whether the processor has AVX2 and the system saves its registers, asked of the processor
// itself: the compiler's feature table is not filled in by every runtime (zig's, for one).
bool has_avx2() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return false;
  unsigned low, high;
  asm("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  if ((low & 0x6) != 0x6) return false;  // the XMM and YMM state
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return (ebx & bit_AVX2) != 0;
}
#endif

Batch choose_batch() {
#if DORVANE_SIPHASH_AVX2
  if (has_avx2()) return &batch_avx2;
#endif
  return &batch_scalar;
}

}  // namespace

void siphash13_u32_batch(SipKey key, const uint32_t* values, uint64_t* hashes, std::size_t count) {
  static const Batch batch = choose_batch();
  batch(key, values, hashes, count);
}

}  // namespace dorvane
