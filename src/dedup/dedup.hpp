// Exact removal of repeated chunks: chunk digests, and the first occurrence of each
// distinct chunk confirmed byte for byte.
#pragma once

#include "chunk/cdc_literal.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrane {

// A read-only view of one chunk's bytes.
struct ByteSpan {
    const unsigned char *data;
    std::size_t size;
};

namespace dedup {

// Starting value of the chunk digest.
constexpr uint64_t kDigestSeed = 0x1234567890abcdefULL;

// The digest step: one XOR, one multiply by the chunker's FNV prime, one rotation right by
// 33, a chain of about five cycles.
inline uint64_t digest_step(uint64_t f, unsigned char b) {
    const uint64_t x = (f ^ b) * cdc::kPrime;
    return (x >> 33) | (x << 31);
}

// The 64-bit chunk digest that tells chunks apart cheaply, written literally: the
// reference for digests() below and the loop that bench/literal_scan.cpp times.
inline uint64_t digest(const unsigned char *data, std::size_t size) {
    uint64_t f = kDigestSeed;
    for (std::size_t i = 0; i < size; ++i) {
        f = digest_step(f, data[i]);
    }
    return f;
}

// Digests of `count` chunks into out[0, count): several chains at once, so that a core
// has more than one multiply in flight.
void digests(const ByteSpan *chunks, std::size_t count, uint64_t *out);

// Indices of the first occurrence of each distinct chunk, in input order. Digests are
// computed by the OpenMP team; a digest match is confirmed by comparing bytes, so two
// different chunks are never merged, and the answer does not depend on the team size.
std::vector<std::size_t> first_occurrences(const std::vector<ByteSpan> &chunks);

// (1 - unique / total) * 100 in double precision, in that order; 0 for no chunks.
double reduction_percent(std::size_t unique, std::size_t total);

} // namespace dedup
} // namespace veltrane
