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

// One load of a 256-entry table of 64-bit values a byte, and nothing else: four independent
// sums, so that no chain of dependent operations bounds it, held in general registers (the
// empty asm), so that the compiler cannot gather instead. A gear kernel that looks its table
// up byte by byte in general registers, as the AVX2 walk does (a gather of four entries costs
// more than the four loads it replaces), hashes no faster than this. The entries' values do
// not matter to the speed. It fetches its bytes 2 KiB ahead as the walk does: left to the
// hardware prefetcher it waited on memory, and the walk ran faster than this "bound".
uint64_t table_load_bound(const unsigned char *data, uint64_t n) {
    uint64_t table[256];
    for (unsigned v = 0; v < 256; ++v) {
        table[v] = v * 0x9E3779B97F4A7C15ULL;
    }
    uint64_t a = 0, b = 0, c = 0, d = 0, i = 0;
    for (; i + 64 <= n; i += 64) {
        __builtin_prefetch(data + i + 2048);
        for (uint64_t j = i; j < i + 64; j += 4) {
            a += table[data[j]];
            b += table[data[j + 1]];
            c += table[data[j + 2]];
            d += table[data[j + 3]];
            asm volatile("" : "+r"(a), "+r"(b), "+r"(c), "+r"(d));
        }
    }
    for (; i + 4 <= n; i += 4) {
        a += table[data[i]];
        b += table[data[i + 1]];
        c += table[data[i + 2]];
        d += table[data[i + 3]];
        asm volatile("" : "+r"(a), "+r"(b), "+r"(c), "+r"(d));
    }
    for (; i < n; ++i) {
        a += table[data[i]];
    }
    return a + b + c + d;
}

} // extern "C"
