// The chunker's two hash loops as the library writes them literally (chunk/cdc_literal.hpp,
// dedup/dedup.hpp), with nothing else around them: no input copy, no chunk buffers, no Python
// objects. Their speed is the floor that the installed module is measured against. Built with
// -I src and loaded (ctypes) by bench/run.py only; never installed.
#include "chunk/cdc_literal.hpp"
#include "dedup/dedup.hpp"

#include <cstddef>
#include <cstdint>

extern "C" {

// Number of chunks the chunker cuts `data` into, found without building any of them.
uint64_t literal_chunk_count(const unsigned char *data, uint64_t n, uint64_t chunk_size) {
    uint64_t count = 0;
    for (uint64_t start = 0; start < n; ++count) {
        start += veltrane::cdc::literal_cut(data + start, n - start, chunk_size);
    }
    return count;
}

// Chunk digests of data[0, n) taken as consecutive pieces of `piece` bytes (the last one
// possibly shorter), one after the other, as a single thread would. Returns their XOR so the
// work cannot be optimised away.
uint64_t literal_digests(const unsigned char *data, uint64_t n, uint64_t piece) {
    uint64_t acc = 0;
    for (uint64_t start = 0; start < n; start += piece) {
        acc ^= veltrane::dedup::digest(data + start, n - start < piece ? n - start : piece);
    }
    return acc;
}

} // extern "C"
