#include "cdc.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <immintrin.h>
#include <limits>
#include <omp.h>
#include <pthread.h>
#include <stdexcept>
#include <unordered_map>

namespace veltrane {

namespace {

// ---- Chunking --------------------------------------------------------------------------------
//
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

// The cut hash's multiplier modulo 2^16: 0x100000001b3 mod 65536 = 0x01b3.
constexpr uint16_t kPrimeLow16 = static_cast<uint16_t>(CDC::kPrime);
// Bits of the cut hash that decide a cut: kMask = 2^13 - 1.
constexpr int kMaskBits = 13;
static_assert(CDC::kMask == (1U << kMaskBits) - 1);
// Shifted left by 16 - 13, a lane keeps exactly the deciding bits: a cut is a zero lane.
constexpr int kCutShift = 16 - kMaskBits;

// Chunks in flight: the 16-bit lanes of one AVX2 register.
constexpr unsigned kLanes = 16;
// Bytes each lane hashes per round: one 16 x 16 byte transpose feeds 16 steps of 16 lanes.
constexpr std::size_t kBlock = 16;
// The window is exactly three blocks, so a lane tests for cuts from its fourth block on.
static_assert(CDC::kWindowSize % kBlock == 0);
constexpr unsigned kWindowBlocks = CDC::kWindowSize / kBlock;
// Lane block counters are signed 16-bit for the window compare: longest speculated limit.
constexpr std::size_t kMaxSpeculatedLimit = (std::size_t {1} << 15) * kBlock / 2;

// Speculation pays while enough chunks run to their limit. Measured against the literal loop on
// random data (chunk sizes 2048 to 10240, limit rates 0.61 to 0.08), it breaks even at a rate
// of 0.22 and wins 1.1 times at 0.29. It is entered above that and left at break-even, so that
// the noise of a moving average does not flap between the two loops.
constexpr double kEnterRate = 0.28;
constexpr double kLeaveRate = 0.22;
// Content cuts in a row after which speculation stops at once: the fewest that random data,
// which speculation suits, shows by chance less than once in 1000 chunks, from 2 (chunk size
// 64) over 5 (the default) to at most 8. A wrong stop costs only the chunks in flight, as the
// rate sends the next look straight back; a late one costs a round of restarts per chunk.
constexpr double kChanceOfWrongStop = 1e-3;
constexpr unsigned kMaxCutsToLeave = 8;

unsigned cuts_to_leave(double limit_rate) {
    const double cuts = std::ceil(std::log(kChanceOfWrongStop) / std::log1p(-limit_rate));
    return static_cast<unsigned>(std::clamp(cuts, 2.0, static_cast<double>(kMaxCutsToLeave)));
}

// Literal chunks cut between two looks at the rate: half its memory, so that speculation
// resumes soon after the data turns random again.
constexpr unsigned kStretch = 16;

// The chance that a chunk of random data runs to its limit: no cut in its limit - 48 tests,
// each of which cuts with probability 2^-13.
double random_limit_rate(std::size_t limit) {
    if (limit <= CDC::kWindowSize) {
        return 1.0;
    }
    const double tests = static_cast<double>(limit - CDC::kWindowSize);
    return std::exp(tests * std::log1p(-1.0 / static_cast<double>(CDC::kMask + 1)));
}

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

// 16 bytes of lane j (low half) and lane j + 8 (high half); lane j reads at data + rel[j] + off.
inline __m256i
two_rows(const unsigned char *data, const std::size_t *rel, std::size_t off, unsigned j) {
    const auto *lo = reinterpret_cast<const __m128i *>(data + (rel[j] + off));
    const auto *hi = reinterpret_cast<const __m128i *>(data + (rel[j + 8] + off));
    return _mm256_loadu2_m128i(hi, lo);
}

// Runs every lane's cut hash `g` over its next 16 bytes. Returns, per lane, the smallest of
// the 16 hashes shifted to their deciding bits: zero where the block holds a cut candidate.
inline __m256i
hash_block(const unsigned char *data, const std::size_t *rel, std::size_t off, __m256i &g) {
    // Transpose 16 rows of 16 bytes into 16 vectors of one byte per lane. Each 128-bit half
    // works on its own 8 lanes, so three rounds of unpacks give 8 vectors of two steps each.
    const __m256i r0 = two_rows(data, rel, off, 0), r1 = two_rows(data, rel, off, 1);
    const __m256i r2 = two_rows(data, rel, off, 2), r3 = two_rows(data, rel, off, 3);
    const __m256i r4 = two_rows(data, rel, off, 4), r5 = two_rows(data, rel, off, 5);
    const __m256i r6 = two_rows(data, rel, off, 6), r7 = two_rows(data, rel, off, 7);
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
    __m256i h = g;
    for (const __m256i two : steps) {
        // Unpacking with zero widens the bytes to 16-bit lanes in lane order 0 to 15.
        h = _mm256_xor_si256(_mm256_mullo_epi16(h, prime), _mm256_unpacklo_epi8(two, zero));
        least = _mm256_min_epu16(least, _mm256_slli_epi16(h, kCutShift));
        h = _mm256_xor_si256(_mm256_mullo_epi16(h, prime), _mm256_unpackhi_epi8(two, zero));
        least = _mm256_min_epu16(least, _mm256_slli_epi16(h, kCutShift));
    }
    g = h;
    return least;
}

// Prefetching (see Speculation::run): x86-64 cache lines and small pages, four lines a block
// (measured best of 2 and 4), and page-table walks 16 pages ahead (measured best of 8 to 64).
constexpr std::size_t kCacheLine = 64;
constexpr unsigned kPrefetchLines = 4;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kTouchAhead = 16 * kPage;

// One lane mask bit per 16-bit lane, from a byte mask of 16-bit lane compares.
inline uint32_t lane_mask(__m256i lanes) {
    return _pext_u32(static_cast<uint32_t>(_mm256_movemask_epi8(lanes)), 0x55555555U);
}

class Speculation {
public:
    Speculation(const unsigned char *data,
                std::size_t size,
                std::size_t limit,
                Ends &ends,
                LimitRate &rate)
        : data_(data), size_(size), limit_(limit), blocks_((limit + kBlock - 1) / kBlock),
          ends_(ends), rate_(rate) {}

    // Tunes the stop to the limit rate that random data would show.
    void expect(double limit_rate) {
        cuts_to_leave_ = cuts_to_leave(limit_rate);
    }

    // Whether a lane can scan the chunk at `start`: its whole limit, rounded up to blocks,
    // lies inside the data, so no lane ever reads past the end and no limit is clamped.
    bool fits(std::size_t start) const {
        return start <= size_ && size_ - start >= blocks_ * kBlock;
    }

    // Emits chunks from `frontier` on until speculation stops paying or no chunk that fits is
    // left; returns the end of the last chunk emitted.
    std::size_t run(std::size_t frontier) {
        frontier_ = frontier;
        content_cuts_ = 0;
        links_.resize(4 * kLanes);
        head_ = 0;
        tail_ = 0;
        off_ = 0;
        free_ = (1U << kLanes) - 1;
        for (unsigned j = 0; j < kLanes; ++j) {
            g_[j] = 0;
            k_[j] = 0;
        }
        if (!assign()) {
            return frontier_;
        }
        const __m256i window = _mm256_set1_epi16(kWindowBlocks);
        const __m256i one = _mm256_set1_epi16(1);
        const __m256i last = _mm256_set1_epi16(static_cast<short>(blocks_));
        const __m256i zero = _mm256_setzero_si256();
        __m256i g = load(g_), k = load(k_), idle = load(idle_);
        std::size_t off = off_;
        // Lanes jump to new chunks too often for the hardware prefetcher, and a restart after a
        // cut sends all of them to bytes not read yet at once. So the bytes that lanes may be
        // sent to soon, up to 2 * kLanes limits past the frontier, are fetched ahead in order.
        std::size_t ahead = frontier_;
        std::size_t ahead_end = prefetch_end();
        for (;;) {
            if (ahead < ahead_end) {
                // Four lines a block stay well ahead of the ~120 bytes a block confirms.
                // Addresses as integers: the last prefetches may point past the data, which
                // a prefetch may do but a pointer may not.
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
            const __m256i before = g;
            const __m256i least = hash_block(data_, rel_, off, g);
            // Blocks 0 to 2 of a lane are its window, which never cuts.
            const __m256i ignored = _mm256_or_si256(_mm256_cmpgt_epi16(window, k), idle);
            k = _mm256_add_epi16(k, one);
            off += kBlock;
            const __m256i hit = _mm256_cmpeq_epi16(_mm256_or_si256(least, ignored), zero);
            const __m256i done = _mm256_cmpeq_epi16(k, last);
            if (_mm256_testz_si256(_mm256_or_si256(hit, done), _mm256_or_si256(hit, done))) {
                continue;
            }
            store(before_, before);
            store(g_, g);
            store(k_, k);
            off_ = off;
            if (!handle(lane_mask(hit), lane_mask(done))) {
                return frontier_;
            }
            g = load(g_);
            k = load(k_);
            idle = load(idle_);
            ahead = std::max(ahead, frontier_);
            ahead_end = prefetch_end();
        }
    }

private:
    // A chunk in flight or finished, whose start rests on the guesses of the links before it.
    struct Link {
        std::size_t start;
        std::size_t end; // 0 until known: no chunk ends at offset 0
        int lane;        // -1 once finished
    };

    std::size_t prefetch_end() const {
        return frontier_ + std::min(size_ - frontier_, 2 * kLanes * limit_);
    }

    static __m256i load(const uint16_t *v) {
        return _mm256_load_si256(reinterpret_cast<const __m256i *>(v));
    }

    static void store(uint16_t *v, __m256i x) {
        _mm256_store_si256(reinterpret_cast<__m256i *>(v), x);
    }

    // Settles the lanes that hit a cut candidate or their limit in the last block, emits the
    // chunks confirmed since, and gives every free lane a new chunk. False: stop speculating.
    bool handle(uint32_t hits, uint32_t done) {
        // Idle lanes only shadow another lane; they have nothing to settle.
        const uint32_t events = (hits | done) & ~idle_mask_;
        // In chain order, since a content cut drops every later link.
        unsigned order[kLanes];
        unsigned count = 0;
        for (uint32_t m = events; m != 0; m &= m - 1) {
            const auto j = static_cast<unsigned>(__builtin_ctz(m));
            unsigned i = count++;
            for (; i > 0 && lane_link_[order[i - 1]] > lane_link_[j]; --i) {
                order[i] = order[i - 1];
            }
            order[i] = j;
        }
        for (unsigned i = 0; i < count; ++i) {
            const unsigned j = order[i];
            if (free_ & (1U << j)) {
                continue; // its link was dropped by an earlier cut
            }
            const std::size_t link = lane_link_[j];
            Link &l = links_[link];
            std::size_t end = (hits >> j) & 1U ? cut_in_block(j, l.start) : 0;
            if (end != 0) {
                finish(l, j, end);
                drop_after(link);
            } else if ((done >> j) & 1U) {
                finish(l, j, l.start + limit_);
            }
        }
        while (head_ < tail_ && links_[head_].lane < 0) {
            const Link &l = links_[head_++];
            const bool at_limit = l.end - l.start == limit_;
            ends_.push(l.end);
            rate_.add(at_limit);
            frontier_ = l.end;
            content_cuts_ = at_limit ? 0 : content_cuts_ + 1;
        }
        if (content_cuts_ >= cuts_to_leave_) {
            // Short chunks in a row: the moving average is too slow to tell, and every one of
            // them costs the engine a whole round of restarts.
            rate_.cap(kLeaveRate);
            return false;
        }
        if (!rate_.at_least(kLeaveRate)) {
            return false;
        }
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
        return assign();
    }

    // The end of the chunk at `start` if lane j's last block cut it, else 0: the literal test,
    // one byte at a time, from the lane's hash before the block.
    std::size_t cut_in_block(unsigned j, std::size_t start) const {
        unsigned h = before_[j];
        std::size_t p = (static_cast<std::size_t>(k_[j]) - 1) * kBlock;
        const std::size_t block_end = std::min(p + kBlock, limit_);
        for (; p < block_end; ++p) {
            h = ((h * kPrimeLow16) ^ data_[start + p]) & 0xFFFFU;
            if (p >= CDC::kWindowSize && (h & CDC::kMask) == 0) {
                return start + p + 1;
            }
        }
        return 0;
    }

    void finish(Link &l, unsigned j, std::size_t end) {
        l.end = end;
        l.lane = -1;
        free_ |= 1U << j;
    }

    // A content cut ended `link` short of its limit: every later start was guessed wrong.
    void drop_after(std::size_t link) {
        for (std::size_t i = link + 1; i < tail_; ++i) {
            if (links_[i].lane >= 0) {
                free_ |= 1U << links_[i].lane;
            }
        }
        tail_ = link + 1;
    }

    // Starts a chunk on every free lane: each begins where the last link ends, or would end
    // at its limit. False when nothing is left in flight.
    bool assign() {
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
            rel_[j] = next - off_; // wraps: lane j reads at data + rel + off
            g_[j] = 0;
            k_[j] = 0;
            idle_[j] = 0;
        }
        if (head_ == tail_) {
            return false;
        }
        // Lanes without a chunk near the end of the data shadow the head's lane, which reads
        // only valid bytes, and are masked out.
        const auto lead = static_cast<unsigned>(links_[head_].lane);
        idle_mask_ = free_;
        for (uint32_t m = free_; m != 0; m &= m - 1) {
            const auto j = static_cast<unsigned>(__builtin_ctz(m));
            rel_[j] = rel_[lead];
            k_[j] = k_[lead];
            idle_[j] = 0xFFFF;
        }
        return true;
    }

    const unsigned char *data_;
    std::size_t size_;
    std::size_t limit_;
    std::size_t blocks_; // blocks in a limit, the last one possibly partly past it
    unsigned cuts_to_leave_ = kMaxCutsToLeave;
    Ends &ends_;
    LimitRate &rate_;

    std::vector<Link> links_; // the chain: links_[head_, tail_), oldest unconfirmed chunk first
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    std::size_t frontier_ = 0;  // end of the last chunk emitted
    std::size_t off_ = 0;       // bytes every lane has read since run() started
    unsigned content_cuts_ = 0; // chunks in a row, the latest confirmed, that ended at a cut
    uint32_t free_ = 0;         // lanes without a link
    uint32_t idle_mask_ = 0;    // free lanes left shadowing the head's lane
    alignas(32) uint16_t g_[kLanes] = {};
    alignas(32) uint16_t before_[kLanes] = {};
    alignas(32) uint16_t k_[kLanes] = {};    // blocks read since the lane's chunk started
    alignas(32) uint16_t idle_[kLanes] = {}; // 0xFFFF for idle lanes
    std::size_t rel_[kLanes] = {};
    std::size_t lane_link_[kLanes] = {};
};

// ---- Chunk fingerprints ----------------------------------------------------------------------

// The fingerprint step: one XOR, one multiply, one rotation right by 33, a chain of about five
// cycles.
inline uint64_t fingerprint_step(uint64_t f, unsigned char b) {
    const uint64_t x = (f ^ b) * CDC::kPrime;
    return (x >> 33) | (x << 31);
}

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

// Runs work(begin, end) over blocks of [0, count) on the OpenMP team, or on the calling thread
// alone where the team cannot be used. Threads take the next block as they get free, so that
// a core busy with other work does not hold up the call: a static division waits for its
// slowest thread. Blocks are an eighth of a thread's share, at most 256 items, so that each
// interleaves its fingerprints in long runs. The answer does not depend on who did what.
// `work` must not allocate or throw: no thread of a team can fail part-way.
template <typename Work> void on_team(std::size_t count, Work &&work) {
    // Registered before the first region, so no team exists that a child could not see.
    static const bool fork_handler_registered =
        pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
    if (team_unusable.load(std::memory_order_relaxed) || !fork_handler_registered) {
        work(std::size_t {0}, count);
        return;
    }
    team_started.store(true, std::memory_order_relaxed);
    std::atomic<std::size_t> next {0};
#pragma omp parallel
    {
        const auto threads = static_cast<std::size_t>(omp_get_num_threads());
        const std::size_t block = std::clamp<std::size_t>(count / (8 * threads), 1, 256);
        for (;;) {
            const std::size_t begin = next.fetch_add(block, std::memory_order_relaxed);
            if (begin >= count) {
                break;
            }
            work(begin, std::min(count, begin + block));
        }
    }
}

bool same_bytes(const ByteSpan &a, const ByteSpan &b) {
    return a.size == b.size && (a.size == 0 || std::memcmp(a.data, b.data, a.size) == 0);
}

// For every chunk, the index of the first chunk with its fingerprint: an open-addressing table
// of twice as many slots as chunks, probed in order from a multiplicative hash of the
// fingerprint (2^64 / golden ratio), so that no node is allocated per chunk.
std::vector<std::size_t> first_with_fingerprint(const std::vector<uint64_t> &fps) {
    constexpr std::size_t kEmpty = std::numeric_limits<std::size_t>::max();
    constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ULL;
    int bits = 4;
    while ((std::size_t {1} << bits) < 2 * fps.size()) {
        ++bits;
    }
    const std::size_t mask = (std::size_t {1} << bits) - 1;
    std::vector<std::size_t> slots(mask + 1, kEmpty);
    std::vector<std::size_t> first(fps.size());
    for (std::size_t i = 0; i < fps.size(); ++i) {
        std::size_t at = static_cast<std::size_t>((fps[i] * kGolden) >> (64 - bits));
        while (slots[at] != kEmpty && fps[slots[at]] != fps[i]) {
            at = (at + 1) & mask;
        }
        if (slots[at] == kEmpty) {
            slots[at] = i;
        }
        first[i] = slots[at];
    }
    return first;
}

// The exact pass for inputs with a fingerprint collision: in input order, a fingerprint maps to
// its newest survivor, and `previous` chains the older survivors that collided with it.
std::vector<std::size_t> first_occurrences_colliding(const std::vector<ByteSpan> &chunks,
                                                     const std::vector<uint64_t> &fps) {
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> survivors;
    std::vector<std::size_t> previous;
    std::unordered_map<uint64_t, std::size_t> newest;
    newest.reserve(chunks.size());
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const auto [it, inserted] = newest.try_emplace(fps[i], survivors.size());
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

// The rest of a chunk's scan after its window: the literal loop from the first test on.
inline std::size_t scan_after_window(const unsigned char *chunk, std::size_t limit, uint64_t h) {
    for (std::size_t p = CDC::kWindowSize; p < limit; ++p) {
        h = (h * CDC::kPrime) ^ chunk[p];
        if ((h & CDC::kMask) == 0) {
            return p + 1;
        }
    }
    return limit;
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
    constexpr std::size_t kWindow = CDC::kWindowSize;
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
                    h[m] = (h[m] * CDC::kPrime) ^ chunk[m * kShortest + p];
                }
            }
        } else {
#pragma GCC unroll 16
            for (std::size_t p = 0; p < kWindow; ++p) {
                h[0] = (h[0] * CDC::kPrime) ^ chunk[p];
            }
        }
        for (unsigned m = 0; m < ways; ++m) {
            const std::size_t length =
                scan_after_window(data + start, std::min(limit, size - start), h[m]);
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
    // 2 * chunk_size can overflow; comparing against half the remaining size cannot.
    const std::size_t limit =
        chunk_size_ > size / 2 ? size : static_cast<std::size_t>(2 * chunk_size_);
    if (size <= kWindowSize) {
        return limit;
    }
    uint64_t h = 0;
    // Unrolled, the window costs three instructions a byte instead of six. Where chunks are
    // short (long runs of zeros cut every 49 bytes) the processor then overlaps the next
    // chunk's chain with this one's, as it does for the literal loop, only further.
#pragma GCC unroll 48
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

void CDC::cut_points(const unsigned char *data, std::size_t size, EndSink sink) const {
    Ends ends(sink);
    // Every chunk's limit: 2 * chunk_size, or the whole data when that is longer (and might
    // overflow).
    const std::size_t limit =
        chunk_size_ > size / 2 ? size : static_cast<std::size_t>(2 * chunk_size_);
    std::size_t start = 0;
    if (limit <= kWindowSize) {
        // No test ever runs: fixed pieces, the last one shorter.
        for (; start < size; start += std::min(limit, size - start)) {
            ends.push(start + std::min(limit, size - start));
        }
        ends.flush();
        return;
    }
    LimitRate rate(0.0);
    Speculation speculation(data, size, limit, ends, rate);
    // A lane needs a whole limit of data, and fewer bytes are left later on.
    const bool may_speculate = limit <= kMaxSpeculatedLimit && speculation.fits(0);
    if (may_speculate) {
        const double expected = random_limit_rate(limit);
        rate = LimitRate(expected);
        speculation.expect(expected);
    }
    while (start < size) {
        if (may_speculate && rate.at_least(kEnterRate) && speculation.fits(start)) {
            start = speculation.run(start);
            continue;
        }
        start = literal_stretch(data, size, start, limit, ends, rate);
    }
    ends.flush();
}

uint64_t CDC::fingerprint(const unsigned char *data, std::size_t size) {
    uint64_t f = kFingerprintSeed;
    for (std::size_t i = 0; i < size; ++i) {
        f = fingerprint_step(f, data[i]);
    }
    return f;
}

void CDC::fingerprints(const ByteSpan *chunks, std::size_t count, uint64_t *out) {
    // Five chains: a step's chain is five cycles long (XOR, a three-cycle multiply, rotation)
    // and a core starts one 64-bit multiply a cycle, so five chains keep the multiplier busy.
    // Measured: 4.2 times the single chain with five, 3.6 with four, no more with six.
    constexpr unsigned kChains = 5;
    struct Chain {
        const unsigned char *p;
        std::size_t left;
        uint64_t f;
        std::size_t index;
    };
    Chain c[kChains];
    std::size_t next = 0;
    unsigned active = 0;
    // Finishes the chunks that are done and refills their chains; a chain left without a chunk
    // is moved to the back.
    auto refill = [&]() {
        for (unsigned i = 0; i < active;) {
            if (c[i].left != 0) {
                ++i;
                continue;
            }
            out[c[i].index] = c[i].f;
            if (next < count) {
                c[i] = {chunks[next].data, chunks[next].size, kFingerprintSeed, next};
                ++next;
            } else {
                c[i] = c[--active];
            }
        }
    };
    for (; active < kChains && next < count; ++active, ++next) {
        c[active] = {chunks[next].data, chunks[next].size, kFingerprintSeed, next};
    }
    refill();
    while (active == kChains) {
        std::size_t n = c[0].left;
        for (unsigned i = 1; i < kChains; ++i) {
            n = std::min(n, c[i].left);
        }
        uint64_t f[kChains];
        const unsigned char *p[kChains];
        for (unsigned i = 0; i < kChains; ++i) {
            f[i] = c[i].f;
            p[i] = c[i].p;
        }
        for (std::size_t k = 0; k < n; ++k) {
#pragma GCC unroll 8
            for (unsigned i = 0; i < kChains; ++i) {
                f[i] = fingerprint_step(f[i], p[i][k]);
            }
        }
        for (unsigned i = 0; i < kChains; ++i) {
            c[i].f = f[i];
            c[i].p += n;
            c[i].left -= n;
        }
        refill();
    }
    // Fewer chunks than chains remain.
    for (unsigned i = 0; i < active; ++i) {
        uint64_t f = c[i].f;
        for (std::size_t k = 0; k < c[i].left; ++k) {
            f = fingerprint_step(f, c[i].p[k]);
        }
        out[c[i].index] = f;
    }
}

std::vector<std::size_t> CDC::first_occurrences(const std::vector<ByteSpan> &chunks) {
    const std::size_t n = chunks.size();
    std::vector<uint64_t> fps(n);
    on_team(n, [&](std::size_t begin, std::size_t end) {
        fingerprints(chunks.data() + begin, end - begin, fps.data() + begin);
    });
    // In input order, so the first occurrence is kept whatever the team did.
    const std::vector<std::size_t> first = first_with_fingerprint(fps);
    // A fingerprint match is confirmed by comparing bytes, by the team as well. Only a
    // collision (different bytes, one fingerprint) needs the exact pass.
    std::atomic<bool> collided {false};
    on_team(n, [&](std::size_t begin, std::size_t end) {
        bool differs = false;
        for (std::size_t i = begin; i < end && !differs; ++i) {
            differs = first[i] != i && !same_bytes(chunks[i], chunks[first[i]]);
        }
        if (differs) {
            collided.store(true, std::memory_order_relaxed);
        }
    });
    if (collided.load(std::memory_order_relaxed)) {
        return first_occurrences_colliding(chunks, fps);
    }
    std::vector<std::size_t> survivors;
    for (std::size_t i = 0; i < n; ++i) {
        if (first[i] == i) {
            survivors.push_back(i);
        }
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
