// Near duplicates by Hamming distance between 64-bit SimHash fingerprints: batch
// fingerprints, an exact Hamming-radius pair search, an incremental index, and clusters.
#pragma once

#include "search/merge_runs.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace veltrane::hamming {

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

// How far a long search has got, read by another thread while it runs. Setting `cancel` makes
// the search skip its remaining work and throw Cancelled.
struct Progress {
    std::atomic<uint64_t> done {0};
    std::atomic<uint64_t> total {0};
    std::atomic<bool> cancel {false};
};

struct Cancelled : std::runtime_error {
    Cancelled() : std::runtime_error("the search was cancelled") {}
};

// The 64-bit SimHash fingerprint of every text, spread over `threads` worker threads.
// Callers must keep the texts alive and unchanged for the duration of the call.
void fingerprints(const std::vector<std::string_view> &texts, uint64_t *out, int threads);
// The same of each text's words (text::words) joined by
// single spaces, so that case, punctuation and runs of spaces no longer count.
void word_fingerprints(const std::vector<std::string_view> &texts, uint64_t *out, int threads);

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

// Identical fingerprints collapsed onto one entry per distinct value. Distinct values are
// numbered in the order of their first occurrence, so a lower number means a lower first
// index, and a search among the values finds pairs whose first indices come in the same order.
struct Collapsed {
    std::vector<uint64_t> values; // each distinct fingerprint once
    std::vector<uint32_t> first;  // the index of its first occurrence
    std::vector<uint32_t> group;  // for each input, the number of its value
};

Collapsed collapse(const uint64_t *fps, std::size_t n);

// For each of the n fingerprints the lowest index in its cluster (the connected components
// of the pairs within max_distance), as clusters(n, pairs(...)) gives, found on the distinct
// values without forming pairs. Memory is linear in n whatever the number of pairs.
std::vector<int64_t> cluster_fingerprints(
    const uint64_t *fps, std::size_t n, int max_distance, int threads, Progress *progress);

// The pairs of pairs(), produced a batch at a time in the same order from the distinct values:
// m copies of one value cost m entries, not their m(m - 1)/2 pairs, until the pairs are asked
// for. The search among distinct values runs in the constructor.
class PairStream {
public:
    PairStream(const uint64_t *fps,
               std::size_t n,
               int max_distance,
               int threads,
               Progress *progress = nullptr);

    // Writes up to `max` next pairs to out and returns how many; 0 once all were written.
    std::size_t next(Pair *out, std::size_t max);
    // How many pairs there are in all (they may not fit an int64 product; they fit uint64
    // since n < 2^32).
    uint64_t total() const {
        return total_;
    }
    uint64_t remaining() const {
        return total_ - emitted_;
    }
    // Fingerprints whose pairs as the first item have all been written.
    std::size_t position() const {
        return merge_.item();
    }
    std::size_t size() const {
        return group_.size();
    }

private:
    std::vector<uint64_t> values_;
    std::vector<uint32_t> group_;
    std::vector<std::size_t> member_starts_; // per value, into members_; one more at the end
    std::vector<uint32_t> members_;          // indices grouped by value, increasing in each
    std::vector<uint32_t> passed_;           // per value: its members before the current item
    std::vector<std::size_t> near_starts_;   // per value, into near_; one more at the end
    std::vector<uint32_t> near_;             // the other values within the distance
    uint64_t total_ = 0;
    uint64_t emitted_ = 0;
    // The current item's partners: runs of members at their distance.
    search::RunMerge<uint32_t, uint8_t> merge_;
};

// An index that grows: fingerprints get ids 0, 1, 2... in the order they were added. Each
// distinct fingerprint is stored once; adding it again appends one id to its list.
class Index {
public:
    explicit Index(int max_distance);

    int max_distance() const {
        return max_distance_;
    }
    std::size_t size() const {
        return size_;
    }
    std::size_t distinct() const {
        return values_.size();
    }
    // Adds the fingerprints and returns the id of the first.
    int64_t add(const uint64_t *fps, std::size_t n);
    // Ids of the indexed fingerprints within the distance of fp, in increasing order.
    std::vector<int64_t> query(uint64_t fp) const;

private:
    int max_distance_;
    std::size_t size_ = 0;
    std::vector<uint64_t> values_;              // distinct fingerprints
    std::vector<int64_t> first_;                // the first id of each
    std::unordered_map<uint64_t, uint32_t> of_; // fingerprint -> its number in values_
    // Ids after the first, only for values added more than once.
    std::unordered_map<uint32_t, std::vector<int64_t>> repeats_;
    // One table per block: block value -> numbers of the distinct values with that value.
    std::vector<std::unordered_map<uint64_t, std::vector<uint32_t>>> tables_;
};

// For each of n items the lowest index in its connected component of the pair graph.
// Throws std::out_of_range for an index outside [0, n).
std::vector<int64_t>
clusters(std::size_t n, const int64_t *i, const int64_t *j, std::size_t pair_count);

} // namespace veltrane::hamming
