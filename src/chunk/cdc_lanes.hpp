// The lane kernel of CDC::cut_points(): 16 chunks hashed at once, one per 16-bit lane of an AVX2
// register, each started where the chunks before it would end if they ran to their limit.
// Used where the limit rate says most chunks do; cdc.cpp chooses.
#pragma once

#include "chunk/cdc_modes.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrane::cdc {

// Chunks in flight: the 16-bit lanes of one AVX2 register.
constexpr unsigned kLanes = 16;
// Bytes each lane hashes per stride: one 16 x 16 byte transpose feeds 16 steps of 16 lanes.
constexpr std::size_t kStride = 16;
// Lane stride counters are signed 16-bit for the window compare: longest speculated limit.
constexpr std::size_t kMaxSpeculatedLimit = (std::size_t {1} << 15) * kStride / 2;
// The most content cuts in a row after which speculation stops (see cdc_lanes.cpp).
constexpr unsigned kMaxCutsToLeave = 8;

class Speculation {
public:
    Speculation(const unsigned char *data,
                std::size_t size,
                std::size_t limit,
                Ends &ends,
                LimitRate &rate)
        : data_(data), size_(size), limit_(limit), limit_strides_((limit + kStride - 1) / kStride),
          ends_(ends), rate_(rate) {}

    // Tunes the stop to the limit rate that random data would show.
    void expect(double limit_rate);

    // Whether a lane can scan the chunk at `start`: its whole limit, rounded up to strides, lies
    // inside the data, so no lane ever reads past the end and no limit is clamped.
    bool fits(std::size_t start) const {
        return start <= size_ && size_ - start >= limit_strides_ * kStride;
    }

    // Emits chunks from `frontier` on until speculation stops paying or no chunk that fits is
    // left; returns the end of the last chunk emitted.
    std::size_t run(std::size_t frontier);

private:
    // A chunk in flight or finished, whose start rests on the guesses of the links before it.
    struct Link {
        std::size_t start;
        std::size_t end; // 0 until known: no chunk ends at offset 0
        int lane;        // -1 once finished
    };

    std::size_t prefetch_end() const;

    // After a stride in which some lanes hit a cut candidate or their limit: the steps below,
    // in order. False: stop speculating.
    bool handle(uint32_t hits, uint32_t done);
    // Lanes with an event, in chain order, since a content cut drops every later link.
    unsigned in_chain_order(uint32_t events, unsigned *order) const;
    // Finishes the links whose lanes cut or reached their limit; a cut drops later links.
    void settle(const unsigned *order, unsigned count, uint32_t hits, uint32_t done);
    // Emits the finished links at the head of the chain, in order.
    void emit_confirmed();
    // Whether the chunks confirmed lately say the literal loop would now be faster.
    bool stops_paying();
    // Moves the chain back to the front of links_ once enough of it has been emitted.
    void compact_links();
    std::size_t cut_in_stride(unsigned lane, std::size_t start) const;
    void finish(Link &link, unsigned lane, std::size_t end);
    void drop_after(std::size_t link);
    bool assign();

    const unsigned char *data_;
    std::size_t size_;
    std::size_t limit_;
    std::size_t limit_strides_; // strides in a limit, the last one possibly partly past it
    unsigned cuts_to_leave_ = kMaxCutsToLeave;
    Ends &ends_;
    LimitRate &rate_;

    std::vector<Link> links_; // the chain: links_[head_, tail_), oldest unconfirmed chunk first
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    std::size_t frontier_ = 0;  // end of the last chunk emitted
    std::size_t read_ = 0;      // bytes every lane has read since run() started
    unsigned content_cuts_ = 0; // chunks in a row, the latest confirmed, that ended at a cut
    uint32_t free_ = 0;         // lanes without a link
    uint32_t idle_mask_ = 0;    // free lanes left shadowing the head's lane
    // Per lane, stored between strides where the scalar code needs them:
    alignas(32) uint16_t hash_[kLanes] = {};        // the cut hash's low 16 bits
    alignas(32) uint16_t hash_before_[kLanes] = {}; // the same before the last stride
    alignas(32) uint16_t strides_[kLanes] = {};     // strides hashed since the chunk started
    alignas(32) uint16_t idle_[kLanes] = {};        // 0xFFFF for idle lanes
    std::size_t base_[kLanes] = {}; // the lane reads at data_ + base_ + read_ (base_ wraps)
    std::size_t lane_link_[kLanes] = {};
};

} // namespace veltrane::cdc
