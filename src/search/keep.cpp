#include "search/keep.hpp"

#include <limits>

namespace veltrane::keep {

Kept greedy(std::size_t n,
            const int64_t *rank,
            const int64_t *group,
            const std::vector<Pair> &pairs,
            double self_similarity) {
    // The first text of each group in keep order leads it: the other copies are never kept (the
    // leader, or the text the leader was dropped onto, is an earlier near duplicate of them).
    std::vector<int64_t> leader(n, -1);
    for (std::size_t t = 0; t < n; ++t) {
        int64_t &l = leader[static_cast<std::size_t>(group[t])];
        if (l < 0 || rank[t] < rank[l]) {
            l = static_cast<int64_t>(t);
        }
    }
    // The pairs of each group, both ways, as compressed rows.
    std::vector<std::size_t> start(n + 1, 0);
    for (const Pair &p : pairs) {
        if (p.a != p.b) {
            ++start[static_cast<std::size_t>(p.a) + 1];
            ++start[static_cast<std::size_t>(p.b) + 1];
        }
    }
    for (std::size_t g = 0; g < n; ++g) {
        start[g + 1] += start[g];
    }
    std::vector<int64_t> other(start[n]);
    std::vector<double> sim(start[n]);
    {
        std::vector<std::size_t> fill(start.begin(), start.end() - 1);
        for (const Pair &p : pairs) {
            if (p.a != p.b) {
                std::size_t ka = fill[static_cast<std::size_t>(p.a)]++;
                other[ka] = p.b;
                sim[ka] = p.similarity;
                std::size_t kb = fill[static_cast<std::size_t>(p.b)]++;
                other[kb] = p.a;
                sim[kb] = p.similarity;
            }
        }
    }
    std::vector<int64_t> in_order(n);
    for (std::size_t t = 0; t < n; ++t) {
        in_order[static_cast<std::size_t>(rank[t])] = static_cast<int64_t>(t);
    }
    Kept out;
    out.keeper.assign(n, -1);
    out.similarity.assign(n, self_similarity);
    std::vector<char> kept(n, 0);
    for (std::size_t r = 0; r < n; ++r) {
        const auto t = static_cast<std::size_t>(in_order[r]);
        const auto g = static_cast<std::size_t>(group[t]);
        int64_t best = -1;
        double best_sim = -std::numeric_limits<double>::infinity();
        auto consider = [&](int64_t candidate, double s) {
            if (s > best_sim || (s == best_sim && rank[candidate] < rank[best])) {
                best = candidate;
                best_sim = s;
            }
        };
        const auto own = static_cast<std::size_t>(leader[g]);
        if (own != t && kept[own]) {
            consider(leader[g], self_similarity);
        }
        // Only the leader of a group can be kept; it counts when it came before t.
        for (std::size_t k = start[g]; k < start[g + 1]; ++k) {
            const auto l = static_cast<std::size_t>(leader[static_cast<std::size_t>(other[k])]);
            if (kept[l] && static_cast<std::size_t>(rank[l]) < r) {
                consider(static_cast<int64_t>(l), sim[k]);
            }
        }
        if (best < 0) {
            kept[t] = 1;
            out.keeper[t] = static_cast<int64_t>(t);
        } else {
            out.keeper[t] = best;
            out.similarity[t] = best_sim;
        }
    }
    return out;
}

} // namespace veltrane::keep
