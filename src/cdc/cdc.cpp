#include "cdc.hpp"

#include <atomic>
#include <cstring>
#include <limits>
#include <pthread.h>
#include <stdexcept>
#include <unordered_map>

namespace veltrane {

namespace {

// GNU OpenMP cannot be used in a child forked after the parent ran a parallel region: the
// child inherits the team's bookkeeping but not its threads, and the next region waits for
// them forever. multiprocessing forks by default on Linux, so a child of a process that has
// deduplicated runs the parallel phase on its own thread instead.
std::atomic<bool> team_started {false};
std::atomic<bool> team_unusable {false};

void after_fork_in_child() {
    if (team_started.load(std::memory_order_relaxed)) {
        team_unusable.store(true, std::memory_order_relaxed);
    }
}

void fingerprint_all(const std::vector<ByteSpan> &chunks, std::vector<uint64_t> &fps) {
    // Registered before the first region, so no team exists that a child could not see.
    static const bool fork_handler_registered =
        pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
    const auto count = static_cast<std::ptrdiff_t>(chunks.size());
    if (team_unusable.load(std::memory_order_relaxed) || !fork_handler_registered) {
        for (std::ptrdiff_t i = 0; i < count; ++i) {
            fps[i] = CDC::fingerprint(chunks[i].data, chunks[i].size);
        }
        return;
    }
    team_started.store(true, std::memory_order_relaxed);
    // Allocates nothing, so no thread of the team can fail part-way.
#pragma omp parallel for schedule(static)
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        fps[i] = CDC::fingerprint(chunks[i].data, chunks[i].size);
    }
}

} // namespace

CDC::CDC(uint64_t chunk_size) : chunk_size_(chunk_size) {
    if (chunk_size == 0) {
        throw std::invalid_argument("chunk_size must be at least 1");
    }
}

std::size_t CDC::cut(const unsigned char *data, std::size_t size) const {
    // 2 * chunk_size can overflow; comparing against half the remaining size cannot.
    const std::size_t limit =
        chunk_size_ > size / 2 ? size : static_cast<std::size_t>(2 * chunk_size_);
    if (size <= kWindowSize) {
        return limit;
    }
    uint64_t h = 0;
    for (std::size_t p = 0; p < kWindowSize; ++p) {
        h = (h * kPrime) ^ data[p];
    }
    for (std::size_t p = kWindowSize; p < limit; ++p) {
        h = (h * kPrime) ^ data[p];
        if ((h & kMask) == 0) {
            return p + 1;
        }
    }
    return limit;
}

uint64_t CDC::fingerprint(const unsigned char *data, std::size_t size) {
    uint64_t f = kFingerprintSeed;
    for (std::size_t i = 0; i < size; ++i) {
        const uint64_t x = (f ^ data[i]) * kPrime;
        f = (x >> 33) | (x << 31);
    }
    return f;
}

std::vector<std::size_t> CDC::first_occurrences(const std::vector<ByteSpan> &chunks) {
    const std::size_t n = chunks.size();
    std::vector<uint64_t> fps(n);
    fingerprint_all(chunks, fps);

    // One pass in input order keeps the first occurrence whatever the team did. A fingerprint
    // maps to its newest survivor; `previous` chains the older survivors that collided with it.
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> survivors;
    std::vector<std::size_t> previous;
    std::unordered_map<uint64_t, std::size_t> newest;
    newest.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto [it, inserted] = newest.try_emplace(fps[i], survivors.size());
        if (!inserted) {
            const ByteSpan &chunk = chunks[i];
            bool seen = false;
            for (std::size_t s = it->second; s != kNone && !seen; s = previous[s]) {
                const ByteSpan &other = chunks[survivors[s]];
                seen = other.size == chunk.size &&
                       (chunk.size == 0 || std::memcmp(other.data, chunk.data, chunk.size) == 0);
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

double CDC::reduction_percent(std::size_t unique, std::size_t total) {
    if (total == 0) {
        return 0.0;
    }
    return (1.0 - static_cast<double>(unique) / static_cast<double>(total)) * 100.0;
}

} // namespace veltrane
