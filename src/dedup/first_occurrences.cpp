// The first occurrence of each distinct chunk: digests on the thread team, an
// open-addressing table in input order, and a byte comparison that confirms every match.
#include "common/hash.hpp"
#include "common/team.hpp"
#include "dedup/dedup.hpp"

#include <atomic>
#include <cstring>
#include <limits>
#include <unordered_map>

namespace veltrane::dedup {

namespace {

bool same_bytes(const ByteSpan &a, const ByteSpan &b) {
    return a.size == b.size && (a.size == 0 || std::memcmp(a.data, b.data, a.size) == 0);
}

// For every chunk, the index of the first chunk with its digest: an open-addressing table
// of twice as many slots as chunks, probed in order from the digest's Fibonacci hash, so
// that no node is allocated per chunk.
std::vector<std::size_t> first_with_digest(const std::vector<uint64_t> &ds) {
    constexpr std::size_t kEmpty = std::numeric_limits<std::size_t>::max();
    int bits = 4;
    while ((std::size_t {1} << bits) < 2 * ds.size()) {
        ++bits;
    }
    const std::size_t mask = (std::size_t {1} << bits) - 1;
    std::vector<std::size_t> slots(mask + 1, kEmpty);
    std::vector<std::size_t> first(ds.size());
    for (std::size_t i = 0; i < ds.size(); ++i) {
        std::size_t at = hash::fibonacci_slot(ds[i], bits);
        while (slots[at] != kEmpty && ds[slots[at]] != ds[i]) {
            at = (at + 1) & mask;
        }
        if (slots[at] == kEmpty) {
            slots[at] = i;
        }
        first[i] = slots[at];
    }
    return first;
}

// The exact pass for inputs with a digest collision: in input order, a digest maps to
// its newest survivor, and `previous` chains the older survivors that collided with it.
std::vector<std::size_t> first_occurrences_colliding(const std::vector<ByteSpan> &chunks,
                                                     const std::vector<uint64_t> &ds) {
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> survivors;
    std::vector<std::size_t> previous;
    std::unordered_map<uint64_t, std::size_t> newest;
    newest.reserve(chunks.size());
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const auto [it, inserted] = newest.try_emplace(ds[i], survivors.size());
        if (!inserted) {
            bool seen = false;
            for (std::size_t s = it->second; s != kNone && !seen; s = previous[s]) {
                seen = same_bytes(chunks[survivors[s]], chunks[i]);
            }
            if (seen) {
                continue;
            }
            previous.push_back(it->second);
            it->second = survivors.size();
        } else {
            previous.push_back(kNone);
        }
        survivors.push_back(i);
    }
    return survivors;
}

} // namespace

std::vector<std::size_t> first_occurrences(const std::vector<ByteSpan> &chunks) {
    const std::size_t n = chunks.size();
    std::vector<uint64_t> ds(n);
    // A batch of up to 256 chunks lets digests() interleave its chains in long runs.
    team::on_team(n, [&](std::size_t begin, std::size_t end) {
        digests(chunks.data() + begin, end - begin, ds.data() + begin);
    });
    // In input order, so the first occurrence is kept whatever the team did.
    const std::vector<std::size_t> first = first_with_digest(ds);
    // A digest match is confirmed by comparing bytes, by the team as well. Only a
    // collision (different bytes, one digest) needs the exact pass.
    std::atomic<bool> collided {false};
    team::on_team(n, [&](std::size_t begin, std::size_t end) {
        bool differs = false;
        for (std::size_t i = begin; i < end && !differs; ++i) {
            differs = first[i] != i && !same_bytes(chunks[i], chunks[first[i]]);
        }
        if (differs) {
            collided.store(true, std::memory_order_relaxed);
        }
    });
    if (collided.load(std::memory_order_relaxed)) {
        return first_occurrences_colliding(chunks, ds);
    }
    std::vector<std::size_t> survivors;
    for (std::size_t i = 0; i < n; ++i) {
        if (first[i] == i) {
            survivors.push_back(i);
        }
    }
    return survivors;
}

double reduction_percent(std::size_t unique, std::size_t total) {
    if (total == 0) {
        return 0.0;
    }
    return (1.0 - static_cast<double>(unique) / static_cast<double>(total)) * 100.0;
}

} // namespace veltrane::dedup
