// Chunk digests: BLAKE3 (the vendored reference C implementation, which picks SSE2, SSE4.1,
// AVX2 or AVX-512 at run time), 256 bits, the same on every machine.
#pragma once

#include "blake3/blake3.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace veltrane::dedup {

constexpr std::size_t kDigestSize = BLAKE3_OUT_LEN;
using Digest = std::array<unsigned char, kDigestSize>;

inline Digest blake3(const void *data, std::size_t size) {
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    blake3_hasher_update(&hasher, data, size);
    Digest out;
    blake3_hasher_finalize(&hasher, out.data(), out.size());
    return out;
}

// A digest of a sequence of inputs, fed a piece at a time.
class Blake3 {
public:
    Blake3() {
        blake3_hasher_init(&hasher_);
    }
    void update(const void *data, std::size_t size) {
        blake3_hasher_update(&hasher_, data, size);
    }
    Digest digest() const {
        Digest out;
        blake3_hasher_finalize(&hasher_, out.data(), out.size());
        return out;
    }

private:
    blake3_hasher hasher_;
};

} // namespace veltrane::dedup
