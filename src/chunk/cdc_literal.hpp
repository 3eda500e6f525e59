// The CDC chunker written literally: the reference that every fast path is checked against.
// CDC::cut() is this loop, the literal mode of CDC::cut_points() runs its scan, and
// bench/literal_scan.cpp times it; header-only, so that the benchmark needs no library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veltrane::cdc {

// Bytes hashed from a chunk's start before the first cut test: no content cut can make a chunk
// shorter than kWindowSize + 1 bytes.
constexpr uint64_t kWindowSize = 48;
// The 64-bit FNV prime, multiplier of both the cut hash and the chunk digest.
constexpr uint64_t kPrime = 0x100000001b3ULL;
// A cut falls where the 13 low bits of the cut hash are zero: on random data one test in 8192
// cuts.
constexpr uint64_t kMask = 8191;

// The longest chunk that may start where `left` bytes remain: 2 * chunk_size, or all of them
// when that is longer. 2 * chunk_size can overflow; comparing against half of `left` cannot.
inline std::size_t chunk_limit(std::size_t left, uint64_t chunk_size) {
    return chunk_size > left / 2 ? left : static_cast<std::size_t>(2 * chunk_size);
}

// The cut hash after a chunk's window, data[0, kWindowSize); the hash starts afresh at every
// chunk. Unrolled, the window costs three instructions a byte instead of six. Where chunks are
// short (long runs of zeros cut every 49 bytes) the processor then overlaps the next chunk's
// chain with this one's, as it does for the scan, only further.
inline uint64_t window_hash(const unsigned char *chunk) {
    uint64_t h = 0;
#pragma GCC unroll 48
    for (std::size_t p = 0; p < kWindowSize; ++p) {
        h = (h * kPrime) ^ chunk[p];
    }
    return h;
}

// The rest of a chunk's scan from the first cut test on, given the hash `h` after its window:
// the chunk's length, at most `limit` > kWindowSize.
inline std::size_t scan_after_window(const unsigned char *chunk, std::size_t limit, uint64_t h) {
    for (std::size_t p = kWindowSize; p < limit; ++p) {
        h = (h * kPrime) ^ chunk[p];
        if ((h & kMask) == 0) {
            return p + 1;
        }
    }
    return limit;
}

// Length of the chunk that starts at `data`, where `size` > 0 bytes remain.
inline std::size_t literal_cut(const unsigned char *data, std::size_t size, uint64_t chunk_size) {
    const std::size_t limit = chunk_limit(size, chunk_size);
    if (size <= kWindowSize) {
        return limit;
    }
    return scan_after_window(data, limit, window_hash(data));
}

} // namespace veltrane::cdc
