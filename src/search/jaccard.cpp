#include "search/jaccard.hpp"

#include "common/batches.hpp"
#include "common/hash.hpp"
#include "text/minhash.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>
#include <stdexcept>
#include <string>

namespace veltrane::jaccard {

namespace {

using hash::kGolden;

// A hash of `count` values. Equal hashes are only candidates: every user compares the values.
template <typename T> uint64_t hash_values(const T *v, std::size_t count) {
    uint64_t h = count;
    for (std::size_t k = 0; k < count; ++k) {
        h = (h ^ static_cast<uint64_t>(v[k])) * kGolden;
        h ^= h >> 29;
    }
    // Hashes that differ only in low bits still spread over the whole sort key.
    return hash::mix64(h);
}

template <typename T> bool equal_values(const T *a, const T *b, std::size_t count) {
    return std::memcmp(a, b, count * sizeof(T)) == 0;
}

void check_threads(int threads) {
    if (threads < 1) {
        throw std::invalid_argument("threads must be at least 1, got " + std::to_string(threads));
    }
}

constexpr uint64_t kPositionMask = 0xFFFFFFFFull;

// Keys with positions, sorted by key then position.
struct Keyed {
    uint64_t key;
    uint64_t pos;
    bool operator<(const Keyed &o) const {
        return key != o.key ? key < o.key : pos < o.pos;
    }
};

// Calls same(run_begin, run_end) for each run of equal keys of a sorted vector.
template <typename F> void for_each_run(const std::vector<Keyed> &sorted, F &&same) {
    std::size_t begin = 0;
    while (begin < sorted.size()) {
        std::size_t end = begin + 1;
        while (end < sorted.size() && sorted[end].key == sorted[begin].key) {
            ++end;
        }
        same(begin, end);
        begin = end;
    }
}

// Items of one hash run split by equality: each item gets the first item (lowest position,
// as the run is sorted by position) equal to it. `eq(pos_a, pos_b)` compares two items.
template <typename Eq, typename Assign>
void split_run(const std::vector<Keyed> &sorted,
               std::size_t begin,
               std::size_t end,
               Eq &&eq,
               Assign &&assign) {
    // Nearly always one class per run; distinct values in one run are hash collisions.
    std::vector<uint64_t> heads;
    for (std::size_t k = begin; k < end; ++k) {
        const uint64_t pos = sorted[k].pos;
        uint64_t head = pos;
        for (const uint64_t h : heads) {
            if (eq(h, pos)) {
                head = h;
                break;
            }
        }
        if (head == pos) {
            heads.push_back(pos);
        }
        assign(pos, head);
    }
}

// Positions 0..m-1 ordered by the high 32 bits of key(p), packed as (key << 32) | position,
// into `order` (`spare` is scratch; both are reused from call to call, so their pages are not
// faulted in afresh). Three stable counting passes of 11, 11 and 10 bits: 2,048 buckets keep
// the scattered writes within the caches, where two passes of 16 bits spent most of the band
// search missing them. Positions stay increasing within equal keys. Callers compare the values
// behind equal keys, so the shorter key only costs a few more comparisons (a million keys share
// 32 bits in about a hundred pairs).
template <typename Key>
void order_by_key32(std::size_t m,
                    Key &&key,
                    std::vector<uint64_t> &order,
                    std::vector<uint64_t> &spare) {
    if (m > kPositionMask) {
        throw std::length_error("at most 2^32 - 1 signatures can be searched at once");
    }
    order.resize(m);
    spare.resize(m);
    for (std::size_t p = 0; p < m; ++p) {
        order[p] = (key(p) & ~kPositionMask) | p;
    }
    constexpr std::size_t kBuckets = std::size_t {1} << 11;
    std::size_t counts[kBuckets];
    for (const int shift : {32, 43, 54}) {
        std::fill(counts, counts + kBuckets, 0);
        for (const uint64_t v : order) {
            ++counts[(v >> shift) & (kBuckets - 1)];
        }
        std::size_t sum = 0;
        for (std::size_t &c : counts) {
            const std::size_t here = c;
            c = sum;
            sum += here;
        }
        for (const uint64_t v : order) {
            spare[counts[(v >> shift) & (kBuckets - 1)]++] = v;
        }
        order.swap(spare);
    }
}

} // namespace

template <typename T>
std::vector<int64_t> group_rows(const T *sig, std::size_t n, std::size_t width, int threads) {
    check_threads(threads);
    std::vector<Keyed> keyed(n);
    parallel_batches(n, 1 << 14, threads, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t x = begin; x < end; ++x) {
            keyed[x] = {hash_values(sig + x * width, width), x};
        }
    });
    std::sort(keyed.begin(), keyed.end());
    std::vector<int64_t> reps(n);
    for_each_run(keyed, [&](std::size_t begin, std::size_t end) {
        split_run(
            keyed,
            begin,
            end,
            [&](uint64_t a, uint64_t b) {
                return equal_values(sig + a * width, sig + b * width, width);
            },
            [&](uint64_t pos, uint64_t head) { reps[pos] = static_cast<int64_t>(head); });
    });
    return reps;
}

std::vector<int64_t> group_sets(const int64_t *ids,
                                const int64_t *classes,
                                std::size_t m,
                                const int64_t *offsets,
                                const uint64_t *values) {
    std::vector<Keyed> keyed(m);
    for (std::size_t k = 0; k < m; ++k) {
        const auto size = static_cast<std::size_t>(offsets[k + 1] - offsets[k]);
        const uint64_t h = hash_values(values + offsets[k], size);
        keyed[k] = {hash::mix64(h ^ static_cast<uint64_t>(classes[k]) * kGolden), k};
    }
    // Within a run, by id rather than by slot, so that each class's head is its lowest id.
    std::sort(keyed.begin(), keyed.end(), [&](const Keyed &a, const Keyed &b) {
        return a.key != b.key ? a.key < b.key : ids[a.pos] < ids[b.pos];
    });
    std::vector<int64_t> reps(m);
    for_each_run(keyed, [&](std::size_t begin, std::size_t end) {
        split_run(
            keyed,
            begin,
            end,
            [&](uint64_t a, uint64_t b) {
                const int64_t na = offsets[a + 1] - offsets[a];
                return classes[a] == classes[b] && na == offsets[b + 1] - offsets[b] &&
                       equal_values(
                           values + offsets[a], values + offsets[b], static_cast<std::size_t>(na));
            },
            [&](uint64_t pos, uint64_t head) { reps[pos] = ids[head]; });
    });
    return reps;
}

// Appends the pairs of rows that agree on band `band` (values [band * r, (band + 1) * r)),
// each to the lowest band it agrees on, given the band's key of each of the m rows.
template <typename T>
void band_pairs(const T *sig,
                std::size_t width,
                const int64_t *ids,
                std::size_t m,
                std::size_t r,
                std::size_t band,
                const uint32_t *band_keys,
                std::vector<uint64_t> &order,
                std::vector<uint64_t> &spare,
                std::vector<Candidate> &out) {
    const std::size_t start = band * r;
    order_by_key32(
        m, [&](std::size_t p) { return static_cast<uint64_t>(band_keys[p]) << 32; }, order, spare);
    std::size_t begin = 0;
    while (begin < m) {
        std::size_t end = begin + 1;
        while (end < m && (order[end] >> 32) == (order[begin] >> 32)) {
            ++end;
        }
        // Most keys are alone; their rows are not looked at (that lookup was the cost).
        for (std::size_t a = begin; end - begin > 1 && a < end; ++a) {
            const int64_t id_a = ids[order[a] & kPositionMask];
            const T *row_a = sig + static_cast<std::size_t>(id_a) * width;
            for (std::size_t b = a + 1; b < end; ++b) {
                const int64_t id_b = ids[order[b] & kPositionMask];
                const T *row_b = sig + static_cast<std::size_t>(id_b) * width;
                if (!equal_values(row_a + start, row_b + start, r)) {
                    continue; // a collision of the band hash
                }
                // Each pair belongs to the lowest band it agrees on, so it is reported
                // once however many bands it shares.
                bool lowest = true;
                for (std::size_t s = 0; s < start && lowest; s += r) {
                    lowest = !equal_values(row_a + s, row_b + s, r);
                }
                if (lowest) {
                    // Positions increase with ids, and a run keeps positions in order.
                    out.push_back({id_a, id_b});
                }
            }
        }
        begin = end;
    }
}

template <typename T>
std::vector<Candidate> band_candidates(const T *sig,
                                       std::size_t width,
                                       const int64_t *ids,
                                       std::size_t m,
                                       int bands,
                                       int rows,
                                       int threads) {
    check_threads(threads);
    if (bands < 1 || rows < 1 || static_cast<std::size_t>(bands) * rows > width) {
        throw std::invalid_argument("bands * rows must be at most the signature width");
    }
    const auto r = static_cast<std::size_t>(rows);
    const auto nbands = static_cast<std::size_t>(bands);
    if (m > kPositionMask) {
        throw std::length_error("at most 2^32 - 1 signatures can be searched at once");
    }
    // The keys of several bands of a row in one pass over the rows: a band alone reads a few
    // bytes of each 512-byte row, so hashing band by band would walk the whole signature array
    // once a band. Keys are the top 32 bits of the band hash, band-major; kGroup bands at a
    // time bound them to 32 bytes a row.
    constexpr std::size_t kGroup = 8;
    std::vector<uint32_t> keys(std::min(nbands, kGroup) * m);
    std::vector<std::vector<Candidate>> found(static_cast<std::size_t>(threads));
    std::vector<std::vector<uint64_t>> orders(static_cast<std::size_t>(threads));
    std::vector<std::vector<uint64_t>> spares(static_cast<std::size_t>(threads));
    for (std::size_t first = 0; first < nbands; first += kGroup) {
        const std::size_t group = std::min(kGroup, nbands - first);
        parallel_batches(
            m, 1 << 12, threads, [&](std::size_t begin, std::size_t end, std::size_t) {
                for (std::size_t p = begin; p < end; ++p) {
                    const T *row = sig + static_cast<std::size_t>(ids[p]) * width + first * r;
                    for (std::size_t g = 0; g < group; ++g) {
                        keys[g * m + p] = static_cast<uint32_t>(hash_values(row + g * r, r) >> 32);
                    }
                }
            });
        parallel_batches(group, 1, threads, [&](std::size_t g, std::size_t, std::size_t worker) {
            band_pairs(sig,
                       width,
                       ids,
                       m,
                       r,
                       first + g,
                       keys.data() + g * m,
                       orders[worker],
                       spares[worker],
                       found[worker]);
        });
    }
    std::size_t total = 0;
    for (const auto &f : found) {
        total += f.size();
    }
    std::vector<Candidate> all;
    all.reserve(total);
    for (auto &f : found) {
        all.insert(all.end(), f.begin(), f.end());
        std::vector<Candidate>().swap(f);
    }
    std::sort(all.begin(), all.end(), [](const Candidate &a, const Candidate &b) {
        return a.i != b.i ? a.i < b.i : a.j < b.j;
    });
    return all;
}

double similarity(const uint64_t *a, std::size_t na, const uint64_t *b, std::size_t nb) {
    if (na == 0 && nb == 0) {
        return 1.0;
    }
    std::size_t i = 0, j = 0, common = 0;
    while (i < na && j < nb) {
        if (a[i] < b[j]) {
            ++i;
        } else if (b[j] < a[i]) {
            ++j;
        } else {
            ++common;
            ++i;
            ++j;
        }
    }
    return static_cast<double>(common) / static_cast<double>(na + nb - common);
}

std::vector<double> pair_similarities(const std::vector<std::string_view> &texts,
                                      const int64_t *a,
                                      const int64_t *b,
                                      std::size_t pairs,
                                      std::size_t ngram,
                                      int threads) {
    check_threads(threads);
    if (ngram < 1) {
        throw std::invalid_argument("ngram must be at least 1");
    }
    std::vector<double> out(pairs);
    struct Worker {
        text::Scratch scratch;
        std::vector<uint64_t> spare, first, second;
    };
    std::vector<Worker> workers(static_cast<std::size_t>(threads));
    parallel_batches(pairs, 256, threads, [&](std::size_t begin, std::size_t end, std::size_t t) {
        Worker &w = workers[t];
        int64_t first_of = -1;
        for (std::size_t k = begin; k < end; ++k) {
            if (a[k] != first_of) {
                text::shingle_set(
                    texts[static_cast<std::size_t>(a[k])], ngram, w.scratch, w.spare, w.first);
                first_of = a[k];
            }
            text::shingle_set(
                texts[static_cast<std::size_t>(b[k])], ngram, w.scratch, w.spare, w.second);
            out[k] = similarity(w.first.data(), w.first.size(), w.second.data(), w.second.size());
        }
    });
    return out;
}

std::vector<double> verify_exact(const std::vector<Candidate> &candidates,
                                 const int64_t *slot,
                                 const int64_t *offsets,
                                 const uint64_t *values,
                                 int threads) {
    check_threads(threads);
    std::vector<double> sims(candidates.size());
    parallel_batches(
        candidates.size(), 1 << 10, threads, [&](std::size_t begin, std::size_t end, std::size_t) {
            for (std::size_t k = begin; k < end; ++k) {
                const int64_t a = slot[candidates[k].i];
                const int64_t b = slot[candidates[k].j];
                sims[k] = similarity(values + offsets[a],
                                     static_cast<std::size_t>(offsets[a + 1] - offsets[a]),
                                     values + offsets[b],
                                     static_cast<std::size_t>(offsets[b + 1] - offsets[b]));
            }
        });
    return sims;
}

template <typename T>
std::vector<double> verify_estimate(const std::vector<Candidate> &candidates,
                                    const T *sig,
                                    std::size_t width,
                                    int threads) {
    check_threads(threads);
    std::vector<double> sims(candidates.size());
    parallel_batches(
        candidates.size(), 1 << 12, threads, [&](std::size_t begin, std::size_t end, std::size_t) {
            for (std::size_t k = begin; k < end; ++k) {
                const T *a = sig + static_cast<std::size_t>(candidates[k].i) * width;
                const T *b = sig + static_cast<std::size_t>(candidates[k].j) * width;
                std::size_t same = 0;
                for (std::size_t v = 0; v < width; ++v) {
                    same += a[v] == b[v];
                }
                sims[k] = static_cast<double>(same) / static_cast<double>(width);
            }
        });
    return sims;
}

std::vector<Scored> expand(const int64_t *reps, std::size_t n, const std::vector<Scored> &pairs) {
    ExpandStream stream(reps, n, pairs);
    std::vector<Scored> out(static_cast<std::size_t>(stream.total()));
    stream.next(out.data(), out.size());
    return out;
}

ExpandStream::ExpandStream(const int64_t *reps, std::size_t n, const std::vector<Scored> &pairs)
    : reps_(reps, reps + n) {
    for (std::size_t x = 0; x < n; ++x) {
        if (reps[x] < 0 || static_cast<std::size_t>(reps[x]) > x) {
            throw std::invalid_argument("reps[" + std::to_string(x) +
                                        "] must name an item from 0 to " + std::to_string(x));
        }
    }
    // Members of each group in increasing order: member_starts_[r] .. member_starts_[r + 1].
    search::sort_members(n, n, [&](std::size_t x) { return reps[x]; }, member_starts_, members_);
    passed_.assign(n, 0);
    auto size = [&](int64_t r) {
        const auto u = static_cast<std::size_t>(r);
        return uint64_t {member_starts_[u + 1] - member_starts_[u]};
    };

    // The representatives paired with each representative, both ways.
    near_starts_.assign(n + 1, 0);
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const Scored &p = pairs[k];
        for (const int64_t x : {p.i, p.j}) {
            if (x < 0 || static_cast<std::size_t>(x) >= n || reps[x] != x) {
                throw std::invalid_argument("pair " + std::to_string(k) +
                                            " must join two representatives");
            }
        }
        if (p.i == p.j) {
            throw std::invalid_argument("pair " + std::to_string(k) + " joins an item to itself");
        }
        ++near_starts_[static_cast<std::size_t>(p.i) + 1];
        ++near_starts_[static_cast<std::size_t>(p.j) + 1];
        total_ += size(p.i) * size(p.j);
    }
    std::partial_sum(near_starts_.begin(), near_starts_.end(), near_starts_.begin());
    near_.resize(near_starts_[n]);
    std::vector<std::size_t> fill(near_starts_.begin(), near_starts_.end() - 1);
    for (const Scored &p : pairs) {
        near_[fill[static_cast<std::size_t>(p.i)]++] = {p.j, p.similarity};
        near_[fill[static_cast<std::size_t>(p.j)]++] = {p.i, p.similarity};
    }
    total_ += search::pairs_within(member_starts_);
}

std::size_t ExpandStream::next(Scored *out, std::size_t max) {
    // The pairs (item, y), y > item: the later members of its own group at 1.0, and the
    // later members of each paired group, each group a run in increasing order, merged.
    const std::size_t written = merge_.next(
        members_.data(),
        reps_.size(),
        out,
        max,
        [&](std::size_t item) {
            const auto g = static_cast<std::size_t>(reps_[item]);
            merge_.add(member_starts_[g] + passed_[g] + 1, member_starts_[g + 1], 1.0);
            for (std::size_t k = near_starts_[g]; k < near_starts_[g + 1]; ++k) {
                const auto h = static_cast<std::size_t>(near_[k].first);
                merge_.add(member_starts_[h] + passed_[h], member_starts_[h + 1], near_[k].second);
            }
        },
        [&](std::size_t item) { ++passed_[static_cast<std::size_t>(reps_[item])]; });
    emitted_ += written;
    return written;
}

template std::vector<int64_t> group_rows(const uint32_t *, std::size_t, std::size_t, int);
template std::vector<int64_t> group_rows(const uint64_t *, std::size_t, std::size_t, int);
template std::vector<Candidate>
band_candidates(const uint32_t *, std::size_t, const int64_t *, std::size_t, int, int, int);
template std::vector<Candidate>
band_candidates(const uint64_t *, std::size_t, const int64_t *, std::size_t, int, int, int);
template std::vector<double>
verify_estimate(const std::vector<Candidate> &, const uint32_t *, std::size_t, int);
template std::vector<double>
verify_estimate(const std::vector<Candidate> &, const uint64_t *, std::size_t, int);

} // namespace veltrane::jaccard
