// The vendored BLAKE3 chooses its SIMD path by itself, from CPUID. A process pinned to a
// narrower set (VELTRANE_ISA=avx2 on an AVX-512 machine, to measure what AVX2-only machines
// get) must pin the digests too, or its figures mix AVX2 cuts with AVX-512 digests.
#include "dedup/blake3.hpp"

extern "C" {
// blake3_dispatch.c, built with BLAKE3_TESTING, which makes these two visible (it changes
// nothing else there): the feature bits, found once and kept, and the call that finds them.
// An enum cpu_feature in C, whose values all fit an unsigned int.
extern unsigned g_cpu_features;
unsigned get_cpu_features(void);
}

namespace veltrane::dedup {

namespace {
// blake3_dispatch.c's AVX512F and AVX512VL bits.
constexpr unsigned kAvx512Bits = (1U << 5) | (1U << 6);
} // namespace

void blake3_follow_isa(cpu::Isa isa) {
    get_cpu_features();
    if (isa < cpu::Isa::avx512) {
        g_cpu_features &= ~kAvx512Bits;
    }
}

} // namespace veltrane::dedup
