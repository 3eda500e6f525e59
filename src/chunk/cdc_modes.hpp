// What the two scan modes of CDC::cut_points() share: the chunk ends they emit, and the rate of
// chunks that run to their limit, which chooses between the literal loop (cdc.cpp) and the
// lanes (cdc_lanes.cpp).
#pragma once

#include "chunk/cdc.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace veltrane::cdc {

// Speculation pays while enough chunks run to their limit. Measured against the literal loop on
// random data (chunk sizes 2048 to 10240, limit rates 0.61 to 0.08), it breaks even at a rate
// of 0.22 and wins 1.1 times at 0.29. It is entered above that and left at break-even, so that
// the noise of a moving average does not flap between the two loops.
constexpr double kEnterRate = 0.28;
constexpr double kLeaveRate = 0.22;

// How often recent chunks ran to their limit: an exponential moving average over about 32
// chunks, short enough to notice soon that the data changed, long enough to keep the noise of
// random data (a standard deviation of 0.05 at a rate of 0.2) off the thresholds. Integer
// arithmetic: a double decaying on all-zero data ends up a denormal, and every operation on
// one costs a microcode assist.
class LimitRate {
public:
    explicit LimitRate(double expected) : rate_(fixed(expected)) {}

    void add(bool at_limit) {
        rate_ += ((at_limit ? kOne : 0) - rate_) / 32;
    }

    // Forgets the chunks that ran to their limit before the last few.
    void cap(double rate) {
        rate_ = std::min(rate_, fixed(rate));
    }

    bool at_least(double rate) const {
        return rate_ >= fixed(rate);
    }

private:
    static constexpr int32_t kOne = 1 << 16;

    static int32_t fixed(double rate) {
        return static_cast<int32_t>(rate * kOne);
    }

    int32_t rate_;
};

// Chunk ends on their way to the caller, handed over a batch at a time.
class Ends {
public:
    explicit Ends(CDC::EndSink sink) : sink_(sink) {}

    void push(std::size_t end) {
        buffer_[count_++] = end;
        if (count_ == kCapacity) {
            flush();
        }
    }

    void flush() {
        if (count_ != 0) {
            sink_(buffer_, count_);
            count_ = 0;
        }
    }

private:
    static constexpr std::size_t kCapacity = 256; // 2 KiB: a call per batch costs nothing
    CDC::EndSink sink_;
    std::size_t buffer_[kCapacity];
    std::size_t count_ = 0;
};

} // namespace veltrane::cdc
