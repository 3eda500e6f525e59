#include "text/minhash.hpp"

#include "common/batches.hpp"
#include "common/cpu.hpp"
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

void minhash_scalar(const Permutations &perms,
                    const uint64_t *shingles,
                    std::size_t count,
                    uint32_t *out) {
    const std::size_t num_perm = perms.a.size();
    std::fill(out, out + num_perm, UINT32_MAX);
    for (std::size_t i = 0; i < count; ++i) {
        const uint64_t x = static_cast<uint32_t>(shingles[i]);
        for (std::size_t k = 0; k < num_perm; ++k) {
            const auto v = static_cast<uint32_t>((perms.a[k] * x + perms.b[k]) >> 32);
            out[k] = std::min(out[k], v);
        }
    }
}

} // namespace

Permutations::Permutations(std::size_t num_perm, uint64_t seed) : a(num_perm), b(num_perm) {
    uint64_t state = seed;
    for (std::size_t k = 0; k < num_perm; ++k) {
        a[k] = mix64(state += kGolden);
        b[k] = mix64(state += kGolden);
    }
}

namespace kernels {

std::vector<uint64_t> layout(const Permutations &perms, std::size_t width) {
    const std::size_t num_perm = perms.a.size();
    const std::size_t groups = (num_perm + width - 1) / width;
    const std::size_t half = width / 2;
    std::vector<uint64_t> out(groups * (4 * half + half));
    uint64_t *g = out.data();
    for (std::size_t base = 0; base < groups * width; base += width, g += 5 * half) {
        auto at = [&](std::size_t k) { return k < num_perm ? k : 0; };
        for (std::size_t i = 0; i < half; ++i) {
            const std::size_t even = at(base + 2 * i), odd = at(base + 2 * i + 1);
            g[i] = static_cast<uint32_t>(perms.a[even]);
            g[half + i] = static_cast<uint32_t>(perms.a[odd]);
            g[2 * half + i] = perms.b[even];
            g[3 * half + i] = perms.b[odd];
        }
        auto *high = reinterpret_cast<uint32_t *>(g + 4 * half);
        for (std::size_t l = 0; l < width; ++l) {
            high[l] = static_cast<uint32_t>(perms.a[at(base + l)] >> 32);
        }
    }
    return out;
}

namespace {

// G groups of eight permutations: one accumulator register each, all kept in registers while
// the shingles stream past. Per group and shingle, the even and odd permutations' 64-bit
// products a_lo * x + b, their high halves interleaved back into permutation order, plus
// (a_hi * x) mod 2^32, which only reaches the high half.
template <int G>
void groups_avx2(const uint64_t *layout,
                 const uint64_t *shingles,
                 std::size_t count,
                 uint32_t *out) {
    const auto *l = reinterpret_cast<const __m256i *>(layout);
    __m256i acc[G];
    for (int j = 0; j < G; ++j) {
        acc[j] = _mm256_set1_epi32(-1);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const __m256i x = _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(shingles[i])));
        for (int j = 0; j < G; ++j) {
            const __m256i *g = l + 5 * j;
            const __m256i even = _mm256_add_epi64(_mm256_mul_epu32(_mm256_loadu_si256(g), x),
                                                  _mm256_loadu_si256(g + 2));
            const __m256i odd = _mm256_add_epi64(_mm256_mul_epu32(_mm256_loadu_si256(g + 1), x),
                                                 _mm256_loadu_si256(g + 3));
            __m256i v = _mm256_blend_epi32(_mm256_srli_epi64(even, 32), odd, 0xAA);
            v = _mm256_add_epi32(v, _mm256_mullo_epi32(_mm256_loadu_si256(g + 4), x));
            acc[j] = _mm256_min_epu32(acc[j], v);
        }
    }
    for (int j = 0; j < G; ++j) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 8 * j), acc[j]);
    }
}

} // namespace

void minhash_avx2(const uint64_t *layout,
                  std::size_t groups,
                  const uint64_t *shingles,
                  std::size_t count,
                  uint32_t *out) {
    // Eight accumulators leave room in the sixteen registers for the shingle and temporaries.
    std::size_t g = 0;
    for (; g + 8 <= groups; g += 8) {
        groups_avx2<8>(layout + g * 20, shingles, count, out + g * 8);
    }
    for (; g + 4 <= groups; g += 4) {
        groups_avx2<4>(layout + g * 20, shingles, count, out + g * 8);
    }
    for (; g < groups; ++g) {
        groups_avx2<1>(layout + g * 20, shingles, count, out + g * 8);
    }
}

} // namespace kernels

namespace {

// The kernel of the chosen instruction set with its layout, and a row of padded output.
class Signer {
public:
    Signer(const Permutations &perms) : perms_(perms), isa_(cpu::chosen_isa()) {
        width_ = isa_ == cpu::Isa::avx512 ? 16 : 8;
        if (isa_ != cpu::Isa::scalar) {
            layout_ = kernels::layout(perms, width_);
        }
        groups_ = (perms.a.size() + width_ - 1) / width_;
    }

    void
    sign(const std::vector<uint64_t> &shingles, uint32_t *out, std::vector<uint32_t> &row) const {
        switch (isa_) {
        case cpu::Isa::scalar:
            minhash_scalar(perms_, shingles.data(), shingles.size(), out);
            return;
        case cpu::Isa::avx2:
            row.resize(groups_ * width_);
            kernels::minhash_avx2(
                layout_.data(), groups_, shingles.data(), shingles.size(), row.data());
            break;
        case cpu::Isa::avx512:
            row.resize(groups_ * width_);
            kernels::minhash_avx512(
                layout_.data(), groups_, shingles.data(), shingles.size(), row.data());
            break;
        }
        std::memcpy(out, row.data(), perms_.a.size() * sizeof(uint32_t));
    }

private:
    const Permutations &perms_;
    cpu::Isa isa_;
    std::size_t width_, groups_;
    std::vector<uint64_t> layout_;
};

} // namespace

void minhash_signatures(const std::vector<std::string_view> &texts,
                        std::size_t num_perm,
                        std::size_t ngram,
                        uint64_t seed,
                        int threads,
                        uint32_t *out) {
    check(num_perm, ngram, threads);
    const Permutations perms(num_perm, seed);
    const Signer signer(perms);
    std::vector<Scratch> scratch(static_cast<std::size_t>(threads));
    std::vector<std::vector<uint32_t>> rows(static_cast<std::size_t>(threads));
    // 16 texts a batch: cheap to hand out, and a few long texts cannot hold back the end.
    parallel_batches(
        texts.size(), 16, threads, [&](std::size_t begin, std::size_t end, std::size_t w) {
            for (std::size_t i = begin; i < end; ++i) {
                text_shingles(texts[i], ngram, scratch[w]);
                signer.sign(scratch[w].shingles, out + i * num_perm, rows[w]);
            }
        });
}

ShingleSets
shingle_sets(const std::vector<std::string_view> &texts, std::size_t ngram, int threads) {
    check(1, ngram, threads);
    std::vector<std::vector<uint64_t>> sets(texts.size());
    std::vector<Scratch> scratch(static_cast<std::size_t>(threads));
    parallel_batches(
        texts.size(), 16, threads, [&](std::size_t begin, std::size_t end, std::size_t w) {
            for (std::size_t i = begin; i < end; ++i) {
                text_shingles(texts[i], ngram, scratch[w]);
                std::vector<uint64_t> &s = scratch[w].shingles;
                std::sort(s.begin(), s.end());
                sets[i].assign(s.begin(), std::unique(s.begin(), s.end()));
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

} // namespace veltrane::text
