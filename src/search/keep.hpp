// Which text is kept in place of which: the greedy rule that never drops a text for a chain of
// near duplicates. Texts are taken in keep order; a text with a near duplicate already kept is
// dropped onto the most similar one (ties to the earliest in keep order), else it is kept. So
// every dropped text is a near duplicate of its keeper, and no two kept texts are near
// duplicates of each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrane::keep {

struct Pair {
    int64_t a, b; // groups
    double similarity;
};

struct Kept {
    std::vector<int64_t> keeper;    // per text: the text kept in its place (itself when kept)
    std::vector<double> similarity; // per text: the similarity to its keeper
};

// `rank[t]`: the position of text t in keep order (a permutation of 0..n-1). `group[t]`: the
// group of copies t belongs to, in 0..n-1 (identical texts share a group and pair with each
// other at `self_similarity`; pass group[t] = t when there are none); pairs join groups.
// Pairs may come in any order and repeat; a pair within one group is ignored. Callers check
// the ranges.
Kept greedy(std::size_t n,
            const int64_t *rank,
            const int64_t *group,
            const std::vector<Pair> &pairs,
            double self_similarity);

} // namespace veltrane::keep
