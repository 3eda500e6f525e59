// The pigeonhole block search shared by the pair search, the clusters and the index: internal
// to src/search.
#pragma once

#include "common/batches.hpp"
#include "search/hamming.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrane::hamming::detail {

// True when x and y agree on no block before `block`: the pair belongs to the lowest block it
// agrees on, so each pair is reported once however many blocks it matches.
inline bool
first_agreeing_block(uint64_t diff, const std::vector<Block> &blocks, std::size_t block) {
    for (std::size_t s = 0; s < block; ++s) {
        if ((diff & blocks[s].mask) == 0) {
            return false;
        }
    }
    return true;
}

inline int distance(uint64_t x, uint64_t y) {
    return __builtin_popcountll(x ^ y);
}

// Positions of the fingerprints ordered by one block's value (ties by index), with the
// offsets at which each run of equal values starts; the last offset is n.
struct BlockOrder {
    std::vector<uint32_t> order;
    std::vector<uint64_t> sorted; // fps in that order, for cache-friendly comparisons
    std::vector<std::size_t> group_starts;
};

BlockOrder order_by_block(const uint64_t *fps, std::size_t n, const Block &block);

// threads, or std::invalid_argument when it is below 1.
int worker_count(int threads);

// Throws std::length_error when n does not fit the 32-bit positions of the block tables.
void check_count(std::size_t n);

// Calls emit(worker, p, q, distance) for every pair p < q of the n fingerprints within
// max_distance bits, on `threads` threads (worker in [0, threads)), in no particular order.
// With `progress`, its total is blocks * n and done advances as groups are searched; once its
// `cancel` is set, the remaining groups are skipped and Cancelled is thrown.
template <typename Emit>
void search_blocks(const uint64_t *fps,
                   std::size_t n,
                   int max_distance,
                   int threads,
                   Progress *progress,
                   Emit &&emit) {
    check_max_distance(max_distance);
    check_count(n);
    const std::vector<Block> blocks = blocks_for(max_distance);
    if (progress != nullptr) {
        progress->total.store(blocks.size() * n);
        progress->done.store(0);
    }
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        if (progress != nullptr && progress->cancel.load()) {
            throw Cancelled();
        }
        const BlockOrder bo = order_by_block(fps, n, blocks[b]);
        const Block &block = blocks[b];
        const std::size_t groups = bo.group_starts.size();
        // 256 groups a batch: random data gives groups of a handful of fingerprints.
        parallel_batches(groups, 256, threads, [&](std::size_t g0, std::size_t g1, std::size_t w) {
            if (progress != nullptr && progress->cancel.load(std::memory_order_relaxed)) {
                return;
            }
            std::size_t searched = 0;
            for (std::size_t g = g0; g < g1; ++g) {
                const std::size_t start = bo.group_starts[g];
                const uint64_t key = block.key(bo.sorted[start]);
                std::size_t end = start + 1;
                while (end < n && block.key(bo.sorted[end]) == key) {
                    ++end;
                }
                for (std::size_t p = start; p < end; ++p) {
                    const uint64_t x = bo.sorted[p];
                    for (std::size_t q = p + 1; q < end; ++q) {
                        const int d = distance(x, bo.sorted[q]);
                        if (d <= max_distance &&
                            first_agreeing_block(x ^ bo.sorted[q], blocks, b)) {
                            // The order is stable, so order[p] < order[q].
                            emit(w, bo.order[p], bo.order[q], d);
                        }
                    }
                }
                searched += end - start;
            }
            if (progress != nullptr) {
                progress->done.fetch_add(searched, std::memory_order_relaxed);
            }
        });
        if (progress != nullptr) {
            // Fingerprints alone with their block value were never in a batch.
            progress->done.store((b + 1) * n);
        }
    }
    if (progress != nullptr && progress->cancel.load()) {
        throw Cancelled();
    }
}

} // namespace veltrane::hamming::detail
