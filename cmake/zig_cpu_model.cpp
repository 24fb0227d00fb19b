// zig's compiler runtime defines the processor model that __builtin_cpu_supports reads, but never
// fills it in: every feature reads as absent, and code that chooses its path at run time (the
// AVX2 hashing of src/platform/siphash.cpp) always takes the slowest. This fills in the features
// of the model's first word as LLVM's and GCC's runtimes do, when the module is loaded. Linked into
// x86-64 builds with cmake/zig.cmake only.
#include <cpuid.h>

// The layout that LLVM's and GCC's runtimes share, and zig's copies.
struct ProcessorModel {
  unsigned vendor;
  unsigned type;
  unsigned subtype;
  unsigned features[1];
};
extern "C" ProcessorModel __cpu_model;

namespace {

// Bit positions in features[0], in the runtimes' order.
enum Feature : unsigned { Cmov, Mmx, Popcnt, Sse, Sse2, Sse3, Ssse3, Sse4_1, Sse4_2, Avx, Avx2 };

__attribute__((constructor(101))) void fill_processor_features() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return;
  unsigned features = 0;
  auto set = [&features](bool present, Feature feature) {
    if (present) features |= 1u << feature;
  };
  set(edx & bit_CMOV, Cmov);
  set(edx & bit_MMX, Mmx);
  set(ecx & bit_POPCNT, Popcnt);
  set(edx & bit_SSE, Sse);
  set(edx & bit_SSE2, Sse2);
  set(ecx & bit_SSE3, Sse3);
  set(ecx & bit_SSSE3, Ssse3);
  set(ecx & bit_SSE4_1, Sse4_1);
  set(ecx & bit_SSE4_2, Sse4_2);
  // The AVX registers are usable only where the operating system saves them (XCR0 bits 1 and 2).
  bool ymm_saved = false;
  if ((ecx & bit_OSXSAVE) && (ecx & bit_AVX)) {
    unsigned low, high;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    ymm_saved = (low & 6) == 6;
  }
  set(ymm_saved, Avx);
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) set(ymm_saved && (ebx & bit_AVX2), Avx2);
  __cpu_model.features[0] |= features;
}

}  // namespace
