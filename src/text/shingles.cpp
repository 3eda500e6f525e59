// Word and shingle hashes over the spans the word scanner finds.
#include "common/cpu.hpp"
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

namespace {

// The hashes above in four 64-bit lanes at once. AVX2 has no 64-bit multiply: a product mod
// 2^64 by a constant is made of three 32-bit ones, x_lo k_lo + ((x_lo k_hi + x_hi k_lo) << 32).
// Four words' chains of multiplications then run side by side, where the scalar loop runs one
// word's chain after the other; that gave 7 to 8 % more MinHash signatures a second from raw
// text on both instruction sets (Intel Xeon).
struct Const64 {
    __m256i lo, hi;
    explicit Const64(uint64_t k)
        : lo(_mm256_set1_epi64x(static_cast<int64_t>(k & 0xFFFFFFFFu))),
          hi(_mm256_set1_epi64x(static_cast<int64_t>(k >> 32))) {}
};

inline __m256i mul64(__m256i x, const Const64 &k) {
    const __m256i cross = _mm256_add_epi64(_mm256_mul_epu32(x, k.hi),
                                           _mm256_mul_epu32(_mm256_srli_epi64(x, 32), k.lo));
    return _mm256_add_epi64(_mm256_mul_epu32(x, k.lo), _mm256_slli_epi64(cross, 32));
}

// The multipliers of step and mix64 (common/hash.hpp).
struct Lanes {
    Const64 golden {kGolden}, mix1 {hash::kMix1}, mix2 {hash::kMix2};
};

inline __m256i step4(const Lanes &c, __m256i h, __m256i w) {
    const __m256i g = mul64(_mm256_xor_si256(h, w), c.golden);
    return _mm256_xor_si256(g, _mm256_srli_epi64(g, 32));
}

inline __m256i mix4(const Lanes &c, __m256i z) {
    z = mul64(_mm256_xor_si256(z, _mm256_srli_epi64(z, 30)), c.mix1);
    z = mul64(_mm256_xor_si256(z, _mm256_srli_epi64(z, 27)), c.mix2);
    return _mm256_xor_si256(z, _mm256_srli_epi64(z, 31));
}

// ascii_word_hash of the four words whose bounds are b[0..8): each of ASCII characters read
// in place, 1 to 16 bytes long, with 16 bytes readable from its start. False (out untouched)
// when one of them is not.
inline bool ascii_word_hashes4(
    const Lanes &c, const unsigned char *s, std::size_t n, const uint64_t *b, uint64_t *out) {
    if (b[6] + 16 > n) { // the last word starts furthest (none is buffered, or we stop below)
        return false;
    }
    const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b));
    const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + 4));
    // unpack works within 128-bit halves: the lanes hold words 0, 2, 1, 3.
    const __m256i first = _mm256_unpacklo_epi64(b0, b1);
    const __m256i size = _mm256_sub_epi64(_mm256_unpackhi_epi64(b0, b1), first);
    const __m256i bad = _mm256_or_si256(first, _mm256_cmpgt_epi64(size, _mm256_set1_epi64x(16)));
    if (_mm256_movemask_pd(_mm256_castsi256_pd(bad)) != 0) { // kBuffered is the sign bit
        return false;
    }
    const auto load = [s](uint64_t at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + at));
    };
    const __m256i w01 = _mm256_inserti128_si256(_mm256_castsi128_si256(load(b[0])), load(b[2]), 1);
    const __m256i w23 = _mm256_inserti128_si256(_mm256_castsi128_si256(load(b[4])), load(b[6]), 1);
    // Lower-cased as lower_word8 does: every byte but '_' gets the 0x20 bit.
    const auto lower = [](__m256i v) {
        const __m256i under = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('_'));
        return _mm256_or_si256(v, _mm256_andnot_si256(under, _mm256_set1_epi8(0x20)));
    };
    const __m256i low8 = lower(_mm256_unpacklo_epi64(w01, w23));
    const __m256i high8 = lower(_mm256_unpackhi_epi64(w01, w23));
    // Bytes past the word cleared: shifts of 64 or more give zero.
    const __m256i ones = _mm256_set1_epi64x(-1);
    const __m256i bits = _mm256_slli_epi64(size, 3);
    const __m256i keep1 = _mm256_srlv_epi64(
        ones,
        _mm256_sub_epi64(_mm256_set1_epi64x(64), _mm256_min_epu32(bits, _mm256_set1_epi64x(64))));
    const __m256i keep2 = _mm256_srlv_epi64(ones, _mm256_sub_epi64(_mm256_set1_epi64x(128), bits));
    // h = size * K: the size fits in 32 bits, so two products make it.
    const __m256i h = _mm256_add_epi64(_mm256_mul_epu32(size, c.golden.lo),
                                       _mm256_slli_epi64(_mm256_mul_epu32(size, c.golden.hi), 32));
    const __m256i one = step4(c, h, _mm256_and_si256(low8, keep1));
    const __m256i two = step4(c, one, _mm256_and_si256(high8, keep2));
    const __m256i longer = _mm256_cmpgt_epi64(size, _mm256_set1_epi64x(8));
    const __m256i hashes = mix4(c, _mm256_blendv_epi8(one, two, longer));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), _mm256_permute4x64_epi64(hashes, 0xD8));
    return true;
}

} // namespace

void word_hashes(std::string_view text, Scratch &scratch, std::vector<uint64_t> &out) {
    // VELTRANE_ISA=scalar keeps the one-word loop, the reference the lanes are tested against.
    static const bool lanes = cpu::chosen_isa() != cpu::Isa::scalar;
    const std::string_view t = spans_of(text, scratch);
    const auto *s = reinterpret_cast<const unsigned char *>(t.data());
    const unsigned char *end = s + t.size();
    const auto *lowered = reinterpret_cast<const unsigned char *>(scratch.spans.lowered.data());
    const uint64_t *b = scratch.spans.bounds.data();
    const std::size_t count = scratch.spans.bounds.size() / 2;
    out.resize(count);
    const auto one = [&](std::size_t i) {
        const uint64_t first = b[2 * i], last = b[2 * i + 1];
        out[i] = (first & kBuffered) ? word_hash(lowered + (first & ~kBuffered), (last - first))
                                     : ascii_word_hash(s + first, last - first, end);
    };
    std::size_t i = 0;
    if (lanes) {
        const Lanes c;
        for (; i + 4 <= count; i += 4) {
            if (!ascii_word_hashes4(c, s, t.size(), b + 2 * i, out.data() + i)) {
                for (std::size_t j = i; j < i + 4; ++j) {
                    one(j);
                }
            }
        }
    }
    for (; i < count; ++i) {
        one(i);
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
