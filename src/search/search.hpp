// Near-duplicate search over 64-bit SimHash fingerprints: batch fingerprints, an exact
// Hamming-radius pair search, an incremental index, and clusters of near duplicates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace veltrane::search {

// The largest radius the block tables support: k + 1 blocks must each keep a few bits, or
// every block matches everything and the search degenerates into comparing all pairs.
constexpr int kMaxDistance = 16;

// Throws std::invalid_argument naming the supported range.
void check_max_distance(int max_distance);

// One block of the pigeonhole search: `width` contiguous bits of a fingerprint from bit `shift`.
struct Block {
    int shift;
    int width;
    uint64_t mask; // the block's bits in place

    uint64_t key(uint64_t fp) const {
        return (fp & mask) >> shift;
    }
};

// The 64 bits cut into max_distance + 1 contiguous blocks from bit 0 upward, the first
// 64 % (max_distance + 1) of them one bit wider than the rest. Every search of this library
// cuts them so, the Dask one included (through the binding). Expects a checked max_distance.
std::vector<Block> blocks_for(int max_distance);

// The 64-bit SimHash signature of every text, spread over `threads` worker threads.
// Callers must keep the texts alive and unchanged for the duration of the call.
void signatures(const std::vector<std::string_view> &texts, uint64_t *out, int threads);

struct Pair {
    int64_t i;
    int64_t j;
    uint8_t distance;
};

// Every pair i < j whose fingerprints differ in at most max_distance bits, sorted by (i, j).
// Pigeonhole: split the 64 bits into max_distance + 1 blocks; two fingerprints within the
// distance agree exactly on at least one block. Each block's table groups equal block values;
// a pair is checked inside its groups and reported only by the lowest block it agrees on.
std::vector<Pair> pairs(const uint64_t *fps, std::size_t n, int max_distance, int threads);

// An index that grows: fingerprints get ids 0, 1, 2... in the order they were added.
class Index {
public:
    explicit Index(int max_distance);

    int max_distance() const {
        return max_distance_;
    }
    std::size_t size() const {
        return fps_.size();
    }
    // Adds the fingerprints and returns the id of the first.
    int64_t add(const uint64_t *fps, std::size_t n);
    // Ids of the indexed fingerprints within the distance of fp, in increasing order.
    std::vector<int64_t> query(uint64_t fp) const;

private:
    int max_distance_;
    std::vector<uint64_t> fps_;
    // One table per block: block value -> ids with that value.
    std::vector<std::unordered_map<uint64_t, std::vector<int64_t>>> tables_;
};

// For each of n items the lowest index in its connected component of the pair graph.
// Throws std::out_of_range for an index outside [0, n).
std::vector<int64_t>
clusters(std::size_t n, const int64_t *i, const int64_t *j, std::size_t pair_count);

} // namespace veltrane::search
