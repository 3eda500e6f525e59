// The AVX-512 kernel of minhash.cpp, built with -mavx512f -mavx512bw -mavx512vl -mavx512vbmi
// and run only when cpu::chosen_isa() says so.
#include "text/minhash.hpp"

#include <immintrin.h>

// GCC 12's AVX-512 intrinsics pass _mm512_undefined_epi32() as the unused merge source, which
// -Wmaybe-uninitialized reports once inlined (GCC bug 105593); the value is never read.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace veltrane::text::kernels {

namespace {

// As groups_avx2, sixteen permutations a register; the 32 registers hold all eight
// accumulators of 128 permutations. One two-source permute gathers the high halves.
template <int G>
void groups_avx512(const uint64_t *layout,
                   const uint64_t *shingles,
                   std::size_t count,
                   uint32_t *out) {
    const auto *l = reinterpret_cast<const __m512i *>(layout);
    // Result lane 2i is dword 2i + 1 (the high half of 64-bit lane i) of the even products,
    // lane 2i + 1 the same of the odd ones (indices from 16 pick the second source).
    const __m512i high_halves =
        _mm512_set_epi32(31, 15, 29, 13, 27, 11, 25, 9, 23, 7, 21, 5, 19, 3, 17, 1);
    __m512i acc[G];
    for (int j = 0; j < G; ++j) {
        acc[j] = _mm512_set1_epi32(-1);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const __m512i x = _mm512_set1_epi32(static_cast<int>(static_cast<uint32_t>(shingles[i])));
        for (int j = 0; j < G; ++j) {
            const __m512i *g = l + 5 * j;
            const __m512i even = _mm512_add_epi64(_mm512_mul_epu32(_mm512_loadu_si512(g), x),
                                                  _mm512_loadu_si512(g + 2));
            const __m512i odd = _mm512_add_epi64(_mm512_mul_epu32(_mm512_loadu_si512(g + 1), x),
                                                 _mm512_loadu_si512(g + 3));
            __m512i v = _mm512_permutex2var_epi32(even, high_halves, odd);
            v = _mm512_add_epi32(v, _mm512_mullo_epi32(_mm512_loadu_si512(g + 4), x));
            acc[j] = _mm512_min_epu32(acc[j], v);
        }
    }
    for (int j = 0; j < G; ++j) {
        _mm512_storeu_si512(out + 16 * j, acc[j]);
    }
}

} // namespace

void minhash_avx512(const uint64_t *layout,
                    std::size_t groups,
                    const uint64_t *shingles,
                    std::size_t count,
                    uint32_t *out) {
    std::size_t g = 0;
    for (; g + 8 <= groups; g += 8) {
        groups_avx512<8>(layout + g * 40, shingles, count, out + g * 16);
    }
    for (; g + 4 <= groups; g += 4) {
        groups_avx512<4>(layout + g * 40, shingles, count, out + g * 16);
    }
    for (; g < groups; ++g) {
        groups_avx512<1>(layout + g * 40, shingles, count, out + g * 16);
    }
}

} // namespace veltrane::text::kernels
