// The AVX-512 candidate scan (F + BW + VL + VBMI builds; run only where cpu::best_isa() says
// so). Sixteen lanes, two registers of eight 64-bit hashes, each roll the gear hash over its
// own stretch of the range. The table is two 16-entry halves (see make_table), so a lookup is
// two in-register permutes instead of a memory gather.
#include "chunk/gear.hpp"

#include <immintrin.h>
#include <utility>

// GCC 12 reports its own intrinsics' deliberately undefined pass-through operands
// (`__m512i __Y = __Y;` in avx512fintrin.h) as maybe uninitialized once they are inlined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace veltrane::gear {

namespace {

constexpr std::size_t kLanes = 16;
// A lane rolls one 8-byte word per block and tests the eight positions at once: the block's
// smallest hash decides whether its positions are checked one by one.
constexpr std::size_t kBlock = 8;
// A lane's bytes are loaded 64 at a time, one cache line, and transposed into eight words.
constexpr std::size_t kGroup = 64;
// Shorter stretches leave the set-up (16 windows hashed one byte at a time) too little to
// amortise over.
constexpr std::size_t kMinStretch = 512;

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

} // namespace

void scan_avx512(const ScanParams &p,
                 const unsigned char *data,
                 std::size_t begin,
                 std::size_t end,
                 std::vector<uint64_t> &out) {
    const std::size_t stretch = (end - begin) / kLanes / kGroup * kGroup;
    if (stretch < kMinStretch) {
        scan_scalar(p, data, begin, end, out);
        return;
    }
    const Table &table = *p.table;
    const Tables t {_mm512_loadu_si512(table.low),
                    _mm512_loadu_si512(table.low + 8),
                    _mm512_loadu_si512(table.high),
                    _mm512_loadu_si512(table.high + 8)};
    alignas(64) uint64_t h[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) {
        const std::size_t at = begin + l * stretch;
        uint64_t v = 0;
        for (std::size_t i = at >= kWindow - 1 ? at - (kWindow - 1) : 0; i < at; ++i) {
            v = (v << 1) + table.g[data[i]];
        }
        h[l] = v;
    }
    __m512i ha = _mm512_load_si512(h);
    __m512i hb = _mm512_load_si512(h + 8);
    const __m512i loose = _mm512_set1_epi64(static_cast<long long>(p.loose));
    const __m512i none = _mm512_set1_epi64(-1);
    std::vector<uint64_t> found[kLanes];

    const unsigned char *base = data + begin;
    for (std::size_t k = 0; k < stretch; k += kGroup) {
        __m512i rows_a[8], rows_b[8], words_a[8], words_b[8];
        for (std::size_t l = 0; l < 8; ++l) {
            rows_a[l] = _mm512_loadu_si512(base + l * stretch + k);
            rows_b[l] = _mm512_loadu_si512(base + (l + 8) * stretch + k);
        }
        transpose(rows_a, words_a);
        transpose(rows_b, words_b);
        for (std::size_t w = 0; w < kGroup / kBlock; ++w) {
            const __m512i before_a = ha;
            const __m512i before_b = hb;
            __m512i sa = none;
            __m512i sb = none;
            roll_block(ha,
                       hb,
                       words_a[w],
                       words_b[w],
                       t,
                       sa,
                       sb,
                       std::make_integer_sequence<int, kBlock> {});
            const unsigned hits = _mm512_cmplt_epu64_mask(sa, loose) |
                                  (unsigned {_mm512_cmplt_epu64_mask(sb, loose)} << 8);
            if (__builtin_expect(hits != 0, 0)) {
                // Some position of the block may be a candidate: redo those lanes' bytes one
                // by one from the hashes before the block.
                _mm512_store_si512(h, before_a);
                _mm512_store_si512(h + 8, before_b);
                for (unsigned rest = hits; rest != 0; rest &= rest - 1) {
                    const unsigned l = static_cast<unsigned>(__builtin_ctz(rest));
                    const std::size_t at = begin + l * stretch + k + w * kBlock;
                    uint64_t v = h[l];
                    for (std::size_t i = at; i < at + kBlock; ++i) {
                        v = (v << 1) + table.g[data[i]];
                        if (v < p.loose) {
                            found[l].push_back(i | (v < p.strict ? kStrict : 0));
                        }
                    }
                }
            }
        }
    }
    for (const auto &f : found) {
        out.insert(out.end(), f.begin(), f.end());
    }
    scan_scalar(p, data, begin + kLanes * stretch, end, out);
}

} // namespace veltrane::gear
