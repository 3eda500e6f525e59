// MinHash signatures of texts over their word shingles (text/words.hpp).
//
// Permutation k (0 <= k < num_perm) maps a shingle hash s to
//     p_k(s) = ((a_k * x + b_k) mod 2^64) >> 32,   x = s mod 2^32,
// Dietzfelbinger's multiply-add-shift: for random 64-bit a_k and b_k a strongly universal
// family from 32-bit keys to 32-bit values (Dietzfelbinger 1996, "Universal hashing and
// k-wise independent random variables via integer arithmetic without primes"). a_0, b_0,
// a_1, b_1, ... are the outputs of splitmix64 seeded with `seed`. Signature entry k is the
// least p_k over the text's shingles, or 2^32 - 1 for a text without shingles. Fixed for good:
// tests/model_minhash.py is the reference and golden vectors pin it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace veltrane::text {

// a_k and b_k of the family above.
struct Permutations {
    std::vector<uint64_t> a, b;
    Permutations(std::size_t num_perm, uint64_t seed);
};

// Writes the signatures of all texts, row by row (texts.size() * num_perm values), on
// `threads` threads. num_perm and ngram at least 1, threads at least 1.
void minhash_signatures(const std::vector<std::string_view> &texts,
                        std::size_t num_perm,
                        std::size_t ngram,
                        uint64_t seed,
                        int threads,
                        uint32_t *out);

// The distinct shingle hashes of every text, ascending: those of text i are
// values[offsets[i] .. offsets[i + 1]).
struct ShingleSets {
    std::vector<uint64_t> values;
    std::vector<int64_t> offsets;
};
ShingleSets
shingle_sets(const std::vector<std::string_view> &texts, std::size_t ngram, int threads);

namespace kernels {

// The permutations laid out for a kernel `width` lanes wide, in groups of `width`
// permutations (the last padded by repeating permutation 0): per group, as 64-bit words,
// a mod 2^32 of the even then of the odd permutations, b of the even then of the odd ones,
// and a >> 32 of all of them as 32-bit words in order.
std::vector<uint64_t> layout(const Permutations &perms, std::size_t width);

// out[k] = least p_k over the low 32 bits of shingles[0..count), for the `groups` groups of
// `layout` (groups * width values).
void minhash_avx2(const uint64_t *layout,
                  std::size_t groups,
                  const uint64_t *shingles,
                  std::size_t count,
                  uint32_t *out);
void minhash_avx512(const uint64_t *layout,
                    std::size_t groups,
                    const uint64_t *shingles,
                    std::size_t count,
                    uint32_t *out);

} // namespace kernels

} // namespace veltrane::text
