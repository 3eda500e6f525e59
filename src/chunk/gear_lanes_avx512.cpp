// The walk in sixteen lanes, for data of many chunks on AVX-512 (built for F + BW + VL + VBMI;
// run only where cpu::best_isa() says so).
//
// A candidate scan hashes every byte; the walk (cut_serial) skips the first min_size - 64
// bytes of each chunk, but rolls one byte at a time. Here sixteen lanes each walk a sixteenth
// of the data, chunking it as if a chunk began at the lane's first byte and skipping as the
// walk does, so about (mean - min_size + 64) / mean of the bytes are hashed, sixteen at a time.
// GearCDC::stitch then joins the lanes' runs into the true chunking.
#include "chunk/gear_avx512.hpp"

#include <algorithm>
#include <array>

namespace veltrane::gear {

using namespace avx512;

namespace {

// A lane's state: the chunk it is in and its cuts. Where its next 64 bytes are loaded, where
// the loose threshold begins and where the chunk ends at the latest are kept apart, in Walk's
// arrays, to be tested as vectors.
struct Lane {
    std::size_t end = 0;   // the lane's share ends here; its last cut is the first past it
    std::size_t first = 0; // the first position that may end the chunk (min_size)
    std::vector<int64_t> cuts;
};

class Walk {
public:
    Walk(const GearCDC &c, const unsigned char *data, std::size_t size)
        : c_(c), data_(data), size_(size), g_(c.table().g) {}

    // Appends the sixteen runs of data[begin, end), in order.
    void run(std::size_t begin, std::size_t end, std::vector<LaneRun> &runs) {
        const std::size_t share = (end - begin) / kLanes;
        for (std::size_t l = 0; l < kLanes; ++l) {
            lanes_[l].end = l + 1 == kLanes ? end : begin + share * (l + 1);
            starts_[l] = begin + share * l;
            begin_chunk(l, starts_[l]);
        }
        roll_lanes();
        for (std::size_t l = 0; l < kLanes; ++l) {
            runs.push_back(LaneRun {starts_[l], std::move(lanes_[l].cuts)});
        }
    }

private:
    // Starts the lane's next chunk at `start`, or retires the lane when its share is done.
    void begin_chunk(std::size_t l, std::size_t start) {
        Lane &lane = lanes_[l];
        const uint16_t bit = static_cast<uint16_t>(1u << l);
        active_ &= static_cast<uint16_t>(~bit);
        at_[l] = 0; // a retired lane loads the data's first bytes, which are there and ignored
        if (start >= lane.end) {
            return;
        }
        if (size_ - start <= c_.min_size()) {
            lane.cuts.push_back(static_cast<int64_t>(size_));
            return;
        }
        lane.first = start + c_.min_size() - 1;
        loose_from_[l] = start + c_.avg_size() - 1;
        limit_[l] = start + std::min<uint64_t>(size_ - start, c_.max_size());
        // Hashing starts 64 bytes before the first tested position, as in GearCDC::cut; the
        // hash is zeroed at the next group.
        at_[l] = lane.first + 1 - kWindow;
        active_ |= bit;
        fresh_ |= bit;
    }

    // The chunk of lane l ends at `end`.
    void cut(std::size_t l, std::size_t end) {
        lanes_[l].cuts.push_back(static_cast<int64_t>(end));
        begin_chunk(l, end);
    }

    // The lane's chunks to the end of its share by the literal loop, for lanes whose next
    // group would read past the data.
    void finish(std::size_t l) {
        Lane &lane = lanes_[l];
        std::size_t start = lane.first + 1 - c_.min_size();
        at_[l] = 0;
        for (;;) {
            const std::size_t end = start + c_.cut(data_ + start, size_ - start);
            lane.cuts.push_back(static_cast<int64_t>(end));
            if (end >= lane.end || end == size_) {
                break;
            }
            start = end;
        }
        active_ &= static_cast<uint16_t>(~(1u << l));
    }

    // Positions of lane l's group from `from` (eight of them), rolled one by one from hash v:
    // ends the chunk at the first that passes its test, or at the limit.
    bool check(std::size_t l, std::size_t from, uint64_t v) {
        const Lane &lane = lanes_[l];
        for (std::size_t j = from; j < from + kBlock; ++j) {
            v = (v << 1) + g_[data_[j]];
            if (j >= lane.first &&
                v < (j < loose_from_[l] ? c_.strict_threshold() : c_.loose_threshold())) {
                cut(l, j + 1);
                return true;
            }
            if (j + 1 == limit_[l]) {
                cut(l, j + 1);
                return true;
            }
        }
        return false;
    }

    void roll_lanes() {
        const Tables t = load_tables(c_.table());
        const __m512i loose = _mm512_set1_epi64(static_cast<long long>(c_.loose_threshold()));
        const __m512i strict = _mm512_set1_epi64(static_cast<long long>(c_.strict_threshold()));
        alignas(64) uint64_t before[kLanes];
        const __m512i group = _mm512_set1_epi64(kGroup);
        const __m512i size = _mm512_set1_epi64(static_cast<long long>(size_));
        __m512i ha = _mm512_setzero_si512();
        __m512i hb = _mm512_setzero_si512();
        while (active_ != 0) {
            __m512i end_a = _mm512_add_epi64(_mm512_load_si512(at_.data()), group);
            __m512i end_b = _mm512_add_epi64(_mm512_load_si512(at_.data() + 8), group);
            // Lanes whose next 64 bytes run past the data finish by the literal loop.
            const uint16_t past =
                static_cast<uint16_t>((_mm512_cmpgt_epu64_mask(end_a, size) |
                                       (unsigned {_mm512_cmpgt_epu64_mask(end_b, size)} << 8)) &
                                      active_);
            if (__builtin_expect(past != 0, 0)) {
                for (uint16_t rest = past; rest != 0; rest &= rest - 1) {
                    finish(static_cast<std::size_t>(__builtin_ctz(rest)));
                }
                continue;
            }
            // Lanes whose chunk reaches its limit in this group are checked one position at a
            // time in every block that they have not cut before.
            const uint16_t limits = static_cast<uint16_t>(
                (_mm512_cmple_epu64_mask(_mm512_load_si512(limit_.data()), end_a) |
                 (unsigned {_mm512_cmple_epu64_mask(_mm512_load_si512(limit_.data() + 8), end_b)}
                  << 8)) &
                active_);
            // A group wholly before avg_size is tested against the strict threshold, which
            // leaves normalization * 2 bits fewer blocks to check one position at a time.
            const __m512i below_a = _mm512_mask_blend_epi64(
                _mm512_cmpge_epu64_mask(_mm512_load_si512(loose_from_.data()), end_a),
                loose,
                strict);
            const __m512i below_b = _mm512_mask_blend_epi64(
                _mm512_cmpge_epu64_mask(_mm512_load_si512(loose_from_.data() + 8), end_b),
                loose,
                strict);
            ha = _mm512_maskz_mov_epi64(static_cast<__mmask8>(~fresh_), ha);
            hb = _mm512_maskz_mov_epi64(static_cast<__mmask8>(~(fresh_ >> 8)), hb);
            fresh_ = 0;
            const std::array<std::size_t, kLanes> base = at_;
            const unsigned char *rows[kLanes];
            for (std::size_t l = 0; l < kLanes; ++l) {
                rows[l] = data_ + base[l];
            }
            __m512i words_a[8], words_b[8];
            load_words(rows, words_a, words_b);
            // Lanes that have not cut in this group: after a cut, a lane's later bytes here
            // belong to no chunk it tests.
            uint16_t live = active_;
            for (std::size_t w = 0; w < kGroup / kBlock; ++w) {
                const __m512i before_a = ha;
                const __m512i before_b = hb;
                const unsigned below =
                    roll_and_test(ha, hb, words_a[w], words_b[w], t, below_a, below_b);
                const uint16_t hits = static_cast<uint16_t>((below | limits) & live);
                if (__builtin_expect(hits != 0, 0)) {
                    _mm512_store_si512(before, before_a);
                    _mm512_store_si512(before + 8, before_b);
                    for (uint16_t rest = hits; rest != 0; rest &= rest - 1) {
                        const unsigned l = static_cast<unsigned>(__builtin_ctz(rest));
                        if (check(l, base[l] + w * kBlock, before[l])) {
                            live &= static_cast<uint16_t>(~(1u << l));
                        }
                    }
                }
            }
            _mm512_store_si512(at_.data(),
                               _mm512_mask_add_epi64(_mm512_load_si512(at_.data()),
                                                     static_cast<__mmask8>(live),
                                                     _mm512_load_si512(at_.data()),
                                                     group));
            _mm512_store_si512(at_.data() + 8,
                               _mm512_mask_add_epi64(_mm512_load_si512(at_.data() + 8),
                                                     static_cast<__mmask8>(live >> 8),
                                                     _mm512_load_si512(at_.data() + 8),
                                                     group));
        }
    }

    const GearCDC &c_;
    const unsigned char *data_;
    std::size_t size_;
    const uint64_t *g_;
    std::array<Lane, kLanes> lanes_;
    std::array<std::size_t, kLanes> starts_ {};
    alignas(64) std::array<std::size_t, kLanes> at_ {};    // the first byte of a lane's next group
    alignas(64) std::array<std::size_t, kLanes> limit_ {}; // its chunk ends here at the latest
    alignas(64) std::array<std::size_t, kLanes> loose_from_ {}; // the loose threshold from here
    uint16_t active_ = 0;                                       // lanes still chunking their share
    uint16_t fresh_ = 0; // lanes that begin a chunk at their next group: hash from zero
};

} // namespace

void walk_lanes(const GearCDC &c,
                const unsigned char *data,
                std::size_t size,
                std::size_t begin,
                std::size_t end,
                std::vector<LaneRun> &runs) {
    Walk(c, data, size).run(begin, end, runs);
}

} // namespace veltrane::gear
