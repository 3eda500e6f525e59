// The AVX-512 candidate scan (F + BW + VL + VBMI builds; run only where cpu::best_isa() says
// so). Sixteen lanes, two registers of eight 64-bit hashes, each roll the gear hash over its
// own stretch of the range. The table is two 16-entry halves (see make_table), so a lookup is
// two in-register permutes instead of a memory gather.
#include "chunk/gear_avx512.hpp"

namespace veltrane::gear {

using namespace avx512;

namespace {

// Shorter stretches leave the set-up (16 windows hashed one byte at a time) too little to
// amortise over.
constexpr std::size_t kMinStretch = 512;

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
    const Tables t = load_tables(table);
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
    std::vector<uint64_t> found[kLanes];

    const unsigned char *base = data + begin;
    for (std::size_t k = 0; k < stretch; k += kGroup) {
        const unsigned char *rows[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) {
            rows[l] = base + l * stretch + k;
        }
        __m512i words_a[8], words_b[8];
        load_words(rows, words_a, words_b);
        for (std::size_t w = 0; w < kGroup / kBlock; ++w) {
            const __m512i before_a = ha;
            const __m512i before_b = hb;
            const unsigned hits = roll_and_test(ha, hb, words_a[w], words_b[w], t, loose, loose);
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
