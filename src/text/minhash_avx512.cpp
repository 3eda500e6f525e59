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
// multipliers and addends of 128 permutations. `shingle(i)` gives the i-th of the `count`
// shingles: read from memory, or hashed as it is taken.
template <int G, typename Shingle>
void groups_avx512(
    const uint32_t *a, const uint32_t *b, std::size_t count, Shingle shingle, uint32_t *out) {
    __m512i acc[G], mul[G], add[G];
    for (int j = 0; j < G; ++j) {
        acc[j] = _mm512_set1_epi32(-1);
        mul[j] = _mm512_loadu_si512(a + 16 * j);
        add[j] = _mm512_loadu_si512(b + 16 * j);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const __m512i x = _mm512_set1_epi32(static_cast<int>(static_cast<uint32_t>(shingle(i))));
        for (int j = 0; j < G; ++j) {
            acc[j] =
                _mm512_min_epu32(acc[j], _mm512_add_epi32(_mm512_mullo_epi32(mul[j], x), add[j]));
        }
    }
    for (int j = 0; j < G; ++j) {
        _mm512_storeu_si512(out + 16 * j, acc[j]);
    }
}

// The groups from `g` on, over stored shingles.
void rest_avx512(const uint32_t *a,
                 const uint32_t *b,
                 std::size_t g,
                 std::size_t groups,
                 const uint64_t *shingles,
                 std::size_t count,
                 uint32_t *out) {
    const auto stored = [shingles](std::size_t i) { return shingles[i]; };
    for (; g + 8 <= groups; g += 8) {
        groups_avx512<8>(a + 16 * g, b + 16 * g, count, stored, out + 16 * g);
    }
    for (; g + 4 <= groups; g += 4) {
        groups_avx512<4>(a + 16 * g, b + 16 * g, count, stored, out + 16 * g);
    }
    for (; g < groups; ++g) {
        groups_avx512<1>(a + 16 * g, b + 16 * g, count, stored, out + 16 * g);
    }
}

} // namespace

void minhash_words_avx512(const uint32_t *layout,
                          std::size_t groups,
                          const uint64_t *words,
                          std::size_t count,
                          std::size_t ngram,
                          std::vector<uint64_t> &shingles,
                          uint32_t *out) {
    const std::size_t width = count < ngram ? count : ngram;
    const std::size_t runs = count == 0 ? 0 : count - width + 1;
    if (width == 0 || width > 8) {
        shingle_hashes(words, count, ngram, shingles);
        minhash_avx512(layout, groups, shingles.data(), shingles.size(), out);
        return;
    }
    shingles.resize(runs);
    const std::size_t padded = groups * 16;
    const uint32_t *a = layout, *b = layout + padded;
    uint64_t *s = shingles.data();
    // The first eight groups (128 permutations, all of the usual signature) as the shingles
    // are hashed; fewer when there are fewer.
    const std::size_t fed = groups >= 8 ? 8 : groups >= 4 ? 4 : 1;
    with_shingle_width(width, [&](auto w) {
        const auto hashed = [words, s](std::size_t i) {
            return s[i] = shingle_hash<decltype(w)::value>(words + i);
        };
        if (fed == 8) {
            groups_avx512<8>(a, b, runs, hashed, out);
        } else if (fed == 4) {
            groups_avx512<4>(a, b, runs, hashed, out);
        } else {
            groups_avx512<1>(a, b, runs, hashed, out);
        }
    });
    rest_avx512(a, b, fed, groups, shingles.data(), runs, out);
}

void minhash_avx512(const uint32_t *layout,
                    std::size_t groups,
                    const uint64_t *shingles,
                    std::size_t count,
                    uint32_t *out) {
    const std::size_t padded = groups * 16;
    rest_avx512(layout, layout + padded, 0, groups, shingles, count, out);
}

} // namespace veltrane::text::kernels
