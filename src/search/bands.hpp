// Hashed bands of MinHash signatures, for the searches that keep bands on disk (the lasting
// index and the out-of-core search): one 64-bit key per band instead of its values.
//
// The key of a band of `rows` values v_0 .. v_{rows-1} is
//     h = rows; for each k: h ^= v_k; h *= kGolden; h ^= h >> 29;  then mix64(h),
// the formula veltrane/_bands.py states and the index's format on disk keeps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veltrane::bands {

// out[b * n + x] = the key of band b (values [b * rows, (b + 1) * rows)) of row x, for the n
// rows of `width` values of sig; bands * rows <= width.
template <typename T>
void band_keys(const T *sig,
               std::size_t n,
               std::size_t width,
               std::size_t bands,
               std::size_t rows,
               int threads,
               uint64_t *out);

// out[x * stride + b] = the key of band b of row x, as band_keys, on the calling thread: a few
// rows at a time, so that their chains of multiplications overlap (a signature's whole-row key
// is a chain of num_perm of them, which one row at a time waits out).
void row_keys(const uint32_t *sig,
              std::size_t n,
              std::size_t width,
              std::size_t bands,
              std::size_t rows,
              uint64_t *out,
              std::size_t stride);

// Sorts each of the `bands` rows of m keys, with their docs, by key and then doc, in place.
// `docs` holds a row per band (bands * m values).
void sort_bands(uint64_t *keys, int64_t *docs, std::size_t bands, std::size_t m, int threads);

} // namespace veltrane::bands
