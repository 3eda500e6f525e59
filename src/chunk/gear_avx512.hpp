// What the AVX-512 gear kernels share (include only from files built for AVX-512): the table
// held in four registers, the roll of eight bytes in sixteen lanes, and the transposition of
// sixteen rows of bytes into words of the lanes.
#pragma once

#include "chunk/gear.hpp"

#include <immintrin.h>
#include <utility>

// GCC 12 reports its own intrinsics' deliberately undefined pass-through operands
// (`__m512i __Y = __Y;` in avx512fintrin.h) as maybe uninitialized once they are inlined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace veltrane::gear::avx512 {

// Sixteen lanes: two registers of eight 64-bit hashes.
constexpr std::size_t kLanes = 16;
// A lane rolls one 8-byte word per block and tests the eight positions at once: the block's
// smallest hash decides whether its positions are checked one by one.
constexpr std::size_t kBlock = 8;
// A lane's bytes are loaded 64 at a time, one cache line, and transposed into eight words.
constexpr std::size_t kGroup = 64;

struct Tables {
    __m512i low0, low1, high0, high1;
};

// One byte of every lane: h = 2h + low[b & 15] + high[b >> 4]. vpermt2q reads only the low
// four bits of each index, so shifting the word brings the next nibble into place.
template <int kByte>
inline __m512i roll(__m512i h, __m512i word, const Tables &t, __m512i &smallest) {
    const __m512i lo_index = _mm512_srli_epi64(word, 8 * kByte);
    const __m512i hi_index = _mm512_srli_epi64(word, 8 * kByte + 4);
    const __m512i g = _mm512_add_epi64(_mm512_permutex2var_epi64(t.low0, lo_index, t.low1),
                                       _mm512_permutex2var_epi64(t.high0, hi_index, t.high1));
    h = _mm512_add_epi64(_mm512_add_epi64(h, h), g);
    smallest = _mm512_min_epu64(smallest, h);
    return h;
}

template <int... kBytes>
inline void roll_block(__m512i &ha,
                       __m512i &hb,
                       __m512i wa,
                       __m512i wb,
                       const Tables &t,
                       __m512i &sa,
                       __m512i &sb,
                       std::integer_sequence<int, kBytes...>) {
    ((ha = roll<kBytes>(ha, wa, t, sa), hb = roll<kBytes>(hb, wb, t, sb)), ...);
}

// Eight 64-byte rows, one per lane, turned into eight words per lane: words[c] holds word c of
// every row, lane l in qword l. Three shuffle stages of eight, for 64 bytes of each lane.
inline void transpose(const __m512i (&rows)[8], __m512i (&words)[8]) {
    // Stage 2 picks qwords 0 and 4 (then 2 and 6) of a row pair from each of two pairs.
    const __m512i even = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
    const __m512i odd = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
    __m512i pairs[8];
    for (int r = 0; r < 8; r += 2) {
        pairs[r] = _mm512_unpacklo_epi64(rows[r], rows[r + 1]);     // words 0 2 4 6
        pairs[r + 1] = _mm512_unpackhi_epi64(rows[r], rows[r + 1]); // words 1 3 5 7
    }
    __m512i quads[8];
    for (int half = 0; half < 2; ++half) { // rows 0-3, rows 4-7
        const int a = 4 * half;
        quads[4 * half + 0] = _mm512_permutex2var_epi64(pairs[a], even, pairs[a + 2]);     // 0, 4
        quads[4 * half + 1] = _mm512_permutex2var_epi64(pairs[a + 1], even, pairs[a + 3]); // 1, 5
        quads[4 * half + 2] = _mm512_permutex2var_epi64(pairs[a], odd, pairs[a + 2]);      // 2, 6
        quads[4 * half + 3] = _mm512_permutex2var_epi64(pairs[a + 1], odd, pairs[a + 3]);  // 3, 7
    }
    for (int q = 0; q < 4; ++q) {
        words[q] = _mm512_shuffle_i64x2(quads[q], quads[4 + q], 0x44);
        words[q + 4] = _mm512_shuffle_i64x2(quads[q], quads[4 + q], 0xee);
    }
}

// Loads 64 bytes of each lane, from rows[l], and transposes them into eight words per lane:
// word c of lane l is qword l of words_a[c] (lanes 0-7) or words_b[c] (lanes 8-15).
inline void load_words(const unsigned char *const (&rows)[kLanes],
                       __m512i (&words_a)[8],
                       __m512i (&words_b)[8]) {
    __m512i rows_a[8], rows_b[8];
    for (std::size_t l = 0; l < 8; ++l) {
        rows_a[l] = _mm512_loadu_si512(rows[l]);
        rows_b[l] = _mm512_loadu_si512(rows[l + 8]);
    }
    transpose(rows_a, words_a);
    transpose(rows_b, words_b);
}

// Rolls one word (eight bytes) of every lane into ha (lanes 0-7) and hb (lanes 8-15), and
// returns the lanes in which the hash after some of those bytes is below that lane's
// threshold (below_a, below_b): only they need the block checked one byte at a time.
inline unsigned roll_and_test(__m512i &ha,
                              __m512i &hb,
                              __m512i word_a,
                              __m512i word_b,
                              const Tables &t,
                              __m512i below_a,
                              __m512i below_b) {
    __m512i sa = _mm512_set1_epi64(-1);
    __m512i sb = sa;
    roll_block(ha, hb, word_a, word_b, t, sa, sb, std::make_integer_sequence<int, kBlock> {});
    return _mm512_cmplt_epu64_mask(sa, below_a) |
           (unsigned {_mm512_cmplt_epu64_mask(sb, below_b)} << 8);
}

inline Tables load_tables(const Table &table) {
    return Tables {_mm512_loadu_si512(table.low),
                   _mm512_loadu_si512(table.low + 8),
                   _mm512_loadu_si512(table.high),
                   _mm512_loadu_si512(table.high + 8)};
}

} // namespace veltrane::gear::avx512
