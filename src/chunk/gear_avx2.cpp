// The kernels for processors with AVX2 but not AVX-512. A gather of 64-bit table entries costs
// more than the scalar loads it replaces, so both stay in general registers.
//
// cut_serial walks chunk by chunk like the literal loop, but skips the bytes that no tested
// hash sees and tests each stretch against its own threshold, so it hashes only about
// (mean - min_size + 64) / mean of the bytes. It rolls four bytes a step with the hash's
// own dependency chain shortened (roll4); walking four lanes at once (as the AVX-512 walk
// does) measured no faster on Zen 3, and a gather or a table lookup built of byte shuffles
// costs more than the two loads a byte it replaces. On threads, each walks its own part
// (walk_part) and the stitch joins them; scan_avx2 finds the candidates of a range for the
// bulk path: four stretches rolled in one loop, so that the four dependency chains (a shift
// and an add per byte) overlap.
#include "chunk/gear.hpp"

#include <algorithm>

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

namespace {

// How far ahead of the walk a line is fetched, one line every 64 bytes walked. Left to the
// hardware prefetcher, which starts over after every skip of min_size - 64 bytes and even on
// long runs did not keep far enough ahead, the walk waited on memory: on 256 MiB of random
// bytes (Intel Xeon, one thread) it ran at 2.5 / 2.4 / 2.1 GB/s at 2 / 8 / 64 KiB, and at
// 3.0 / 3.3 / 3.5 with lines fetched ahead; any distance from 1 to 6 KiB gave the same.
constexpr std::size_t kPrefetchAhead = 2048;

// Rolls h on over the four bytes at p. True at the first of them whose hash is below
// threshold, with h that hash and k its offset; else h is the hash after the fourth.
//
// Rolled byte by byte, the hash is a chain of one shift-and-add (a lea) a byte, and on cores
// that load three times a cycle that chain, not the loads, bounds the walk. Here each pair of
// table entries is combined off the chain, which is then two leas every four bytes:
// h -> a2 = 4h + (2 g0 + g1) -> a4 = 4 a2 + (2 g2 + g3), with a1 and a3 hanging off it. The
// empty asm keeps the compiler from folding the pairs back into the chain (GCC 12 does,
// into three leas).
inline bool
roll4(const uint64_t *g, const unsigned char *p, uint64_t &h, uint64_t threshold, std::size_t &k) {
    const uint64_t g0 = g[p[0]], g1 = g[p[1]], g2 = g[p[2]], g3 = g[p[3]];
    uint64_t u = (g0 << 1) + g1, v = (g2 << 1) + g3;
    asm("" : "+r"(u), "+r"(v));
    const uint64_t a1 = (h << 1) + g0;
    const uint64_t a2 = (h << 2) + u;
    const uint64_t a3 = (a2 << 1) + g2;
    const uint64_t a4 = (a2 << 2) + v;
    if (__builtin_expect(a1 < threshold, 0)) {
        return h = a1, k = 0, true;
    }
    if (__builtin_expect(a2 < threshold, 0)) {
        return h = a2, k = 1, true;
    }
    if (__builtin_expect(a3 < threshold, 0)) {
        return h = a3, k = 2, true;
    }
    h = a4;
    k = 3;
    return __builtin_expect(a4 < threshold, 0);
}

// The first j in [from, to) whose hash, rolled on from h, is below threshold; `to` when none.
inline std::size_t first_below(const uint64_t *g,
                               const unsigned char *data,
                               std::size_t from,
                               std::size_t to,
                               uint64_t &h,
                               uint64_t threshold) {
    std::size_t j = from, k;
    for (; j + 64 <= to; j += 64) {
        // An address, not a pointer: the line ahead may lie past the data (a prefetch never
        // faults), where a pointer may not point.
        __builtin_prefetch(reinterpret_cast<const void *>(reinterpret_cast<uintptr_t>(data) + j +
                                                          kPrefetchAhead));
        for (std::size_t t = 0; t < 64; t += 4) {
            if (roll4(g, data + j + t, h, threshold, k)) {
                return j + t + k;
            }
        }
    }
    for (; j + 4 <= to; j += 4) {
        if (roll4(g, data + j, h, threshold, k)) {
            return j + k;
        }
    }
    for (; j < to; ++j) {
        h = (h << 1) + g[data[j]];
        if (h < threshold) {
            return j;
        }
    }
    return to;
}

} // namespace

namespace {

// The chunk ends of a chunking that begins at `start`, appended to `ends` up to and including
// the first at or past `stop` (or the end of the data).
void walk(const GearCDC &c,
          const unsigned char *data,
          std::size_t size,
          std::size_t start,
          std::size_t stop,
          std::vector<int64_t> &ends) {
    const uint64_t *g = c.table().g;
    while (start < size) {
        std::size_t end = size;
        if (size - start > c.min_size()) {
            const std::size_t limit = start + std::min<uint64_t>(size - start, c.max_size());
            const std::size_t first = start + c.min_size() - 1;
            const std::size_t loose_from = std::min(start + c.avg_size() - 1, limit);
            // The window before the first tested position, rolled four bytes a step (no hash
            // is below 0, so nothing is found).
            uint64_t h = 0;
            first_below(g, data, first + 1 - kWindow, first, h, 0);
            std::size_t j = first_below(g, data, first, loose_from, h, c.strict_threshold());
            if (j == loose_from) {
                j = first_below(g, data, loose_from, limit, h, c.loose_threshold());
            }
            end = j == limit ? limit : j + 1;
        }
        ends.push_back(static_cast<int64_t>(end));
        if (end >= stop) {
            break;
        }
        start = end;
    }
}

} // namespace

std::vector<int64_t> cut_serial(const GearCDC &c, const unsigned char *data, std::size_t size) {
    std::vector<int64_t> ends;
    walk(c, data, size, 0, size, ends);
    return ends;
}

void walk_part(const GearCDC &c,
               const unsigned char *data,
               std::size_t size,
               std::size_t begin,
               std::size_t end,
               std::vector<LaneRun> &runs) {
    LaneRun run {begin, {}};
    walk(c, data, size, begin, end, run.cuts);
    runs.push_back(std::move(run));
}

} // namespace veltrane::gear
