// The set of distinct chunk digests seen so far, kept compact: 32 bytes of digest plus at most
// 13.4 bytes of table per distinct chunk (45.4 bytes in all; while the table doubles, the old
// one adds up to 6.7 bytes more for that moment).
#pragma once

#include "dedup/blake3.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace veltrane::dedup {

class DigestSet {
public:
    DigestSet();

    // Adds `d`; true when it was not there yet. std::length_error past 2^32 - 1 digests.
    bool insert(const Digest &d);
    bool contains(const Digest &d) const;

    std::size_t size() const {
        return count_;
    }
    // The digests in the order they were first inserted.
    const Digest &operator[](std::size_t i) const {
        return blocks_[i >> kBlockBits][i & kBlockMask];
    }
    // Forgets every digest inserted after the first `n`.
    void truncate(std::size_t n);
    // Bytes held: digests, table, and the unused end of the last block of digests.
    std::size_t memory_bytes() const;

private:
    // Digests are stored in blocks that never move, so growing the set never copies them
    // nor leaves a vector's spare capacity behind.
    static constexpr unsigned kBlockBits = 14;
    static constexpr std::size_t kBlockMask = (std::size_t {1} << kBlockBits) - 1;

    // Linear probing on the digest's first 8 bytes. Each slot has a one-byte tag (a ninth
    // digest byte, never 0, which marks an empty slot) next to the digest's number, so that a
    // probe reads the digest itself only when the tags agree (about 1 in 255 otherwise).
    static uint64_t position_bits(const Digest &d) {
        uint64_t h;
        std::memcpy(&h, d.data(), sizeof h);
        return h;
    }
    static uint8_t tag(const Digest &d) {
        return d[8] == 0 ? 1 : d[8];
    }
    void place(uint32_t index);
    void rebuild(std::size_t capacity);

    std::vector<std::unique_ptr<Digest[]>> blocks_;
    std::vector<uint8_t> tags_;
    std::vector<uint32_t> slots_;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
};

} // namespace veltrane::dedup
