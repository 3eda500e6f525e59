// CDC::cut_points(): the literal loop where chunks are short, the lanes of cdc_lanes.cpp where
// most chunks run to their limit, switched by the limit rate (cdc_modes.hpp). Either way the
// cuts are those of the literal loop in cdc_literal.hpp.
#include "chunk/cdc.hpp"

#include "chunk/cdc_lanes.hpp"
#include "chunk/cdc_modes.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace veltrane {

namespace {

using cdc::Ends;
using cdc::kWindowSize;
using cdc::LimitRate;

// Literal chunks cut between two looks at the rate: half its memory, so that speculation
// resumes soon after the data turns random again.
constexpr unsigned kStretch = 16;

// The chance that a chunk of random data runs to its limit: no cut in its limit - 48 tests,
// each of which cuts with probability 2^-13.
double random_limit_rate(std::size_t limit) {
    if (limit <= kWindowSize) {
        return 1.0;
    }
    const double tests = static_cast<double>(limit - kWindowSize);
    return std::exp(tests * std::log1p(-1.0 / static_cast<double>(cdc::kMask + 1)));
}

// Up to about kStretch chunks from `start` by the literal loop; returns where the next one
// starts. Runs of short chunks (long runs of zeros cut every 49 bytes) keep one hash chain after
// the other waiting, so the windows of the next kGuesses - 1 chunks, as they would start if
// each chunk cut at its first test, are hashed alongside this chunk's window: four chains fill
// the multiplier, one leaves it idle three cycles in four. Where a guess fails, the extra
// chains cost only those idle slots.
std::size_t literal_stretch(const unsigned char *data,
                            std::size_t size,
                            std::size_t start,
                            std::size_t limit,
                            Ends &ends,
                            LimitRate &rate) {
    constexpr std::size_t kWindow = kWindowSize;
    constexpr std::size_t kShortest = kWindow + 1; // a cut at the first test
    constexpr unsigned kGuesses = 4;
    unsigned cut = 0;
    while (cut < kStretch && start < size) {
        const std::size_t left = size - start;
        if (left <= kWindow) {
            start += std::min(limit, left);
            ends.push(start);
            ++cut;
            continue;
        }
        const unsigned char *chunk = data + start;
        uint64_t h[kGuesses] = {};
        unsigned ways = 1;
        if (left > (kGuesses - 1) * kShortest + kWindow) {
            // Every guessed chunk would hash its window.
            ways = kGuesses;
#pragma GCC unroll 16
            for (std::size_t p = 0; p < kWindow; ++p) {
                for (unsigned m = 0; m < kGuesses; ++m) {
                    h[m] = (h[m] * cdc::kPrime) ^ chunk[m * kShortest + p];
                }
            }
        } else {
            h[0] = cdc::window_hash(chunk);
        }
        for (unsigned m = 0; m < ways; ++m) {
            const std::size_t length =
                cdc::scan_after_window(data + start, std::min(limit, size - start), h[m]);
            start += length;
            ends.push(start);
            rate.add(length == limit);
            ++cut;
            if (length != kShortest) {
                break; // the next guess started in the wrong place
            }
        }
    }
    return start;
}

} // namespace

CDC::CDC(uint64_t chunk_size) : chunk_size_(chunk_size) {
    if (chunk_size == 0) {
        throw std::invalid_argument("chunk_size must be at least 1");
    }
}

std::size_t CDC::cut(const unsigned char *data, std::size_t size) const {
    return cdc::literal_cut(data, size, chunk_size_);
}

void CDC::cut_points(const unsigned char *data, std::size_t size, EndSink sink) const {
    Ends ends(sink);
    // Every chunk's limit: 2 * chunk_size, or the whole data when that is longer.
    const std::size_t limit = cdc::chunk_limit(size, chunk_size_);
    std::size_t start = 0;
    if (limit <= kWindowSize) {
        // No test ever runs: chunks of the limit, the last one shorter.
        for (; start < size; start += std::min(limit, size - start)) {
            ends.push(start + std::min(limit, size - start));
        }
        ends.flush();
        return;
    }
    LimitRate rate(0.0);
    cdc::Speculation speculation(data, size, limit, ends, rate);
    // A lane needs a whole limit of data, and fewer bytes are left later on.
    const bool may_speculate = limit <= cdc::kMaxSpeculatedLimit && speculation.fits(0);
    if (may_speculate) {
        const double expected = random_limit_rate(limit);
        rate = LimitRate(expected);
        speculation.expect(expected);
    }
    while (start < size) {
        if (may_speculate && rate.at_least(cdc::kEnterRate) && speculation.fits(start)) {
            start = speculation.run(start);
            continue;
        }
        start = literal_stretch(data, size, start, limit, ends, rate);
    }
    ends.flush();
}

} // namespace veltrane
