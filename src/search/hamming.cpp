#include "search/hamming.hpp"

#include "common/batches.hpp"
#include "search/blocks.hpp"
#include "text/simhash.hpp"
#include "text/words.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

namespace veltrane::hamming {

namespace detail {

int worker_count(int threads) {
    if (threads < 1) {
        throw std::invalid_argument("threads must be at least 1, got " + std::to_string(threads));
    }
    return threads;
}

void check_count(std::size_t n) {
    if (n > std::numeric_limits<uint32_t>::max()) {
        throw std::length_error("at most 2^32 - 1 fingerprints can be searched at once");
    }
}

BlockOrder order_by_block(const uint64_t *fps, std::size_t n, const Block &block) {
    BlockOrder out;
    out.order.resize(n);
    // Up to 2^20 values a counting sort is one pass over the data; wider blocks (only at
    // distances 0 and 1) sort by comparison.
    if (block.width <= 20) {
        std::vector<uint32_t> counts((std::size_t {1} << block.width) + 1, 0);
        for (std::size_t p = 0; p < n; ++p) {
            ++counts[block.key(fps[p]) + 1];
        }
        for (std::size_t v = 1; v < counts.size(); ++v) {
            counts[v] += counts[v - 1];
        }
        std::vector<uint32_t> fill(counts.begin(), counts.end() - 1);
        for (std::size_t p = 0; p < n; ++p) {
            out.order[fill[block.key(fps[p])]++] = static_cast<uint32_t>(p);
        }
    } else {
        for (std::size_t p = 0; p < n; ++p) {
            out.order[p] = static_cast<uint32_t>(p);
        }
        std::stable_sort(out.order.begin(), out.order.end(), [&](uint32_t a, uint32_t b) {
            return block.key(fps[a]) < block.key(fps[b]);
        });
    }
    out.sorted.resize(n);
    for (std::size_t p = 0; p < n; ++p) {
        out.sorted[p] = fps[out.order[p]];
    }
    for (std::size_t p = 0; p < n; ++p) {
        if (p == 0 || block.key(out.sorted[p]) != block.key(out.sorted[p - 1])) {
            // Singletons pair with nothing; leaving them out keeps the batches busy.
            if (p + 1 < n && block.key(out.sorted[p]) == block.key(out.sorted[p + 1])) {
                out.group_starts.push_back(p);
            }
        }
    }
    return out;
}

} // namespace detail

void check_max_distance(int max_distance) {
    if (max_distance < 0 || max_distance > kMaxDistance) {
        throw std::invalid_argument("max_distance must be from 0 to " +
                                    std::to_string(kMaxDistance) + ", got " +
                                    std::to_string(max_distance));
    }
}

std::vector<Block> blocks_for(int max_distance) {
    const int count = max_distance + 1;
    std::vector<Block> blocks;
    int shift = 0;
    for (int b = 0; b < count; ++b) {
        const int width = 64 / count + (b < 64 % count ? 1 : 0);
        const uint64_t low = width == 64 ? ~uint64_t {0} : (uint64_t {1} << width) - 1;
        blocks.push_back({shift, width, low << shift});
        shift += width;
    }
    return blocks;
}

void fingerprints(const std::vector<std::string_view> &texts, uint64_t *out, int threads) {
    // 64 texts a batch: large enough to make handing out batches cheap, small enough that
    // one long text does not leave the other workers waiting.
    parallel_batches(texts.size(),
                     64,
                     detail::worker_count(threads),
                     [&](std::size_t begin, std::size_t end, std::size_t) {
                         for (std::size_t t = begin; t < end; ++t) {
                             out[t] = SimHash::fingerprint64(texts[t]);
                         }
                     });
}

void word_fingerprints(const std::vector<std::string_view> &texts, uint64_t *out, int threads) {
    parallel_batches(texts.size(),
                     64,
                     detail::worker_count(threads),
                     [&](std::size_t begin, std::size_t end, std::size_t) {
                         std::string joined;
                         for (std::size_t t = begin; t < end; ++t) {
                             joined.clear();
                             for (const std::string &word : text::words(texts[t])) {
                                 if (!joined.empty()) { // words are never empty
                                     joined += ' ';
                                 }
                                 joined += word;
                             }
                             out[t] = SimHash::fingerprint64(joined);
                         }
                     });
}

std::vector<Pair> pairs(const uint64_t *fps, std::size_t n, int max_distance, int threads) {
    check_max_distance(max_distance);
    threads = detail::worker_count(threads);
    std::vector<std::vector<Pair>> found(static_cast<std::size_t>(threads));
    detail::search_blocks(
        fps, n, max_distance, threads, nullptr, [&](std::size_t w, uint32_t p, uint32_t q, int d) {
            found[w].push_back({p, q, static_cast<uint8_t>(d)});
        });
    std::vector<Pair> all;
    std::size_t total = 0;
    for (const auto &f : found) {
        total += f.size();
    }
    all.reserve(total);
    for (auto &f : found) {
        all.insert(all.end(), f.begin(), f.end());
        std::vector<Pair>().swap(f);
    }
    std::sort(all.begin(), all.end(), [](const Pair &a, const Pair &b) {
        return a.i != b.i ? a.i < b.i : a.j < b.j;
    });
    return all;
}

Index::Index(int max_distance) : max_distance_(max_distance) {
    check_max_distance(max_distance);
    tables_.resize(static_cast<std::size_t>(max_distance) + 1);
}

int64_t Index::add(const uint64_t *fps, std::size_t n) {
    const auto first = static_cast<int64_t>(size_);
    const std::vector<Block> blocks = blocks_for(max_distance_);
    for (std::size_t p = 0; p < n; ++p) {
        const auto id = static_cast<int64_t>(size_);
        const auto known = of_.find(fps[p]);
        if (known != of_.end()) {
            repeats_[known->second].push_back(id);
        } else {
            detail::check_count(values_.size() + 1);
            const auto number = static_cast<uint32_t>(values_.size());
            values_.push_back(fps[p]);
            first_.push_back(id);
            for (std::size_t b = 0; b < blocks.size(); ++b) {
                tables_[b][blocks[b].key(fps[p])].push_back(number);
            }
            of_.emplace(fps[p], number);
        }
        // Counted one by one, so that ids stay those of the fingerprints added should an
        // allocation fail part of the way.
        ++size_;
    }
    return first;
}

std::vector<int64_t> Index::query(uint64_t fp) const {
    const std::vector<Block> blocks = blocks_for(max_distance_);
    std::vector<int64_t> ids;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const auto it = tables_[b].find(blocks[b].key(fp));
        if (it == tables_[b].end()) {
            continue;
        }
        for (const uint32_t v : it->second) {
            const uint64_t other = values_[v];
            if (detail::distance(fp, other) <= max_distance_ &&
                detail::first_agreeing_block(fp ^ other, blocks, b)) {
                ids.push_back(first_[v]);
                const auto more = repeats_.find(v);
                if (more != repeats_.end()) {
                    ids.insert(ids.end(), more->second.begin(), more->second.end());
                }
            }
        }
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<int64_t>
clusters(std::size_t n, const int64_t *i, const int64_t *j, std::size_t pair_count) {
    std::vector<int64_t> parent(n);
    for (std::size_t x = 0; x < n; ++x) {
        parent[x] = static_cast<int64_t>(x);
    }
    auto find = [&](int64_t x) {
        while (parent[x] != x) {
            parent[x] = parent[parent[x]]; // path halving
            x = parent[x];
        }
        return x;
    };
    const auto limit = static_cast<int64_t>(n);
    for (std::size_t p = 0; p < pair_count; ++p) {
        if (i[p] < 0 || i[p] >= limit || j[p] < 0 || j[p] >= limit) {
            throw std::out_of_range("pair " + std::to_string(p) + " (" + std::to_string(i[p]) +
                                    ", " + std::to_string(j[p]) + ") names an item outside 0.." +
                                    std::to_string(limit - 1));
        }
        const int64_t a = find(i[p]);
        const int64_t b = find(j[p]);
        // The lower root wins, so every root is the lowest index of its cluster.
        if (a < b) {
            parent[b] = a;
        } else if (b < a) {
            parent[a] = b;
        }
    }
    for (std::size_t x = 0; x < n; ++x) {
        parent[x] = find(static_cast<int64_t>(x));
    }
    return parent;
}

} // namespace veltrane::hamming
