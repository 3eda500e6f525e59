#include "search.hpp"

#include "common/batches.hpp"
#include "text/simhash.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

namespace veltrane::search {

namespace {

// True when x and y agree on no block before `block`: the pair belongs to the lowest block it
// agrees on, so each pair is reported once however many blocks it matches.
bool first_agreeing_block(uint64_t diff, const std::vector<Block> &blocks, std::size_t block) {
    for (std::size_t s = 0; s < block; ++s) {
        if ((diff & blocks[s].mask) == 0) {
            return false;
        }
    }
    return true;
}

int distance(uint64_t x, uint64_t y) {
    return __builtin_popcountll(x ^ y);
}

int worker_count(int threads) {
    if (threads < 1) {
        throw std::invalid_argument("threads must be at least 1, got " + std::to_string(threads));
    }
    return threads;
}

// Positions of the fingerprints ordered by one block's value (ties by index), with the
// offsets at which each run of equal values starts; the last offset is n.
struct BlockOrder {
    std::vector<uint32_t> order;
    std::vector<uint64_t> sorted; // fps in that order, for cache-friendly comparisons
    std::vector<std::size_t> group_starts;
};

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

} // namespace

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

void signatures(const std::vector<std::string_view> &texts, uint64_t *out, int threads) {
    // 64 texts a batch: large enough to make handing out batches cheap, small enough that
    // one long text does not leave the other workers waiting.
    parallel_batches(texts.size(),
                     64,
                     worker_count(threads),
                     [&](std::size_t begin, std::size_t end, std::size_t) {
                         for (std::size_t t = begin; t < end; ++t) {
                             out[t] = SimHash::signature(texts[t]);
                         }
                     });
}

std::vector<Pair> pairs(const uint64_t *fps, std::size_t n, int max_distance, int threads) {
    check_max_distance(max_distance);
    threads = worker_count(threads);
    if (n > std::numeric_limits<uint32_t>::max()) {
        throw std::length_error("at most 2^32 - 1 fingerprints can be searched at once");
    }
    const std::vector<Block> blocks = blocks_for(max_distance);
    std::vector<std::vector<Pair>> found(static_cast<std::size_t>(threads));
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const BlockOrder bo = order_by_block(fps, n, blocks[b]);
        const Block &block = blocks[b];
        const std::size_t groups = bo.group_starts.size();
        // 256 groups a batch: random data gives groups of a handful of fingerprints.
        parallel_batches(groups, 256, threads, [&](std::size_t g0, std::size_t g1, std::size_t w) {
            std::vector<Pair> &mine = found[w];
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
                            mine.push_back({bo.order[p], bo.order[q], static_cast<uint8_t>(d)});
                        }
                    }
                }
            }
        });
    }
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
    const auto first = static_cast<int64_t>(fps_.size());
    const std::vector<Block> blocks = blocks_for(max_distance_);
    fps_.reserve(fps_.size() + n);
    for (std::size_t p = 0; p < n; ++p) {
        const auto id = static_cast<int64_t>(fps_.size());
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            tables_[b][blocks[b].key(fps[p])].push_back(id);
        }
        fps_.push_back(fps[p]);
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
        for (const int64_t id : it->second) {
            const uint64_t other = fps_[static_cast<std::size_t>(id)];
            if (distance(fp, other) <= max_distance_ &&
                first_agreeing_block(fp ^ other, blocks, b)) {
                ids.push_back(id);
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

} // namespace veltrane::search
