// Content-defined chunking: the chunker's interface. cdc_literal.hpp is the algorithm written
// literally; cdc.cpp runs it fast, with the lanes of cdc_lanes.cpp where chunks are long.
#pragma once

#include "chunk/cdc_literal.hpp"

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace veltrane {

class CDC {
public:
    // chunk_size is half the longest chunk. Zero would make empty chunks that never advance,
    // so it is refused (std::invalid_argument).
    explicit CDC(uint64_t chunk_size = 1024);

    uint64_t chunk_size() const {
        return chunk_size_;
    }

    // Length of the chunk that starts at `data`, where `size` > 0 bytes remain: the literal
    // loop of cdc_literal.hpp. The cut hash starts afresh at every chunk. A limit of start +
    // 2 * chunk_size that lies beyond the data (or beyond 2^64) is clamped to the end of the
    // data.
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

private:
    uint64_t chunk_size_;
};

} // namespace veltrane
