#include "text/minhash.hpp"

#include "common/batches.hpp"
#include "common/cpu.hpp"
#include "common/hash.hpp"
#include "text/words.hpp"

#include <algorithm>
#include <cstring>
#include <immintrin.h>
#include <stdexcept>
#include <string>

namespace veltrane::text {

namespace {

void check(std::size_t num_perm, std::size_t ngram, int threads) {
    if (num_perm < 1) {
        throw std::invalid_argument("num_perm must be at least 1");
    }
    if (ngram < 1) {
        throw std::invalid_argument("ngram must be at least 1");
    }
    if (threads < 1) {
        throw std::invalid_argument("threads must be at least 1, got " + std::to_string(threads));
    }
}

// Sorts the shingle hashes of one text, `spare` holding as many. The hashes are uniform, so
// one counting pass on their top bits (about one hash a bucket) leaves every hash within a
// bucket of its place, and an insertion pass finishes in about n steps: several times faster
// than a comparison sort, whose branches on random keys mispredict about half the time.
// Past 2^16 hashes the buckets would outgrow the cache, and std::sort takes over.
void sort_hashes(std::vector<uint64_t> &v, std::vector<uint64_t> &spare) {
    const std::size_t n = v.size();
    if (n < 32 || n > (std::size_t {1} << 16)) {
        std::sort(v.begin(), v.end());
        return;
    }
    int bits = 1;
    while ((std::size_t {1} << bits) < n) {
        ++bits;
    }
    const int shift = 64 - bits;
    std::vector<uint32_t> starts((std::size_t {1} << bits) + 1, 0);
    for (const uint64_t h : v) {
        ++starts[(h >> shift) + 1];
    }
    for (std::size_t b = 1; b < starts.size(); ++b) {
        starts[b] += starts[b - 1];
    }
    spare.resize(n);
    for (const uint64_t h : v) {
        spare[starts[h >> shift]++] = h;
    }
    // Crafted texts could crowd one bucket: past a budget of moves, std::sort finishes.
    std::size_t budget = 8 * n;
    for (std::size_t i = 1; i < n; ++i) {
        const uint64_t h = spare[i];
        std::size_t j = i;
        for (; j > 0 && spare[j - 1] > h; --j) {
            spare[j] = spare[j - 1];
        }
        spare[j] = h;
        if (i - j > budget) {
            std::sort(spare.begin(), spare.end());
            break;
        }
        budget -= i - j;
    }
    v.swap(spare);
}

void minhash_scalar(const Permutations &perms,
                    const uint64_t *shingles,
                    std::size_t count,
                    uint32_t *out) {
    const std::size_t num_perm = perms.a.size();
    std::fill(out, out + num_perm, UINT32_MAX);
    for (std::size_t i = 0; i < count; ++i) {
        const auto x = static_cast<uint32_t>(shingles[i]);
        for (std::size_t k = 0; k < num_perm; ++k) {
            out[k] = std::min(out[k], perms.a[k] * x + perms.b[k]);
        }
    }
}

} // namespace

Permutations::Permutations(std::size_t num_perm, uint64_t seed) : a(num_perm), b(num_perm) {
    uint64_t state = seed;
    for (std::size_t k = 0; k < num_perm; ++k) {
        a[k] = static_cast<uint32_t>(hash::splitmix64(state)) | 1;
        b[k] = static_cast<uint32_t>(hash::splitmix64(state));
    }
}

namespace kernels {

std::vector<uint32_t> layout(const Permutations &perms, std::size_t width) {
    const std::size_t num_perm = perms.a.size();
    const std::size_t padded = (num_perm + width - 1) / width * width;
    std::vector<uint32_t> out(2 * padded);
    for (std::size_t k = 0; k < padded; ++k) {
        out[k] = perms.a[k < num_perm ? k : 0];
        out[padded + k] = perms.b[k < num_perm ? k : 0];
    }
    return out;
}

namespace {

// G groups of eight permutations: the accumulators (and, for small G, the multipliers and
// addends) stay in registers while the shingles stream past.
template <int G>
void groups_avx2(const uint32_t *a,
                 const uint32_t *b,
                 const uint64_t *shingles,
                 std::size_t count,
                 uint32_t *out) {
    __m256i acc[G], mul[G], add[G];
    for (int j = 0; j < G; ++j) {
        acc[j] = _mm256_set1_epi32(-1);
        mul[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + 8 * j));
        add[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + 8 * j));
    }
    for (std::size_t i = 0; i < count; ++i) {
        const __m256i x = _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(shingles[i])));
        for (int j = 0; j < G; ++j) {
            acc[j] =
                _mm256_min_epu32(acc[j], _mm256_add_epi32(_mm256_mullo_epi32(mul[j], x), add[j]));
        }
    }
    for (int j = 0; j < G; ++j) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 8 * j), acc[j]);
    }
}

} // namespace

void minhash_avx2(const uint32_t *layout,
                  std::size_t groups,
                  const uint64_t *shingles,
                  std::size_t count,
                  uint32_t *out) {
    // Four groups keep accumulators, multipliers and addends in twelve of the sixteen
    // registers.
    const std::size_t padded = groups * 8;
    const uint32_t *a = layout, *b = layout + padded;
    std::size_t g = 0;
    for (; g + 4 <= groups; g += 4) {
        groups_avx2<4>(a + 8 * g, b + 8 * g, shingles, count, out + 8 * g);
    }
    for (; g < groups; ++g) {
        groups_avx2<1>(a + 8 * g, b + 8 * g, shingles, count, out + 8 * g);
    }
}

} // namespace kernels

MinHasher::MinHasher(std::size_t num_perm, std::size_t ngram, uint64_t seed)
    : perms_(num_perm, seed), ngram_(ngram), isa_(cpu::chosen_isa()) {
    check(num_perm, ngram, 1);
    width_ = isa_ == cpu::Isa::avx512 ? 16 : 8;
    if (isa_ != cpu::Isa::scalar) {
        layout_ = kernels::layout(perms_, width_);
    }
    groups_ = (num_perm + width_ - 1) / width_;
}

void MinHasher::sign(std::string_view text, Scratch &scratch, uint32_t *out) const {
    switch (isa_) {
    case cpu::Isa::scalar:
        text_shingles(text, ngram_, scratch);
        minhash_scalar(perms_, scratch.shingles.data(), scratch.shingles.size(), out);
        return;
    case cpu::Isa::avx2:
        // Hashing the shingles as the kernel takes them, as for AVX-512, measured no faster
        // here (on Zen 4 running AVX2 code, the tokenizer is what bounds it).
        text_shingles(text, ngram_, scratch);
        scratch.row.resize(groups_ * width_);
        kernels::minhash_avx2(layout_.data(),
                              groups_,
                              scratch.shingles.data(),
                              scratch.shingles.size(),
                              scratch.row.data());
        break;
    case cpu::Isa::avx512:
        word_hashes(text, scratch, scratch.words);
        scratch.row.resize(groups_ * width_);
        kernels::minhash_words_avx512(layout_.data(),
                                      groups_,
                                      scratch.words.data(),
                                      scratch.words.size(),
                                      ngram_,
                                      scratch.shingles,
                                      scratch.row.data());
        break;
    }
    std::memcpy(out, scratch.row.data(), perms_.a.size() * sizeof(uint32_t));
}

void minhash_signatures(const std::vector<std::string_view> &texts,
                        std::size_t num_perm,
                        std::size_t ngram,
                        uint64_t seed,
                        int threads,
                        uint32_t *out,
                        std::atomic<uint64_t> *done,
                        const std::atomic<bool> *cancel) {
    check(num_perm, ngram, threads);
    const MinHasher signer(num_perm, ngram, seed);
    std::vector<Scratch> scratch(static_cast<std::size_t>(threads));
    // 16 texts a batch: cheap to hand out, and a few long texts cannot hold back the end.
    parallel_batches(
        texts.size(), 16, threads, [&](std::size_t begin, std::size_t end, std::size_t w) {
            if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) {
                return;
            }
            for (std::size_t i = begin; i < end; ++i) {
                signer.sign(texts[i], scratch[w], out + i * num_perm);
            }
            if (done != nullptr) {
                done->fetch_add(end - begin, std::memory_order_relaxed);
            }
        });
}

ShingleSets
shingle_sets(const std::vector<std::string_view> &texts, std::size_t ngram, int threads) {
    check(1, ngram, threads);
    std::vector<std::vector<uint64_t>> sets(texts.size());
    std::vector<Scratch> scratch(static_cast<std::size_t>(threads));
    std::vector<std::vector<uint64_t>> spare(static_cast<std::size_t>(threads));
    parallel_batches(
        texts.size(), 16, threads, [&](std::size_t begin, std::size_t end, std::size_t w) {
            for (std::size_t i = begin; i < end; ++i) {
                shingle_set(texts[i], ngram, scratch[w], spare[w], sets[i]);
            }
        });
    ShingleSets out;
    out.offsets.resize(texts.size() + 1);
    std::size_t total = 0;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        out.offsets[i] = static_cast<int64_t>(total);
        total += sets[i].size();
    }
    out.offsets[texts.size()] = static_cast<int64_t>(total);
    out.values.reserve(total);
    for (auto &s : sets) {
        out.values.insert(out.values.end(), s.begin(), s.end());
        std::vector<uint64_t>().swap(s);
    }
    return out;
}

void shingle_set(std::string_view text,
                 std::size_t ngram,
                 Scratch &scratch,
                 std::vector<uint64_t> &spare,
                 std::vector<uint64_t> &out) {
    text_shingles(text, ngram, scratch);
    std::vector<uint64_t> &s = scratch.shingles;
    sort_hashes(s, spare);
    out.assign(s.begin(), std::unique(s.begin(), s.end()));
}

} // namespace veltrane::text
