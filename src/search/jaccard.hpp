// Near duplicates by Jaccard similarity: exact duplicates grouped, candidate pairs from the
// bands of MinHash signatures, and candidates verified by the exact Jaccard of their shingle
// sets or by the signatures' estimate.
//
// Signatures are rows of `width` values (uint32_t or uint64_t) stored one after another; a
// shingle set is a sorted array of distinct 64-bit shingle hashes, and many of them are given
// as one array of values with offsets (set k is values[offsets[k] .. offsets[k + 1])).
#pragma once

#include "search/merge_runs.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace veltrane::jaccard {

struct Candidate {
    int64_t i;
    int64_t j;
};

struct Scored {
    int64_t i;
    int64_t j;
    double similarity;
};

// For each of the n rows, the lowest index of a row with the same `width` values.
template <typename T>
std::vector<int64_t> group_rows(const T *sig, std::size_t n, std::size_t width, int threads);

// Shingle sets of the items `ids` (m of them, set k belonging to ids[k]), grouped within the
// classes `classes` gives them (classes[k] is any label, e.g. a row group): for each k, the
// lowest id among the items of the same class whose sets are identical.
std::vector<int64_t> group_sets(const int64_t *ids,
                                const int64_t *classes,
                                std::size_t m,
                                const int64_t *offsets,
                                const uint64_t *values);

// Every pair of the m rows `ids` (increasing) whose signatures agree on all `rows` values of
// at least one of `bands` bands (band b is values [b * rows, (b + 1) * rows) of a row), as
// (ids[p], ids[q]) with ids[p] < ids[q], each pair once, sorted. bands * rows <= width.
template <typename T>
std::vector<Candidate> band_candidates(const T *sig,
                                       std::size_t width,
                                       const int64_t *ids,
                                       std::size_t m,
                                       int bands,
                                       int rows,
                                       int threads);

// Exact Jaccard similarity of two sorted arrays of distinct values; two empty sets are 1.
double similarity(const uint64_t *a, std::size_t na, const uint64_t *b, std::size_t nb);

// The exact Jaccard similarity of the shingle sets of texts[a[k]] and texts[b[k]] for each of
// the `pairs` pairs, on `threads` threads. The sets are made as the pairs need them and never
// held together: pairs in order of a, as candidates come, make each a's set once.
std::vector<double> pair_similarities(const std::vector<std::string_view> &texts,
                                      const int64_t *a,
                                      const int64_t *b,
                                      std::size_t pairs,
                                      std::size_t ngram,
                                      int threads);

// The Jaccard similarity of each candidate's two sets. A candidate's ids index the sets
// through `slot`: the set of item x is number slot[x] in offsets/values.
std::vector<double> verify_exact(const std::vector<Candidate> &candidates,
                                 const int64_t *slot,
                                 const int64_t *offsets,
                                 const uint64_t *values,
                                 int threads);

// The share of equal values in each candidate's two signature rows.
template <typename T>
std::vector<double> verify_estimate(const std::vector<Candidate> &candidates,
                                    const T *sig,
                                    std::size_t width,
                                    int threads);

// Pairs between group representatives (`reps[x]` is the representative of x, the lowest index
// of its group) expanded to pairs between all members, plus every pair within a group at
// similarity 1; sorted by (i, j).
std::vector<Scored> expand(const int64_t *reps, std::size_t n, const std::vector<Scored> &pairs);

// The pairs of expand(), produced a batch at a time in the same order: m members of a group
// cost m entries, not their m(m - 1)/2 pairs, until the pairs are asked for. Memory is linear
// in n and in the number of pairs between representatives.
class ExpandStream {
public:
    ExpandStream(const int64_t *reps, std::size_t n, const std::vector<Scored> &pairs);

    // Writes up to `max` next pairs to out and returns how many; 0 once all were written.
    std::size_t next(Scored *out, std::size_t max);
    uint64_t total() const {
        return total_;
    }
    uint64_t remaining() const {
        return total_ - emitted_;
    }

private:
    std::vector<int64_t> reps_;
    std::vector<std::size_t> member_starts_;       // per item, into members_; one more at the end
    std::vector<int64_t> members_;                 // items grouped by representative, increasing
    std::vector<std::size_t> passed_;              // per representative: members before the item
    std::vector<std::size_t> near_starts_;         // per item, into near_; one more at the end
    std::vector<std::pair<int64_t, double>> near_; // the other representatives paired with it
    uint64_t total_ = 0;
    uint64_t emitted_ = 0;
    // The current item's partners: runs of members at their similarity.
    search::RunMerge<int64_t, double> merge_;
};

} // namespace veltrane::jaccard
