// Content-defined chunking and exact removal of repeated chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace veltrane {

// A read-only view of one chunk's bytes.
struct ByteSpan {
    const unsigned char *data;
    std::size_t size;
};

class CDC {
public:
    // Bytes hashed from a chunk's start before the first cut test: no content cut can make a
    // chunk shorter than kWindowSize + 1 bytes.
    static constexpr uint64_t kWindowSize = 48;
    // The 64-bit FNV prime, multiplier of both the cut hash and the chunk fingerprint.
    static constexpr uint64_t kPrime = 0x100000001b3ULL;
    // A cut falls where the 13 low bits of the cut hash are zero: on random data one test in
    // 8192 cuts.
    static constexpr uint64_t kMask = 8191;
    // Starting value of the chunk fingerprint.
    static constexpr uint64_t kFingerprintSeed = 0x1234567890abcdefULL;

    // chunk_size is half the longest chunk. Zero would make empty chunks that never advance,
    // so it is refused (std::invalid_argument).
    explicit CDC(uint64_t chunk_size = 1024);

    uint64_t chunk_size() const {
        return chunk_size_;
    }

    // Length of the chunk that starts at `data`, where `size` > 0 bytes remain. The cut hash
    // starts afresh at every chunk. A limit of start + 2 * chunk_size that lies beyond the
    // data (or beyond 2^64) is clamped to the end of the data.
    std::size_t cut(const unsigned char *data, std::size_t size) const;

    // Receives the ends of consecutive chunks, in order, a batch at a time.
    class EndSink {
    public:
        // Not a copy constructor: copies of a sink refer to the same `receive`.
        template <typename Receive, typename = std::enable_if_t<!std::is_same_v<Receive, EndSink>>>
        explicit EndSink(Receive &receive)
            : target_(&receive), call_([](void *target, const std::size_t *ends, std::size_t n) {
                  (*static_cast<Receive *>(target))(ends, n);
              }) {}

        void operator()(const std::size_t *ends, std::size_t count) const {
            call_(target_, ends, count);
        }

    private:
        void *target_;
        void (*call_)(void *, const std::size_t *, std::size_t);
    };

    // Hands the end offset of every chunk of data[0, size) to `sink`, in order: the same
    // chunks as calling cut() from each end, found faster (see cdc.cpp).
    void cut_points(const unsigned char *data, std::size_t size, EndSink sink) const;

    // Calls emit(offset, length) for each chunk of data[0, size), in order. Every byte lands
    // in exactly one chunk, and every chunk is non-empty.
    template <typename Emit>
    void for_each_chunk(const unsigned char *data, std::size_t size, Emit &&emit) const {
        std::size_t start = 0;
        auto receive = [&](const std::size_t *ends, std::size_t count) {
            for (std::size_t i = 0; i < count; ++i) {
                emit(start, ends[i] - start);
                start = ends[i];
            }
        };
        cut_points(data, size, EndSink(receive));
    }

    // Fingerprints of `count` chunks into out[0, count): several chains at once, so that a
    // core has more than one multiply in flight.
    static void fingerprints(const ByteSpan *chunks, std::size_t count, uint64_t *out);

    // The 64-bit chunk fingerprint that tells chunks apart cheaply.
    static uint64_t fingerprint(const unsigned char *data, std::size_t size);

    // Indices of the first occurrence of each distinct chunk, in input order. Fingerprints
    // are computed by the OpenMP team; a fingerprint match is confirmed by comparing bytes,
    // so two different chunks are never merged, and the answer does not depend on the team
    // size.
    static std::vector<std::size_t> first_occurrences(const std::vector<ByteSpan> &chunks);

    // (1 - unique / total) * 100 in double precision, in that order; 0 for no chunks.
    static double reduction_percent(std::size_t unique, std::size_t total);

private:
    uint64_t chunk_size_;
};

} // namespace veltrane
