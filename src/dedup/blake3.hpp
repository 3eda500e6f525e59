// Chunk digests: BLAKE3 (the vendored reference C implementation, which picks SSE2, SSE4.1,
// AVX2 or AVX-512 at run time), 256 bits, the same on every machine.
#pragma once

#include "blake3/blake3.h"
#include "common/cpu.hpp"
#include "dedup/dedup.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace veltrane::dedup {

constexpr std::size_t kDigestSize = BLAKE3_OUT_LEN;
using Digest = std::array<unsigned char, kDigestSize>;

// Keeps BLAKE3 to the kernels of `isa` and narrower (call once, before any digest): a process
// pinned to AVX2 then digests as an AVX2-only machine does. The digests are the same.
void blake3_follow_isa(cpu::Isa isa);

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

// BLAKE3 of many messages at once, each digest equal to blake3() of its message, at several
// times its speed for messages of a few KiB (blake3_many.cpp). Reuses its memory between calls.
class Blake3Many {
public:
    void digest(const ByteSpan *messages, std::size_t count, Digest *out);

private:
    static constexpr unsigned kLanes = 16; // the widest SIMD path of the reference
    // Longer messages are left to the reference, which hashes them wide itself.
    static constexpr std::size_t kMaxChunks = 256;
    // Blocks a last chunk may have past the shortest of the group it shares lanes with.
    static constexpr uint32_t kSpread = 4;

    struct Message {
        const unsigned char *data;
        std::size_t size;
        std::size_t index; // in the call's messages
        uint32_t chunks;
        std::size_t cv; // the first of its chaining values in cvs_, with chunks > 1
        uint32_t left;  // nodes on the level being merged
    };
    struct Tail {
        uint32_t counter;     // the last chunk's index
        uint32_t final_block; // its last block's index
        uint32_t message;     // in msgs_
    };
    // Inputs waiting for one call of the reference's many-input hash, and where each output goes.
    struct Lanes {
        const unsigned char *inputs[kLanes];
        unsigned char *outputs[kLanes];
        unsigned count = 0;
        void add(const unsigned char *in, unsigned char *out);
        void
        flush(std::size_t blocks, uint64_t counter, uint8_t flags, uint8_t start, uint8_t end);
    };

    unsigned char *cv(const Message &m, std::size_t node) {
        return cvs_.data() + (m.cv + node) * kDigestSize;
    }
    void whole_chunks();
    void last_chunks(Digest *out);
    void parents(Digest *out);

    std::vector<Message> msgs_;
    std::vector<unsigned char> cvs_;
    std::vector<Lanes> by_counter_;
    std::vector<Tail> tails_;
    std::vector<uint32_t> active_;
};

} // namespace veltrane::dedup
