// Content-defined chunking with a gear rolling hash: cuts that depend only on the bytes near
// them, so an insertion or deletion moves the cuts around it and no others.
#pragma once

#include "common/cpu.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrane::gear {

// The hash after byte j is sum over k < 64 of G[data[j - k]] << k (mod 2^64): older bytes are
// shifted out of the 64-bit word, so it depends on the last 64 bytes and nothing else.
constexpr std::size_t kWindow = 64;
// The shortest min_size: every tested position then has a full window inside its own chunk,
// which is what lets a kernel hash across chunk boundaries and still agree with the literal
// loop that starts afresh at every chunk.
constexpr uint64_t kMinMinSize = kWindow;
// The longest max_size. Streaming holds a chunk of up to max_size bytes in memory, and 1 GiB
// is far beyond any chunk that deduplicates usefully.
constexpr uint64_t kMaxMaxSize = uint64_t {1} << 30;
constexpr int kMaxNormalization = 3;

// The 256-entry gear table, built so that fast kernels can look it up in vector registers:
// G[b] = low[b & 15] + high[b >> 4] (mod 2^64), where low and high are the first 16 and the
// next 16 outputs of SplitMix64 started at `seed`. A sum of two independent random tables is
// as good a gear table for cutting as a fully random one (the hash is then the sum of two gear
// hashes, one of the low and one of the high nibbles), and two 16-entry tables fit in four
// AVX-512 registers where 256 entries do not.
struct Table {
    uint64_t g[256];
    uint64_t low[16];
    uint64_t high[16];
};
Table make_table(uint64_t seed);

// The position j of a byte after which the hash passes the loose test, with kStrict set when
// it also passes the strict one.
constexpr uint64_t kStrict = uint64_t {1} << 63;

// What a kernel needs to find candidate cuts.
struct ScanParams {
    const Table *table;
    uint64_t loose; // a position is a candidate when its hash is below this
    uint64_t strict;
};

// Appends to `out`, in order, every candidate position j in [begin, end), hashing from up to
// 63 bytes before `begin`. Positions below 63 may or may not be reported: no chunk can end
// there, as min_size is at least 64.
using ScanFn = void (*)(const ScanParams &,
                        const unsigned char *data,
                        std::size_t begin,
                        std::size_t end,
                        std::vector<uint64_t> &out);
void scan_scalar(
    const ScanParams &, const unsigned char *, std::size_t, std::size_t, std::vector<uint64_t> &);
void scan_avx2(
    const ScanParams &, const unsigned char *, std::size_t, std::size_t, std::vector<uint64_t> &);
void scan_avx512(
    const ScanParams &, const unsigned char *, std::size_t, std::size_t, std::vector<uint64_t> &);

class GearCDC;
// The chunk ends on one thread for the AVX2 kernel: chunk by chunk, skipping what no tested
// hash sees.
std::vector<int64_t> cut_serial(const GearCDC &, const unsigned char *data, std::size_t size);
// The cuts of a chunking that begins at `start` instead of at a true cut, up to and including
// its first cut at or past the end of its share of the data.
struct LaneRun {
    std::size_t start;
    std::vector<int64_t> cuts;
};
// The AVX-512 walk: sixteen lanes each chunk a sixteenth of data[begin, end), skipping what no
// tested hash sees; appends their runs in order (see gear_lanes_avx512.cpp).
void walk_lanes(const GearCDC &,
                const unsigned char *data,
                std::size_t size,
                std::size_t begin,
                std::size_t end,
                std::vector<LaneRun> &runs);
// The one-thread walk over data[begin, end) as one run, for a thread's part on AVX2.
void walk_part(const GearCDC &,
               const unsigned char *data,
               std::size_t size,
               std::size_t begin,
               std::size_t end,
               std::vector<LaneRun> &runs);

class GearCDC {
public:
    // Throws std::invalid_argument naming the argument: min_size < 64, avg_size not a power of
    // two, min_size > avg_size, avg_size > max_size, max_size > 1 GiB, normalization not in
    // 0..3.
    GearCDC(
        uint64_t min_size, uint64_t avg_size, uint64_t max_size, int normalization, uint64_t seed);

    uint64_t min_size() const {
        return min_size_;
    }
    uint64_t avg_size() const {
        return avg_size_;
    }
    uint64_t max_size() const {
        return max_size_;
    }
    int normalization() const {
        return normalization_;
    }
    const Table &table() const {
        return table_;
    }
    // A chunk shorter than avg_size may end where the hash is below strict, a longer one where
    // it is below loose: the high bits of the hash are tested, as its low bits see only the
    // last few bytes.
    uint64_t strict_threshold() const {
        return scan_.strict;
    }
    uint64_t loose_threshold() const {
        return scan_.loose;
    }

    // The literal algorithm: the length of the chunk that starts at `data`, where size > 0
    // bytes remain.
    std::size_t cut(const unsigned char *data, std::size_t size) const;

    // End offsets of all chunks of data[0, size), by cut() from each end in turn.
    std::vector<int64_t> reference_cut_points(const unsigned char *data, std::size_t size) const;

    // The same ends, found on `threads` threads (at least 1) by the kernels for `isa`. Several
    // threads each find the candidates of their own range, then one serial pass picks the
    // cuts; on one thread the serial walk (cut_serial) runs instead where it is faster. `bulk`
    // forces the candidate scan, so that tests reach every kernel.
    std::vector<int64_t> cut_points(const unsigned char *data,
                                    std::size_t size,
                                    int threads,
                                    cpu::Isa isa,
                                    bool bulk = false) const;
    std::vector<int64_t>
    cut_points(const unsigned char *data, std::size_t size, int threads) const {
        return cut_points(data, size, threads, cpu::chosen_isa());
    }

    // The chunk ends of data[0, size) given runs that start at 0 and cover it in order: cuts
    // depend only on the bytes before them, so once the true chunking reaches a cut of a run,
    // it continues exactly as that run did. The literal loop walks from the last true cut
    // until it meets the next run, whose cuts are then taken as they are; where chunkings
    // never meet (data cut only by max_size, say), it walks on, so the result is always the
    // literal one.
    std::vector<int64_t>
    stitch(const std::vector<LaneRun> &runs, const unsigned char *data, std::size_t size) const;

    // The walk on up to `threads` threads, each its own part of the data (in sixteen lanes on
    // AVX-512, serially otherwise), with the stitch.
    std::vector<int64_t> cut_lanes(const unsigned char *data,
                                   std::size_t size,
                                   int threads,
                                   cpu::Isa isa = cpu::Isa::avx512) const;

private:
    // The chunk ends given every candidate of data[0, size) in order.
    void select(const std::vector<uint64_t> &candidates,
                std::size_t size,
                std::vector<int64_t> &ends) const;

    uint64_t min_size_;
    uint64_t avg_size_;
    uint64_t max_size_;
    int normalization_;
    Table table_;
    ScanParams scan_;
};

} // namespace veltrane::gear
