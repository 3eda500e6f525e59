#include "chunk/gear.hpp"

#include "common/hash.hpp"

#include <algorithm>
#include <exception>
#include <iterator>
#include <omp.h>
#include <stdexcept>
#include <string>

namespace veltrane::gear {

namespace {

bool power_of_two(uint64_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

int log2_exact(uint64_t v) {
    return 63 - __builtin_clzll(v);
}

// A thread's range is worth its start-up only from this many bytes on (a thread costs some
// microseconds, in which one core hashes tens of KiB).
constexpr std::size_t kMinBytesPerThread = std::size_t {1} << 18;
// The lane walk (AVX-512) needs sixteen lanes of many chunks each, or the stitch, which walks
// a chunk or two serially at each lane's start, and the lanes' last chunks, which overlap the
// next lanes' first, cost more than the skipping saves. Measured on random data (Zen 4, one
// thread), it overtook the best other kernel from 256 chunks of avg_size (16 a lane) on: at 128
// it ran at 0.8 to 1.05 times the best, at 512 at 1.1 to 1.25 times.
constexpr std::size_t kMinChunksPerWalk = 256;
// The serial walk of a thread's part (AVX2) stitches one run, which costs a chunk or two.
constexpr std::size_t kMinChunksPerPart = 16;
// Candidates one in 2^9 positions or denser: the AVX-512 scan rechecks too many blocks.
constexpr int kDenseBits = 9;

// Runs work(begin, end) on `parts` disjoint ranges of [0, size), one OpenMP thread each, and
// rethrows on the calling thread what one of them threw.
template <typename Work> void on_parts(std::size_t size, std::size_t parts, Work &&work) {
    std::exception_ptr failure;
#pragma omp parallel for num_threads(static_cast<int>(parts)) schedule(static, 1)
    for (std::size_t p = 0; p < parts; ++p) {
        try {
            work(size / parts * p, p + 1 == parts ? size : size / parts * (p + 1), p);
        } catch (...) {
#pragma omp critical
            failure = std::current_exception();
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

} // namespace

Table make_table(uint64_t seed) {
    Table t {};
    uint64_t state = seed;
    for (uint64_t &v : t.low) {
        v = hash::splitmix64(state);
    }
    for (uint64_t &v : t.high) {
        v = hash::splitmix64(state);
    }
    for (unsigned b = 0; b < 256; ++b) {
        t.g[b] = t.low[b & 15] + t.high[b >> 4];
    }
    return t;
}

GearCDC::GearCDC(
    uint64_t min_size, uint64_t avg_size, uint64_t max_size, int normalization, uint64_t seed)
    : min_size_(min_size), avg_size_(avg_size), max_size_(max_size), normalization_(normalization),
      table_(make_table(seed)) {
    if (min_size < kMinMinSize) {
        throw std::invalid_argument("min_size must be at least " + std::to_string(kMinMinSize) +
                                    ", got " + std::to_string(min_size));
    }
    if (!power_of_two(avg_size)) {
        throw std::invalid_argument("avg_size must be a power of two, got " +
                                    std::to_string(avg_size));
    }
    if (min_size > avg_size) {
        throw std::invalid_argument("min_size must be at most avg_size (" +
                                    std::to_string(avg_size) + "), got " +
                                    std::to_string(min_size));
    }
    if (max_size > kMaxMaxSize) {
        throw std::invalid_argument("max_size must be at most " + std::to_string(kMaxMaxSize) +
                                    ", got " + std::to_string(max_size));
    }
    if (max_size < avg_size) {
        throw std::invalid_argument("max_size must be at least avg_size (" +
                                    std::to_string(avg_size) + "), got " +
                                    std::to_string(max_size));
    }
    if (normalization < 0 || normalization > kMaxNormalization) {
        throw std::invalid_argument("normalization must be from 0 to " +
                                    std::to_string(kMaxNormalization) + ", got " +
                                    std::to_string(normalization));
    }
    // A chunk of random data cuts with probability 1 / avg_size per byte when the top
    // log2(avg_size) bits of the hash must be zero; normalisation demands `normalization` more
    // bits before avg_size and as many fewer after it. avg_size is 64 to 2^30, so both shifts
    // lie within 31 to 61.
    const int bits = log2_exact(avg_size);
    scan_.table = &table_;
    scan_.strict = uint64_t {1} << (64 - bits - normalization);
    scan_.loose = uint64_t {1} << (64 - bits + normalization);
}

std::size_t GearCDC::cut(const unsigned char *data, std::size_t size) const {
    if (size <= min_size_) {
        return size;
    }
    const std::size_t limit = std::min<uint64_t>(size, max_size_);
    // The first possible cut ends a chunk of min_size bytes; the 64 bytes before it are all
    // its hash sees, so hashing starts there.
    uint64_t h = 0;
    for (std::size_t i = min_size_ - kWindow; i < limit; ++i) {
        h = (h << 1) + table_.g[data[i]];
        const std::size_t length = i + 1;
        if (length >= min_size_) {
            const uint64_t threshold = length < avg_size_ ? scan_.strict : scan_.loose;
            if (h < threshold) {
                return length;
            }
        }
    }
    return limit;
}

std::vector<int64_t> GearCDC::reference_cut_points(const unsigned char *data,
                                                   std::size_t size) const {
    std::vector<int64_t> ends;
    for (std::size_t start = 0; start < size;) {
        start += cut(data + start, size - start);
        ends.push_back(static_cast<int64_t>(start));
    }
    return ends;
}

void GearCDC::select(const std::vector<uint64_t> &candidates,
                     std::size_t size,
                     std::vector<int64_t> &ends) const {
    const std::size_t count = candidates.size();
    std::size_t k = 0;
    for (std::size_t start = 0; start < size;) {
        std::size_t end = size;
        if (size - start > min_size_) {
            const std::size_t limit = start + std::min<uint64_t>(size - start, max_size_);
            // Positions j end chunks of j + 1 - start bytes.
            const std::size_t first = start + min_size_ - 1;
            const std::size_t loose_from = start + avg_size_ - 1;
            while (k < count && (candidates[k] & ~kStrict) < first) {
                ++k;
            }
            end = limit;
            for (std::size_t i = k; i < count; ++i) {
                const std::size_t j = candidates[i] & ~kStrict;
                if (j >= limit) {
                    break;
                }
                if (j >= loose_from || (candidates[i] & kStrict) != 0) {
                    end = j + 1;
                    break;
                }
            }
        }
        ends.push_back(static_cast<int64_t>(end));
        start = end;
    }
}

std::vector<int64_t> GearCDC::cut_points(
    const unsigned char *data, std::size_t size, int threads, cpu::Isa isa, bool bulk) const {
    if (threads < 1) {
        throw std::invalid_argument("threads must be at least 1, got " + std::to_string(threads));
    }
    ScanFn scan = scan_scalar;
    if (isa == cpu::Isa::avx512) {
        scan = scan_avx512;
    } else if (isa == cpu::Isa::avx2) {
        scan = scan_avx2;
    }
    if (isa == cpu::Isa::avx512 && !bulk && size / avg_size_ >= kMinChunksPerWalk) {
        return cut_lanes(data, size, threads);
    }
    const std::size_t parts =
        std::clamp<std::size_t>(size / kMinBytesPerThread, 1, static_cast<std::size_t>(threads));
    // On one thread, walking chunk by chunk skips the bytes before min_size - 64 that a scan
    // must hash. The AVX-512 scan is faster still unless candidates are dense: measured on
    // random data and text (Zen 4), it wins from one loose candidate in 2^10 positions on (at
    // 2^9, as for avg_size 2 KiB at level 2, it lost by a quarter) and the walk wins below.
    // On threads, walking skips as much as on one, where a scan hashes every byte.
    if (isa == cpu::Isa::avx2 && !bulk && parts > 1 && size / avg_size_ >= 2 * kMinChunksPerPart) {
        return cut_lanes(data, size, threads, isa);
    }
    if (parts == 1 && !bulk &&
        (isa == cpu::Isa::avx2 ||
         (isa == cpu::Isa::avx512 && scan_.loose >= uint64_t {1} << (64 - kDenseBits)))) {
        return cut_serial(*this, data, size);
    }
    std::vector<uint64_t> candidates;
    if (parts == 1) {
        scan(scan_, data, 0, size, candidates);
    } else {
        // Disjoint ranges; each kernel hashes the 63 bytes before its range again, so that
        // every position sees its whole window.
        std::vector<std::vector<uint64_t>> found(parts);
        on_parts(size, parts, [&](std::size_t begin, std::size_t end, std::size_t p) {
            scan(scan_, data, begin, end, found[p]);
        });
        std::size_t total = 0;
        for (const auto &f : found) {
            total += f.size();
        }
        candidates.reserve(total);
        for (const auto &f : found) {
            candidates.insert(candidates.end(), f.begin(), f.end());
        }
    }
    std::vector<int64_t> ends;
    select(candidates, size, ends);
    return ends;
}

std::vector<int64_t>
GearCDC::cut_lanes(const unsigned char *data, std::size_t size, int threads, cpu::Isa isa) const {
    const bool wide = isa == cpu::Isa::avx512;
    const std::size_t most =
        wide ? size / avg_size_ / kMinChunksPerWalk
             : std::min(size / avg_size_ / kMinChunksPerPart, size / kMinBytesPerThread);
    const std::size_t parts = std::clamp<std::size_t>(most, 1, static_cast<std::size_t>(threads));
    // Each thread walks a part of the data; one stitch joins all the runs.
    std::vector<std::vector<LaneRun>> found(parts);
    on_parts(size, parts, [&](std::size_t begin, std::size_t end, std::size_t p) {
        (wide ? walk_lanes : walk_part)(*this, data, size, begin, end, found[p]);
    });
    std::vector<LaneRun> runs;
    for (auto &f : found) {
        std::move(f.begin(), f.end(), std::back_inserter(runs));
    }
    return stitch(runs, data, size);
}

std::vector<int64_t> GearCDC::stitch(const std::vector<LaneRun> &runs,
                                     const unsigned char *data,
                                     std::size_t size) const {
    std::vector<int64_t> ends;
    std::size_t last = 0; // the last true cut
    for (const LaneRun &run : runs) {
        if (last == size) {
            break;
        }
        const std::vector<int64_t> &cuts = run.cuts;
        auto k = cuts.begin();
        if (last != run.start) {
            for (;;) {
                k = std::lower_bound(k, cuts.end(), static_cast<int64_t>(last));
                if (k == cuts.end() || *k == static_cast<int64_t>(last)) {
                    break;
                }
                last += cut(data + last, size - last);
                ends.push_back(static_cast<int64_t>(last));
            }
            if (k == cuts.end()) {
                continue; // past this run's cuts: a later run may still meet the walk
            }
            ++k;
        }
        ends.insert(ends.end(), k, cuts.end());
        if (!ends.empty()) {
            last = static_cast<std::size_t>(ends.back());
        }
    }
    while (last < size) {
        last += cut(data + last, size - last);
        ends.push_back(static_cast<int64_t>(last));
    }
    return ends;
}

void scan_scalar(const ScanParams &p,
                 const unsigned char *data,
                 std::size_t begin,
                 std::size_t end,
                 std::vector<uint64_t> &out) {
    const uint64_t *g = p.table->g;
    const uint64_t loose = p.loose;
    uint64_t h = 0;
    for (std::size_t i = begin >= kWindow - 1 ? begin - (kWindow - 1) : 0; i < begin; ++i) {
        h = (h << 1) + g[data[i]];
    }
    for (std::size_t i = begin; i < end; ++i) {
        h = (h << 1) + g[data[i]];
        if (__builtin_expect(h < loose, 0)) {
            out.push_back(i | (h < p.strict ? kStrict : 0));
        }
    }
}

} // namespace veltrane::gear
