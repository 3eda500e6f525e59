// Searches that collapse identical fingerprints first: clusters and the stream of pairs.
// Real corpora repeat lines thousands of times, and m copies are m(m - 1)/2 pairs; searching
// the distinct values costs what the distinct values cost, and only the pair stream expands
// copies again, a batch at a time.
#include "common/hash.hpp"
#include "search/blocks.hpp"
#include "search/hamming.hpp"

#include <algorithm>
#include <functional>
#include <mutex>
#include <numeric>

namespace veltrane::hamming {

namespace {

// Slots hold (low 32 bits of the value) << 32 | (its number + 1); 0 marks an empty slot.
constexpr int kSmallestTableBits = 10;

class DistinctTable {
public:
    // Sized for `expected` distinct values; it grows when more come.
    DistinctTable(std::vector<uint64_t> &values, std::size_t expected) : values_(values) {
        int bits = kSmallestTableBits;
        while ((std::size_t {1} << bits) * 3 < expected * 4) {
            ++bits;
        }
        resize(bits);
    }

    // Fetches the slot where fp is looked for first, ahead of number_of(fp): the lookups are
    // random accesses into a table larger than the caches, and several in flight overlap.
    void prefetch(uint64_t fp) const {
        __builtin_prefetch(&slots_[slot_of(fp)]);
    }

    // The number of fp among the values, appending it when it is new.
    uint32_t number_of(uint64_t fp) {
        const auto tag = static_cast<uint32_t>(fp);
        for (std::size_t s = slot_of(fp);; s = (s + 1) & mask_) {
            const uint64_t slot = slots_[s];
            if (slot == 0) {
                const auto number = static_cast<uint32_t>(values_.size());
                values_.push_back(fp);
                slots_[s] = uint64_t {tag} << 32 | (uint64_t {number} + 1);
                // At most three quarters full: linear probing stays short, and the table
                // stays under 11 bytes per distinct value.
                if (values_.size() * 4 > slots_.size() * 3) {
                    resize(bits_ + 1);
                }
                return number;
            }
            if (static_cast<uint32_t>(slot >> 32) == tag) {
                const auto number = static_cast<uint32_t>(slot) - 1;
                if (values_[number] == fp) {
                    return number;
                }
            }
        }
    }

private:
    // Fibonacci hashing spreads fingerprints that differ only in their high or low bits too.
    std::size_t slot_of(uint64_t fp) const {
        return hash::fibonacci_slot(fp, bits_);
    }

    void resize(int bits) {
        bits_ = bits;
        slots_.assign(std::size_t {1} << bits, 0);
        mask_ = slots_.size() - 1;
        for (std::size_t v = 0; v < values_.size(); ++v) {
            std::size_t s = slot_of(values_[v]);
            while (slots_[s] != 0) {
                s = (s + 1) & mask_;
            }
            slots_[s] = uint64_t {static_cast<uint32_t>(values_[v])} << 32 | (v + 1);
        }
    }

    std::vector<uint64_t> &values_;
    std::vector<uint64_t> slots_;
    std::size_t mask_ = 0;
    int bits_ = 0;
};

} // namespace

Collapsed collapse(const uint64_t *fps, std::size_t n) {
    detail::check_count(n);
    Collapsed out;
    out.group.resize(n);
    // Every value distinct is the common case of a search that finds few pairs; a corpus of
    // many copies pays a table larger than it needs, still linear in n.
    DistinctTable table(out.values, n);
    out.values.reserve(n);
    // 16 lookups ahead: enough to cover the latency of memory with independent loads.
    constexpr std::size_t kAhead = 16;
    for (std::size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) {
            table.prefetch(fps[i + kAhead]);
        }
        const uint32_t number = table.number_of(fps[i]);
        if (number == out.first.size()) {
            out.first.push_back(static_cast<uint32_t>(i));
        }
        out.group[i] = number;
    }
    out.values.shrink_to_fit();
    out.first.shrink_to_fit();
    return out;
}

std::vector<int64_t> cluster_fingerprints(
    const uint64_t *fps, std::size_t n, int max_distance, int threads, Progress *progress) {
    check_max_distance(max_distance);
    threads = detail::worker_count(threads);
    const Collapsed c = collapse(fps, n);
    const std::size_t d = c.values.size();

    // Union-find over the distinct values; the lower root wins, so every root is the value
    // that occurs first in its cluster.
    std::vector<uint32_t> parent(d);
    std::iota(parent.begin(), parent.end(), uint32_t {0});
    auto find = [&](uint32_t x) {
        while (parent[x] != x) {
            parent[x] = parent[parent[x]]; // path halving
            x = parent[x];
        }
        return x;
    };
    // Workers gather edges and join them under the lock a few thousand at a time, so memory
    // stays bounded however many pairs the values form and the lock is rarely contended.
    constexpr std::size_t kEdgeBatch = 4096;
    std::mutex lock;
    std::vector<std::vector<std::pair<uint32_t, uint32_t>>> pending(
        static_cast<std::size_t>(threads));
    auto join = [&](std::vector<std::pair<uint32_t, uint32_t>> &edges) {
        const std::lock_guard<std::mutex> guard(lock);
        for (const auto &[p, q] : edges) {
            const uint32_t a = find(p);
            const uint32_t b = find(q);
            if (a < b) {
                parent[b] = a;
            } else if (b < a) {
                parent[a] = b;
            }
        }
        edges.clear();
    };
    detail::search_blocks(c.values.data(),
                          d,
                          max_distance,
                          threads,
                          progress,
                          [&](std::size_t w, uint32_t p, uint32_t q, int) {
                              auto &edges = pending[w];
                              edges.emplace_back(p, q);
                              if (edges.size() == kEdgeBatch) {
                                  join(edges);
                              }
                          });
    for (auto &edges : pending) {
        join(edges);
    }
    for (std::size_t v = 0; v < d; ++v) {
        parent[v] = find(static_cast<uint32_t>(v));
    }
    std::vector<int64_t> reps(n);
    for (std::size_t i = 0; i < n; ++i) {
        reps[i] = c.first[parent[c.group[i]]];
    }
    return reps;
}

PairStream::PairStream(
    const uint64_t *fps, std::size_t n, int max_distance, int threads, Progress *progress) {
    check_max_distance(max_distance);
    threads = detail::worker_count(threads);
    Collapsed c = collapse(fps, n);
    values_ = std::move(c.values);
    group_ = std::move(c.group);
    std::vector<uint32_t>().swap(c.first);
    const std::size_t d = values_.size();

    // The indices of each value, by a counting sort of the indices by value: in index order
    // within each value.
    search::sort_members(n, d, [&](std::size_t x) { return group_[x]; }, member_starts_, members_);
    passed_.assign(d, 0);

    // The values within the distance of each value, both ways.
    std::vector<std::vector<std::pair<uint32_t, uint32_t>>> found(
        static_cast<std::size_t>(threads));
    detail::search_blocks(
        values_.data(),
        d,
        max_distance,
        threads,
        progress,
        [&](std::size_t w, uint32_t p, uint32_t q, int) { found[w].emplace_back(p, q); });
    near_starts_.assign(d + 1, 0);
    for (const auto &edges : found) {
        for (const auto &[p, q] : edges) {
            ++near_starts_[p + 1];
            ++near_starts_[q + 1];
        }
    }
    std::partial_sum(near_starts_.begin(), near_starts_.end(), near_starts_.begin());
    near_.resize(near_starts_[d]);
    std::vector<std::size_t> fill(near_starts_.begin(), near_starts_.end() - 1);
    for (auto &edges : found) {
        for (const auto &[p, q] : edges) {
            near_[fill[p]++] = q;
            near_[fill[q]++] = p;
            total_ += uint64_t {member_starts_[p + 1] - member_starts_[p]} *
                      (member_starts_[q + 1] - member_starts_[q]);
        }
        std::vector<std::pair<uint32_t, uint32_t>>().swap(edges);
    }
    total_ += search::pairs_within(member_starts_);
}

std::size_t PairStream::next(Pair *out, std::size_t max) {
    const std::size_t written = merge_.next(
        members_.data(),
        group_.size(),
        out,
        max,
        [&](std::size_t item) {
            const uint32_t g = group_[item];
            // The item itself is the first member of its value not yet passed.
            merge_.add(member_starts_[g] + passed_[g] + 1, member_starts_[g + 1], 0);
            for (std::size_t k = near_starts_[g]; k < near_starts_[g + 1]; ++k) {
                const uint32_t h = near_[k];
                merge_.add(member_starts_[h] + passed_[h],
                           member_starts_[h + 1],
                           static_cast<uint8_t>(detail::distance(values_[g], values_[h])));
            }
        },
        [&](std::size_t item) { ++passed_[group_[item]]; });
    emitted_ += written;
    return written;
}

} // namespace veltrane::hamming
