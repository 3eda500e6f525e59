// SimHash fingerprints of space-separated, lower-cased tokens, and their Hamming distance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace veltrane {

class SimHash {
public:
    explicit SimHash(int32_t bits = 64) : bits_(bits) {}

    int32_t bits() const {
        return bits_;
    }

    // Length of a fingerprint in bytes (bits / 8). A negative bit count is reported as the
    // length error that allocating that many vote counters would raise, so every compute()
    // of such an object fails the same way.
    std::size_t fingerprint_size() const;

    // The 64-bit fingerprint that every fingerprint repeats: bit i of the result is bit
    // i mod 64 of any fingerprint of this text. Bit i is set when at least half of the
    // tokens' hashes have bit i set (a tie sets it).
    static uint64_t fingerprint64(std::string_view text);

    // Writes the fingerprint: `size` bytes, the little-endian fingerprint64 repeated.
    static void write_fingerprint(uint64_t fp64, unsigned char *out, std::size_t size);

    // Bits in which the first `size1` bytes of fp1 and fp2 differ. Refuses an fp2 shorter
    // than fp1 (std::invalid_argument) rather than read past its end.
    static uint64_t hamming_distance(const unsigned char *fp1,
                                     std::size_t size1,
                                     const unsigned char *fp2,
                                     std::size_t size2);

private:
    int32_t bits_;
};

// The token hash: libstdc++'s byte-string hash with the seed std::hash<std::string> uses, so
// fingerprints agree with any other program that hashes tokens through std::hash.
uint64_t token_hash(const void *data, std::size_t size);

} // namespace veltrane
