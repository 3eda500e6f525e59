// The chunker's two hash loops written word for word, with nothing else around them: no input
// copy, no chunk buffers, no Python objects. Their speed is the floor that the installed module
// is measured against. Built and loaded (ctypes) by bench/run.py only; never installed.
#include <cstddef>
#include <cstdint>

namespace {

// The chunker's constants: bytes hashed before the first cut test, the 64-bit FNV prime that
// multiplies both hashes, the 13-bit cut mask (one cut per 8192 tests on random data), and the
// starting value of the chunk fingerprint.
constexpr uint64_t kWindowSize = 48;
constexpr uint64_t kPrime = 0x100000001b3ULL;
constexpr uint64_t kMask = 8191;
constexpr uint64_t kFingerprintSeed = 0x1234567890abcdefULL;

uint64_t fingerprint(const unsigned char *data, uint64_t size) {
    uint64_t f = kFingerprintSeed;
    for (uint64_t i = 0; i < size; ++i) {
        const uint64_t x = (f ^ data[i]) * kPrime;
        f = (x >> 33) | (x << 31); // rotate right by 33
    }
    return f;
}

} // namespace

extern "C" {

// Number of chunks the chunker cuts `data` into, found without building any of them. The cut
// hash restarts at every chunk start and is not a sliding window.
uint64_t literal_chunk_count(const unsigned char *data, uint64_t n, uint64_t chunk_size) {
    uint64_t count = 0;
    uint64_t start = 0;
    while (start < n) {
        const uint64_t limit = start + 2 * chunk_size < n ? start + 2 * chunk_size : n;
        uint64_t end = limit;
        if (start + kWindowSize < n) {
            uint64_t h = 0;
            for (uint64_t p = start; p < start + kWindowSize; ++p) {
                h = (h * kPrime) ^ data[p];
            }
            for (uint64_t p = start + kWindowSize; p < limit; ++p) {
                h = (h * kPrime) ^ data[p];
                if ((h & kMask) == 0) {
                    end = p + 1;
                    break;
                }
            }
        }
        ++count;
        start = end;
    }
    return count;
}

// Chunk fingerprints of data[0, n) taken as consecutive pieces of `piece` bytes (the last one
// possibly shorter), one after the other, as a single thread would. Returns their XOR so the
// work cannot be optimised away.
uint64_t literal_fingerprints(const unsigned char *data, uint64_t n, uint64_t piece) {
    uint64_t acc = 0;
    for (uint64_t start = 0; start < n; start += piece) {
        acc ^= fingerprint(data + start, n - start < piece ? n - start : piece);
    }
    return acc;
}

} // extern "C"
