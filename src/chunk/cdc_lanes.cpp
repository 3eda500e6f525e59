// Written literally, chunking is one dependency chain: every byte waits for the multiply of
// the byte before. Two facts let several chains run at once without changing a single cut:
//
// 1. A cut depends on the 13 low bits of the cut hash only, and the low bits of a product
//    depend only on the low bits of its factors. So h mod 2^16 evolves on its own, as
//    h' = h * (prime mod 2^16) ^ b, and a 16-bit lane carries it exactly.
// 2. Most chunks of random data run to their limit of 2 * chunk_size bytes, so the chunks
//    after them can be started at those forced positions before the earlier chunks are done.
//
// Speculation keeps 16 such chunks in flight, one per 16-bit lane of an AVX2 register. Their
// starts form a chain: each guesses that the chunk before it runs to its limit. A lane that
// finds a content cut proves every later guess wrong; those lanes are dropped and restart at
// the cut. Cut points are confirmed in order, so the result is the literal algorithm's.
#include "chunk/cdc_lanes.hpp"

#include <algorithm>
#include <cmath>
#include <immintrin.h>

namespace veltrane::cdc {

namespace {

// The cut hash's multiplier modulo 2^16: 0x100000001b3 mod 65536 = 0x01b3.
constexpr uint16_t kPrimeLow16 = static_cast<uint16_t>(kPrime);
// Bits of the cut hash that decide a cut: kMask = 2^13 - 1.
constexpr int kMaskBits = 13;
static_assert(kMask == (1U << kMaskBits) - 1);
// Shifted left by 16 - 13, a lane keeps exactly the deciding bits: a cut is a zero lane.
constexpr int kCutShift = 16 - kMaskBits;

// The window is exactly three strides, so a lane tests for cuts from its fourth stride on.
static_assert(kWindowSize % kStride == 0);
constexpr unsigned kWindowStrides = kWindowSize / kStride;

// Content cuts in a row after which speculation stops at once: the fewest that random data,
// which speculation suits, shows by chance less than once in 1000 chunks, from 2 (chunk size
// 64) over 5 (the default) to at most 8. A wrong stop costs only the chunks in flight, as the
// rate sends the next look straight back; a late one costs a round of restarts per chunk.
constexpr double kChanceOfWrongStop = 1e-3;

unsigned cuts_to_leave(double limit_rate) {
    const double cuts = std::ceil(std::log(kChanceOfWrongStop) / std::log1p(-limit_rate));
    return static_cast<unsigned>(std::clamp(cuts, 2.0, static_cast<double>(kMaxCutsToLeave)));
}

// 16 bytes of lane j (low half) and lane j + 8 (high half); lane j reads at
// data + base[j] + read.
inline __m256i
two_rows(const unsigned char *data, const std::size_t *base, std::size_t read, unsigned j) {
    const auto *lo = reinterpret_cast<const __m128i *>(data + (base[j] + read));
    const auto *hi = reinterpret_cast<const __m128i *>(data + (base[j + 8] + read));
    return _mm256_loadu2_m128i(hi, lo);
}

// Runs every lane's cut hash over its next stride of 16 bytes. Returns, per lane, the smallest
// of the 16 hashes shifted to their deciding bits: zero where the stride holds a cut candidate.
inline __m256i
hash_stride(const unsigned char *data, const std::size_t *base, std::size_t read, __m256i &hash) {
    // Transpose 16 rows of 16 bytes into 16 vectors of one byte per lane. Each 128-bit half
    // works on its own 8 lanes, so three rounds of unpacks give 8 vectors of two steps each.
    const __m256i r0 = two_rows(data, base, read, 0), r1 = two_rows(data, base, read, 1);
    const __m256i r2 = two_rows(data, base, read, 2), r3 = two_rows(data, base, read, 3);
    const __m256i r4 = two_rows(data, base, read, 4), r5 = two_rows(data, base, read, 5);
    const __m256i r6 = two_rows(data, base, read, 6), r7 = two_rows(data, base, read, 7);
    const __m256i a0 = _mm256_unpacklo_epi8(r0, r1), a1 = _mm256_unpackhi_epi8(r0, r1);
    const __m256i a2 = _mm256_unpacklo_epi8(r2, r3), a3 = _mm256_unpackhi_epi8(r2, r3);
    const __m256i a4 = _mm256_unpacklo_epi8(r4, r5), a5 = _mm256_unpackhi_epi8(r4, r5);
    const __m256i a6 = _mm256_unpacklo_epi8(r6, r7), a7 = _mm256_unpackhi_epi8(r6, r7);
    const __m256i b0 = _mm256_unpacklo_epi16(a0, a2), b1 = _mm256_unpackhi_epi16(a0, a2);
    const __m256i b2 = _mm256_unpacklo_epi16(a1, a3), b3 = _mm256_unpackhi_epi16(a1, a3);
    const __m256i b4 = _mm256_unpacklo_epi16(a4, a6), b5 = _mm256_unpackhi_epi16(a4, a6);
    const __m256i b6 = _mm256_unpacklo_epi16(a5, a7), b7 = _mm256_unpackhi_epi16(a5, a7);
    const __m256i steps[8] = {
        _mm256_unpacklo_epi32(b0, b4), // steps 0 and 1
        _mm256_unpackhi_epi32(b0, b4), // steps 2 and 3
        _mm256_unpacklo_epi32(b1, b5),
        _mm256_unpackhi_epi32(b1, b5),
        _mm256_unpacklo_epi32(b2, b6),
        _mm256_unpackhi_epi32(b2, b6),
        _mm256_unpacklo_epi32(b3, b7),
        _mm256_unpackhi_epi32(b3, b7), // steps 14 and 15
    };
    const __m256i prime = _mm256_set1_epi16(static_cast<short>(kPrimeLow16));
    const __m256i zero = _mm256_setzero_si256();
    __m256i least = _mm256_set1_epi16(-1);
    __m256i h = hash;
    for (const __m256i two : steps) {
        // Unpacking with zero widens the bytes to 16-bit lanes in lane order 0 to 15.
        h = _mm256_xor_si256(_mm256_mullo_epi16(h, prime), _mm256_unpacklo_epi8(two, zero));
        least = _mm256_min_epu16(least, _mm256_slli_epi16(h, kCutShift));
        h = _mm256_xor_si256(_mm256_mullo_epi16(h, prime), _mm256_unpackhi_epi8(two, zero));
        least = _mm256_min_epu16(least, _mm256_slli_epi16(h, kCutShift));
    }
    hash = h;
    return least;
}

// Prefetching (see Speculation::run): x86-64 cache lines and small pages, four lines a stride
// (measured best of 2 and 4), and page-table walks 16 pages ahead (measured best of 8 to 64).
constexpr std::size_t kCacheLine = 64;
constexpr unsigned kPrefetchLines = 4;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kTouchAhead = 16 * kPage;

// One lane mask bit per 16-bit lane, from a byte mask of 16-bit lane compares.
inline uint32_t lane_mask(__m256i lanes) {
    return _pext_u32(static_cast<uint32_t>(_mm256_movemask_epi8(lanes)), 0x55555555U);
}

} // namespace

void Speculation::expect(double limit_rate) {
    cuts_to_leave_ = cuts_to_leave(limit_rate);
}

std::size_t Speculation::prefetch_end() const {
    return frontier_ + std::min(size_ - frontier_, 2 * kLanes * limit_);
}

namespace {

__m256i load(const uint16_t *v) {
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(v));
}

void store(uint16_t *v, __m256i x) {
    _mm256_store_si256(reinterpret_cast<__m256i *>(v), x);
}

} // namespace

std::size_t Speculation::run(std::size_t frontier) {
    frontier_ = frontier;
    content_cuts_ = 0;
    links_.resize(4 * kLanes);
    head_ = 0;
    tail_ = 0;
    read_ = 0;
    free_ = (1U << kLanes) - 1;
    for (unsigned j = 0; j < kLanes; ++j) {
        hash_[j] = 0;
        strides_[j] = 0;
    }
    if (!assign()) {
        return frontier_;
    }
    const __m256i window = _mm256_set1_epi16(kWindowStrides);
    const __m256i one = _mm256_set1_epi16(1);
    const __m256i last = _mm256_set1_epi16(static_cast<short>(limit_strides_));
    const __m256i zero = _mm256_setzero_si256();
    __m256i hash = load(hash_), strides = load(strides_), idle = load(idle_);
    std::size_t read = read_;
    // Lanes jump to new chunks too often for the hardware prefetcher, and a restart after a cut
    // sends all of them to bytes not read yet at once. So the bytes that lanes may be sent to
    // soon, up to 2 * kLanes limits past the frontier, are fetched ahead in order.
    std::size_t ahead = frontier_;
    std::size_t ahead_end = prefetch_end();
    for (;;) {
        if (ahead < ahead_end) {
            // Four lines a stride stay well ahead of the ~120 bytes a stride confirms.
            // Addresses as integers: the last prefetches may point past the data, which a
            // prefetch may do but a pointer may not.
            const auto address = reinterpret_cast<uintptr_t>(data_) + ahead;
            for (unsigned line = 0; line < kPrefetchLines; ++line) {
                _mm_prefetch(reinterpret_cast<const char *>(address + line * kCacheLine),
                             _MM_HINT_T0);
            }
            // Once a page, a load 16 pages further on: it walks the page tables before the
            // lanes and the prefetches get there (1.1 to 1.15 times faster on 64 MiB).
            if (address % kPage < kPrefetchLines * kCacheLine && ahead + kTouchAhead < size_) {
                const unsigned char touched = data_[ahead + kTouchAhead];
                asm volatile("" : : "r"(touched)); // keeps the load
            }
            ahead += kPrefetchLines * kCacheLine;
        }
        const __m256i before = hash;
        const __m256i least = hash_stride(data_, base_, read, hash);
        // Strides 0 to 2 of a lane are its window, which never cuts.
        const __m256i ignored = _mm256_or_si256(_mm256_cmpgt_epi16(window, strides), idle);
        strides = _mm256_add_epi16(strides, one);
        read += kStride;
        const __m256i hit = _mm256_cmpeq_epi16(_mm256_or_si256(least, ignored), zero);
        const __m256i done = _mm256_cmpeq_epi16(strides, last);
        if (_mm256_testz_si256(_mm256_or_si256(hit, done), _mm256_or_si256(hit, done))) {
            continue;
        }
        store(hash_before_, before);
        store(hash_, hash);
        store(strides_, strides);
        read_ = read;
        if (!handle(lane_mask(hit), lane_mask(done))) {
            return frontier_;
        }
        hash = load(hash_);
        strides = load(strides_);
        idle = load(idle_);
        ahead = std::max(ahead, frontier_);
        ahead_end = prefetch_end();
    }
}

// Settles the lanes that hit a cut candidate or their limit in the last stride, emits the
// chunks confirmed since, and gives every free lane a new chunk.
bool Speculation::handle(uint32_t hits, uint32_t done) {
    // Idle lanes only shadow another lane; they have nothing to settle.
    unsigned order[kLanes];
    const unsigned count = in_chain_order((hits | done) & ~idle_mask_, order);
    settle(order, count, hits, done);
    emit_confirmed();
    if (stops_paying()) {
        return false;
    }
    compact_links();
    return assign();
}

unsigned Speculation::in_chain_order(uint32_t events, unsigned *order) const {
    unsigned count = 0;
    for (uint32_t m = events; m != 0; m &= m - 1) {
        const auto j = static_cast<unsigned>(__builtin_ctz(m));
        unsigned i = count++;
        for (; i > 0 && lane_link_[order[i - 1]] > lane_link_[j]; --i) {
            order[i] = order[i - 1];
        }
        order[i] = j;
    }
    return count;
}

void Speculation::settle(const unsigned *order, unsigned count, uint32_t hits, uint32_t done) {
    for (unsigned i = 0; i < count; ++i) {
        const unsigned j = order[i];
        if (free_ & (1U << j)) {
            continue; // its link was dropped by an earlier cut
        }
        const std::size_t link = lane_link_[j];
        Link &l = links_[link];
        std::size_t end = (hits >> j) & 1U ? cut_in_stride(j, l.start) : 0;
        if (end != 0) {
            finish(l, j, end);
            drop_after(link);
        } else if ((done >> j) & 1U) {
            finish(l, j, l.start + limit_);
        }
    }
}

void Speculation::emit_confirmed() {
    while (head_ < tail_ && links_[head_].lane < 0) {
        const Link &l = links_[head_++];
        const bool at_limit = l.end - l.start == limit_;
        ends_.push(l.end);
        rate_.add(at_limit);
        frontier_ = l.end;
        content_cuts_ = at_limit ? 0 : content_cuts_ + 1;
    }
}

bool Speculation::stops_paying() {
    if (content_cuts_ >= cuts_to_leave_) {
        // Short chunks in a row: the moving average is too slow to tell, and every one of them
        // costs the engine a whole round of restarts.
        rate_.cap(kLeaveRate);
        return true;
    }
    return !rate_.at_least(kLeaveRate);
}

void Speculation::compact_links() {
    if (head_ >= kLanes) {
        std::copy(links_.begin() + static_cast<std::ptrdiff_t>(head_),
                  links_.begin() + static_cast<std::ptrdiff_t>(tail_),
                  links_.begin());
        for (unsigned j = 0; j < kLanes; ++j) {
            lane_link_[j] -= head_; // stale for free lanes, which never read it
        }
        tail_ -= head_;
        head_ = 0;
    }
}

// The end of the chunk at `start` if the lane's last stride cut it, else 0: the literal test,
// one byte at a time, from the lane's hash before the stride.
std::size_t Speculation::cut_in_stride(unsigned lane, std::size_t start) const {
    unsigned h = hash_before_[lane];
    std::size_t p = (static_cast<std::size_t>(strides_[lane]) - 1) * kStride;
    const std::size_t stride_end = std::min(p + kStride, limit_);
    for (; p < stride_end; ++p) {
        h = ((h * kPrimeLow16) ^ data_[start + p]) & 0xFFFFU;
        if (p >= kWindowSize && (h & kMask) == 0) {
            return start + p + 1;
        }
    }
    return 0;
}

void Speculation::finish(Link &link, unsigned lane, std::size_t end) {
    link.end = end;
    link.lane = -1;
    free_ |= 1U << lane;
}

// A content cut ended `link` short of its limit: every later start was guessed wrong.
void Speculation::drop_after(std::size_t link) {
    for (std::size_t i = link + 1; i < tail_; ++i) {
        if (links_[i].lane >= 0) {
            free_ |= 1U << links_[i].lane;
        }
    }
    tail_ = link + 1;
}

// Starts a chunk on every free lane: each begins where the last link ends, or would end at its
// limit. False when nothing is left in flight.
bool Speculation::assign() {
    while (free_ != 0) {
        std::size_t next = frontier_;
        if (head_ < tail_) {
            const Link &tail = links_[tail_ - 1];
            next = tail.lane < 0 ? tail.end : tail.start + limit_;
        }
        if (!fits(next)) {
            break;
        }
        const auto j = static_cast<unsigned>(__builtin_ctz(free_));
        free_ &= free_ - 1;
        if (tail_ == links_.size()) {
            links_.resize(2 * tail_);
        }
        links_[tail_] = {next, 0, static_cast<int>(j)};
        lane_link_[j] = tail_++;
        base_[j] = next - read_; // wraps: lane j reads at data + base + read
        hash_[j] = 0;
        strides_[j] = 0;
        idle_[j] = 0;
    }
    if (head_ == tail_) {
        return false;
    }
    // Lanes without a chunk near the end of the data shadow the head's lane, which reads only
    // valid bytes, and are masked out.
    const auto lead = static_cast<unsigned>(links_[head_].lane);
    idle_mask_ = free_;
    for (uint32_t m = free_; m != 0; m &= m - 1) {
        const auto j = static_cast<unsigned>(__builtin_ctz(m));
        base_[j] = base_[lead];
        strides_[j] = strides_[lead];
        idle_[j] = 0xFFFF;
    }
    return true;
}

} // namespace veltrane::cdc
