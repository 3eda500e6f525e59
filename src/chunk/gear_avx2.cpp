// The AVX2-machine candidate scan. A gather of 64-bit table entries costs more than the four
// scalar loads it replaces, so this kernel stays in general registers: four stretches of the
// range are rolled in one loop, so that the four dependency chains (a shift and an add per byte)
// overlap, and the loads and compares of one chain fill the others' latency.
#include "chunk/gear.hpp"

namespace veltrane::gear {

namespace {

constexpr std::size_t kChains = 4;
// Shorter stretches leave the set-up (four windows hashed one byte at a time) too little to
// amortise over.
constexpr std::size_t kMinStretch = 256;

} // namespace

void scan_avx2(const ScanParams &p,
               const unsigned char *data,
               std::size_t begin,
               std::size_t end,
               std::vector<uint64_t> &out) {
    const std::size_t stretch = (end - begin) / kChains;
    if (stretch < kMinStretch) {
        scan_scalar(p, data, begin, end, out);
        return;
    }
    const uint64_t *g = p.table->g;
    const uint64_t loose = p.loose;
    uint64_t h[kChains];
    const unsigned char *at[kChains];
    for (std::size_t c = 0; c < kChains; ++c) {
        const std::size_t from = begin + c * stretch;
        uint64_t v = 0;
        for (std::size_t i = from >= kWindow - 1 ? from - (kWindow - 1) : 0; i < from; ++i) {
            v = (v << 1) + g[data[i]];
        }
        h[c] = v;
        at[c] = data + from;
    }
    std::vector<uint64_t> found[kChains];
    uint64_t h0 = h[0], h1 = h[1], h2 = h[2], h3 = h[3];
    const unsigned char *p0 = at[0], *p1 = at[1], *p2 = at[2], *p3 = at[3];
    for (std::size_t i = 0; i < stretch; ++i) {
        h0 = (h0 << 1) + g[p0[i]];
        h1 = (h1 << 1) + g[p1[i]];
        h2 = (h2 << 1) + g[p2[i]];
        h3 = (h3 << 1) + g[p3[i]];
        if (__builtin_expect(h0 < loose, 0)) {
            found[0].push_back(static_cast<uint64_t>(p0 + i - data) |
                               (h0 < p.strict ? kStrict : 0));
        }
        if (__builtin_expect(h1 < loose, 0)) {
            found[1].push_back(static_cast<uint64_t>(p1 + i - data) |
                               (h1 < p.strict ? kStrict : 0));
        }
        if (__builtin_expect(h2 < loose, 0)) {
            found[2].push_back(static_cast<uint64_t>(p2 + i - data) |
                               (h2 < p.strict ? kStrict : 0));
        }
        if (__builtin_expect(h3 < loose, 0)) {
            found[3].push_back(static_cast<uint64_t>(p3 + i - data) |
                               (h3 < p.strict ? kStrict : 0));
        }
    }
    for (const auto &f : found) {
        out.insert(out.end(), f.begin(), f.end());
    }
    scan_scalar(p, data, begin + kChains * stretch, end, out);
}

} // namespace veltrane::gear
