// Word and shingle hashes over the spans the word scanner finds.
#include "text/spans.hpp"
#include "text/words.hpp"

#include <cstring>
#include <immintrin.h>

namespace veltrane::text {

namespace {

uint64_t load64(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// The first `size` (1 to 8) bytes at p, zero-padded, reading no byte past p + size.
uint64_t load_tail(const unsigned char *p, std::size_t size, const unsigned char *end) {
    if (end - p >= 8) {
        const uint64_t v = load64(p);
        return size == 8 ? v : v & ((uint64_t {1} << (8 * size)) - 1);
    }
    uint64_t v = 0;
    std::memcpy(&v, p, size);
    return v;
}

// Lower-cases eight bytes that are all ASCII word characters or zero padding: every byte but
// '_' gets the 0x20 bit, which turns A-Z into a-z and leaves digits as they are. The padding
// is masked by the caller.
uint64_t lower_word8(uint64_t w) {
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL, kHigh = 0x8080808080808080ULL;
    const uint64_t t = w ^ 0x5F5F5F5F5F5F5F5FULL; // zero where the byte is '_'
    const uint64_t nonzero = (((t & kLow7) + kLow7) | t) & kHigh;
    return w | (nonzero >> 2);
}

// word_hash of the lower-cased bytes of an ASCII word read in place.
uint64_t ascii_word_hash(const unsigned char *p, std::size_t size, const unsigned char *end) {
    uint64_t h = size * kGolden;
    if (size <= 16 && end - p >= 16) {
        // Nearly every word: two loads, both steps taken and the right one kept, so that the
        // word's length costs no branch. The bytes past the word are cleared.
        const unsigned bits = static_cast<unsigned>(8 * size);
        const uint64_t one = step(h, _bzhi_u64(lower_word8(load64(p)), bits));
        const uint64_t two =
            step(one, _bzhi_u64(lower_word8(load64(p + 8)), bits > 64 ? bits - 64 : 0));
        return mix64(size > 8 ? two : one);
    }
    while (size > 8) {
        h = step(h, lower_word8(load64(p)));
        p += 8;
        size -= 8;
    }
    const uint64_t keep = size == 8 ? ~uint64_t {0} : (uint64_t {1} << (8 * size)) - 1;
    return mix64(step(h, lower_word8(load_tail(p, size, end)) & keep));
}

} // namespace

uint64_t word_hash(const unsigned char *bytes, std::size_t size) {
    uint64_t h = size * kGolden;
    const unsigned char *end = bytes + size;
    while (size > 8) {
        h = step(h, load64(bytes));
        bytes += 8;
        size -= 8;
    }
    return mix64(step(h, size == 0 ? 0 : load_tail(bytes, size, end)));
}

void word_hashes(std::string_view text, Scratch &scratch, std::vector<uint64_t> &out) {
    const std::string_view t = spans_of(text, scratch);
    const auto *s = reinterpret_cast<const unsigned char *>(t.data());
    const unsigned char *end = s + t.size();
    const auto *lowered = reinterpret_cast<const unsigned char *>(scratch.spans.lowered.data());
    const uint64_t *b = scratch.spans.bounds.data();
    const std::size_t count = scratch.spans.bounds.size() / 2;
    out.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const uint64_t first = b[2 * i], last = b[2 * i + 1];
        out[i] = (first & kBuffered) ? word_hash(lowered + (first & ~kBuffered), (last - first))
                                     : ascii_word_hash(s + first, last - first, end);
    }
}

namespace {

template <std::size_t Width>
void fixed_shingles(const uint64_t *words, std::size_t runs, uint64_t *out) {
    for (std::size_t i = 0; i < runs; ++i) {
        uint64_t h = Width;
        for (std::size_t k = 0; k < Width; ++k) {
            h = step(h, words[i + k]);
        }
        out[i] = mix64(h);
    }
}

} // namespace

void shingle_hashes(const uint64_t *words,
                    std::size_t count,
                    std::size_t ngram,
                    std::vector<uint64_t> &out) {
    out.clear();
    if (count == 0) {
        return;
    }
    const std::size_t width = count < ngram ? count : ngram;
    const std::size_t runs = count - width + 1;
    out.resize(runs);
    // The usual widths unrolled, so that consecutive shingles' multiplications overlap.
    switch (width) {
    case 1:
        return fixed_shingles<1>(words, runs, out.data());
    case 2:
        return fixed_shingles<2>(words, runs, out.data());
    case 3:
        return fixed_shingles<3>(words, runs, out.data());
    case 4:
        return fixed_shingles<4>(words, runs, out.data());
    case 5:
        return fixed_shingles<5>(words, runs, out.data());
    case 6:
        return fixed_shingles<6>(words, runs, out.data());
    case 7:
        return fixed_shingles<7>(words, runs, out.data());
    case 8:
        return fixed_shingles<8>(words, runs, out.data());
    }
    for (std::size_t i = 0; i < runs; ++i) {
        uint64_t h = width;
        for (std::size_t k = 0; k < width; ++k) {
            h = step(h, words[i + k]);
        }
        out[i] = mix64(h);
    }
}

void text_shingles(std::string_view text, std::size_t ngram, Scratch &scratch) {
    word_hashes(text, scratch, scratch.words);
    shingle_hashes(scratch.words.data(), scratch.words.size(), ngram, scratch.shingles);
}

} // namespace veltrane::text
