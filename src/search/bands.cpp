#include "search/bands.hpp"

#include "common/batches.hpp"
#include "common/hash.hpp"

#include <algorithm>
#include <vector>

namespace veltrane::bands {

namespace {

inline uint64_t band_step(uint64_t h, uint64_t v) {
    h ^= v;
    h *= hash::kGolden;
    return h ^ (h >> 29);
}

} // namespace

template <typename T>
void band_keys(const T *sig,
               std::size_t n,
               std::size_t width,
               std::size_t bands,
               std::size_t rows,
               int threads,
               uint64_t *out) {
    parallel_batches(n, 1 << 12, threads, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t x = begin; x < end; ++x) {
            const T *row = sig + x * width;
            for (std::size_t b = 0; b < bands; ++b) {
                uint64_t h = rows;
                for (std::size_t k = 0; k < rows; ++k) {
                    h = band_step(h, static_cast<uint64_t>(row[b * rows + k]));
                }
                out[b * n + x] = hash::mix64(h);
            }
        }
    });
}

void row_keys(const uint32_t *sig,
              std::size_t n,
              std::size_t width,
              std::size_t bands,
              std::size_t rows,
              uint64_t *out,
              std::size_t stride) {
    constexpr std::size_t kTogether = 4;
    std::size_t x = 0;
    for (; x + kTogether <= n; x += kTogether) {
        const uint32_t *r = sig + x * width;
        for (std::size_t b = 0; b < bands; ++b) {
            uint64_t h0 = rows, h1 = rows, h2 = rows, h3 = rows;
            for (std::size_t k = b * rows; k < (b + 1) * rows; ++k) {
                h0 = band_step(h0, r[k]);
                h1 = band_step(h1, r[width + k]);
                h2 = band_step(h2, r[2 * width + k]);
                h3 = band_step(h3, r[3 * width + k]);
            }
            uint64_t *o = out + x * stride + b;
            o[0] = hash::mix64(h0);
            o[stride] = hash::mix64(h1);
            o[2 * stride] = hash::mix64(h2);
            o[3 * stride] = hash::mix64(h3);
        }
    }
    for (; x < n; ++x) {
        const uint32_t *r = sig + x * width;
        for (std::size_t b = 0; b < bands; ++b) {
            uint64_t h = rows;
            for (std::size_t k = b * rows; k < (b + 1) * rows; ++k) {
                h = band_step(h, r[k]);
            }
            out[x * stride + b] = hash::mix64(h);
        }
    }
}

template void
band_keys(const uint32_t *, std::size_t, std::size_t, std::size_t, std::size_t, int, uint64_t *);
template void
band_keys(const uint64_t *, std::size_t, std::size_t, std::size_t, std::size_t, int, uint64_t *);

namespace {

struct Entry {
    uint64_t key;
    int64_t doc;
    bool operator<(const Entry &o) const {
        return key != o.key ? key < o.key : doc < o.doc;
    }
};

// Least significant digit first, 11 bits a pass (2,048 counters stay in the first-level
// cache): six passes over the 64-bit keys. Each pass is stable, so docs that arrive in
// increasing order stay so among equal keys.
void radix_sort(std::vector<Entry> &entries, std::vector<Entry> &spare) {
    constexpr int kBits = 11;
    constexpr std::size_t kBuckets = std::size_t {1} << kBits;
    spare.resize(entries.size());
    std::vector<std::size_t> counts(kBuckets);
    for (int shift = 0; shift < 64; shift += kBits) {
        std::fill(counts.begin(), counts.end(), 0);
        for (const Entry &e : entries) {
            ++counts[(e.key >> shift) & (kBuckets - 1)];
        }
        // A digit all keys share moves nothing.
        if (counts[(entries[0].key >> shift) & (kBuckets - 1)] == entries.size()) {
            continue;
        }
        std::size_t sum = 0;
        for (std::size_t &c : counts) {
            const std::size_t here = c;
            c = sum;
            sum += here;
        }
        for (const Entry &e : entries) {
            spare[counts[(e.key >> shift) & (kBuckets - 1)]++] = e;
        }
        entries.swap(spare);
    }
}

} // namespace

void sort_bands(uint64_t *keys, int64_t *docs, std::size_t bands, std::size_t m, int threads) {
    // A worker's two buffers serve all its bands: fresh ones for each band cost their pages
    // again (a run of 1.6 million texts: 21 times 51 MB faulted in and zeroed).
    const auto workers = static_cast<std::size_t>(std::max(1, threads));
    std::vector<std::vector<Entry>> held(workers), spares(workers);
    parallel_batches(bands, 1, threads, [&](std::size_t b, std::size_t, std::size_t worker) {
        uint64_t *k = keys + b * m;
        int64_t *d = docs + b * m;
        if (m == 0) {
            return;
        }
        std::vector<Entry> &entries = held[worker];
        entries.resize(m);
        bool ascending = true;
        for (std::size_t x = 0; x < m; ++x) {
            entries[x] = {k[x], d[x]};
            ascending = ascending && (x == 0 || d[x - 1] < d[x]);
        }
        // Docs in order (every caller's case) need only the stable sort by key.
        if (ascending && m > 256) {
            radix_sort(entries, spares[worker]);
        } else {
            std::sort(entries.begin(), entries.end());
        }
        for (std::size_t x = 0; x < m; ++x) {
            k[x] = entries[x].key;
            d[x] = entries[x].doc;
        }
    });
}

} // namespace veltrane::bands
