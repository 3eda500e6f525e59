// The AVX-512 kernel of minhash.cpp, built with -mavx512f -mavx512bw -mavx512vl -mavx512vbmi
// and run only when cpu::chosen_isa() says so.
#include "text/minhash.hpp"

#include <immintrin.h>

// GCC 12's AVX-512 intrinsics pass _mm512_undefined_epi32() as the unused merge source, which
// -Wmaybe-uninitialized reports once inlined (GCC bug 105593); the value is never read.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace veltrane::text::kernels {

namespace {

// As groups_avx2, sixteen permutations a register: the 32 registers hold the accumulators,
// multipliers and addends of 128 permutations.
template <int G>
void groups_avx512(const uint32_t *a,
                   const uint32_t *b,
                   const uint64_t *shingles,
                   std::size_t count,
                   uint32_t *out) {
    __m512i acc[G], mul[G], add[G];
    for (int j = 0; j < G; ++j) {
        acc[j] = _mm512_set1_epi32(-1);
        mul[j] = _mm512_loadu_si512(a + 16 * j);
        add[j] = _mm512_loadu_si512(b + 16 * j);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const __m512i x = _mm512_set1_epi32(static_cast<int>(static_cast<uint32_t>(shingles[i])));
        for (int j = 0; j < G; ++j) {
            acc[j] =
                _mm512_min_epu32(acc[j], _mm512_add_epi32(_mm512_mullo_epi32(mul[j], x), add[j]));
        }
    }
    for (int j = 0; j < G; ++j) {
        _mm512_storeu_si512(out + 16 * j, acc[j]);
    }
}

} // namespace

void minhash_avx512(const uint32_t *layout,
                    std::size_t groups,
                    const uint64_t *shingles,
                    std::size_t count,
                    uint32_t *out) {
    const std::size_t padded = groups * 16;
    const uint32_t *a = layout, *b = layout + padded;
    std::size_t g = 0;
    for (; g + 8 <= groups; g += 8) {
        groups_avx512<8>(a + 16 * g, b + 16 * g, shingles, count, out + 16 * g);
    }
    for (; g + 4 <= groups; g += 4) {
        groups_avx512<4>(a + 16 * g, b + 16 * g, shingles, count, out + 16 * g);
    }
    for (; g < groups; ++g) {
        groups_avx512<1>(a + 16 * g, b + 16 * g, shingles, count, out + 16 * g);
    }
}

} // namespace veltrane::text::kernels
