// MinHash signatures of texts over their word shingles (text/words.hpp).
//
// Permutation k (0 <= k < num_perm) maps a shingle hash s to
//     p_k(s) = (a_k * x + b_k) mod 2^32,   x = s mod 2^32,
// a bijection of the 32-bit keys for odd a_k. a_k is the low half of splitmix64's output 2k
// (seeded with `seed`) with its lowest bit set, b_k the low half of output 2k + 1. Signature
// entry k is the least p_k over the text's shingles, or 2^32 - 1 for a text without shingles.
// Why so simple a family is enough: the keys are splitmix64-finalised hashes, so they behave
// as independent uniform values, and under any fixed bijection the least value then falls on
// each element of a set alike, so every entry estimates the Jaccard similarity without bias;
// what the family must add is that different permutations order the keys independently
// enough, and the spread of the estimate over 128 permutations matches the binomial
// sqrt(J (1 - J) / 128) within sampling error (J = 0.5, 0.8, 0.9, 300 random set pairs each,
// measured when the family was chosen). One multiply, add and minimum per 16 permutations in
// AVX-512 lanes. Fixed for good: tests/model_minhash.py is the reference and golden vectors
// pin it.
#pragma once

#include "common/cpu.hpp"
#include "text/signer.hpp"
#include "text/words.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace veltrane::text {

// a_k and b_k of the family above.
struct Permutations {
    std::vector<uint32_t> a, b;
    Permutations(std::size_t num_perm, uint64_t seed);
};

// Signs one text at a time with the kernel chosen for this processor; shared by all threads,
// each with its own Scratch. num_perm and ngram at least 1.
class MinHasher final : public Signer {
public:
    MinHasher(std::size_t num_perm, std::size_t ngram, uint64_t seed);
    // Writes the signature of `text` (num_perm values) to out.
    void sign(std::string_view text, Scratch &scratch, uint32_t *out) const override;
    std::size_t num_perm() const {
        return perms_.a.size();
    }
    std::size_t width() const override {
        return num_perm();
    }

private:
    Permutations perms_;
    std::size_t ngram_;
    cpu::Isa isa_;
    std::size_t width_ = 8, groups_ = 0;
    std::vector<uint32_t> layout_;
};

// Writes the signatures of all texts, row by row (texts.size() * num_perm values), on
// `threads` threads. num_perm and ngram at least 1, threads at least 1. `done`, when given,
// counts the texts signed as they are; once `cancel` (when given) is set, the texts not begun
// are left unsigned.
void minhash_signatures(const std::vector<std::string_view> &texts,
                        std::size_t num_perm,
                        std::size_t ngram,
                        uint64_t seed,
                        int threads,
                        uint32_t *out,
                        std::atomic<uint64_t> *done = nullptr,
                        const std::atomic<bool> *cancel = nullptr);

// The distinct shingle hashes of every text, ascending: those of text i are
// values[offsets[i] .. offsets[i + 1]).
struct ShingleSets {
    std::vector<uint64_t> values;
    std::vector<int64_t> offsets;
};
ShingleSets
shingle_sets(const std::vector<std::string_view> &texts, std::size_t ngram, int threads);

// The distinct shingle hashes of `text`, ascending, into `out`; `scratch` and `spare` are
// buffers a thread reuses.
void shingle_set(std::string_view text,
                 std::size_t ngram,
                 Scratch &scratch,
                 std::vector<uint64_t> &spare,
                 std::vector<uint64_t> &out);

namespace kernels {

// The multipliers then the addends of the permutations, each padded with those of
// permutation 0 to a multiple of `width`: groups of `width` lanes for the kernels.
std::vector<uint32_t> layout(const Permutations &perms, std::size_t width);

// out[k] = least p_k over the low 32 bits of shingles[0..count), for the `groups` groups of
// `layout` (groups * width values).
void minhash_avx2(const uint32_t *layout,
                  std::size_t groups,
                  const uint64_t *shingles,
                  std::size_t count,
                  uint32_t *out);
void minhash_avx512(const uint32_t *layout,
                    std::size_t groups,
                    const uint64_t *shingles,
                    std::size_t count,
                    uint32_t *out);

// The same from the text's `count` word hashes, shingles of `ngram` words: each shingle is
// hashed (as shingle_hashes does) while the first groups take it, so that the hashing's
// scalar multiplies overlap the kernel's vector ones; the shingles go to `shingles` (resized)
// for the groups after those.
void minhash_words_avx512(const uint32_t *layout,
                          std::size_t groups,
                          const uint64_t *words,
                          std::size_t count,
                          std::size_t ngram,
                          std::vector<uint64_t> &shingles,
                          uint32_t *out);

} // namespace kernels

} // namespace veltrane::text
