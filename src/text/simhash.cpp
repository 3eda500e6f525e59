#include "simhash.hpp"

#include <array>
#include <cctype>
#include <cstring>
#include <functional>
#include <immintrin.h>
#include <stdexcept>
#include <string>

namespace veltrane {

namespace {

// std::hash<std::string>'s seed in libstdc++ (bits/functional_hash.h).
constexpr std::size_t kTokenHashSeed = 0xc70f6907UL;
// The multiplier of libstdc++'s 64-bit _Hash_bytes (libsupc++/hash_bytes.cc).
constexpr uint64_t kHashMul = (uint64_t {0xc6a4a793} << 32) + 0x5bd1e995;

inline uint64_t shift_mix(uint64_t v) {
    return v ^ (v >> 47);
}

// _Hash_bytes' step for one whole 8-byte word.
inline uint64_t mix_word(uint64_t h, uint64_t word) {
    return (h ^ (shift_mix(word * kHashMul) * kHashMul)) * kHashMul;
}

inline uint64_t finish(uint64_t h) {
    return shift_mix(shift_mix(h) * kHashMul);
}

// `a` if `keep`, else `b`, without a branch: the compiler turns a conditional expression into a
// jump where it likes, and token lengths are what a branch predictor cannot learn.
inline uint64_t select(bool keep, uint64_t a, uint64_t b) {
    const uint64_t m = uint64_t {0} - static_cast<uint64_t>(keep);
    return (a & m) | (b & ~m);
}

// The first `n` <= 8 bytes at p as a little-endian word, the rest zero; reads no byte at or past
// `end`.
inline uint64_t load_word(const unsigned char *p, std::size_t n, const unsigned char *end) {
    uint64_t w = 0;
    if (end - p >= 8) {
        std::memcpy(&w, p, 8);
        return _bzhi_u64(w, static_cast<unsigned>(8 * n));
    }
    std::memcpy(&w, p, n);
    return w;
}

// Lower-cases the 8 bytes of a word as the C and C.UTF-8 locales do: 'A' to 'Z' gain 0x20,
// every other byte stays. Per byte, 7-bit sums set the top bit from 'A' (0x41 + 0x3f) and from
// past 'Z' (0x5b + 0x25), and bytes from 0x80 on are left out.
inline uint64_t lower_ascii(uint64_t w) {
    constexpr uint64_t kTop = 0x8080808080808080ULL;
    const uint64_t low7 = w & ~kTop;
    const uint64_t from_a = low7 + 0x3f3f3f3f3f3f3f3fULL;
    const uint64_t past_z = low7 + 0x2525252525252525ULL;
    const uint64_t upper = from_a & ~past_z & ~w & kTop;
    return w | (upper >> 2);
}

// tolower() of every byte passed as a signed char, low 8 bits kept, for the calling thread's
// current locale. Filling it takes 256 calls, so each thread keeps the last one it built and
// rebuilds it only when glibc's pointer to the locale's table changes (setlocale, uselocale).
class LowerTable {
public:
    static const LowerTable &current() {
        thread_local LowerTable cache;
#ifdef __GLIBC__
        const int32_t *key = *__ctype_tolower_loc();
        if (key != cache.key_ || !cache.built_) {
            cache.build();
            cache.key_ = key;
        }
#else
        cache.build();
#endif
        return cache;
    }

    unsigned char operator[](unsigned char b) const {
        return table_[b];
    }

    // Only 'A' to 'Z' change, so whole words can be lowered with lower_ascii().
    bool ascii_only() const {
        return ascii_only_;
    }

private:
    void build() {
        ascii_only_ = true;
        for (int b = 0; b < 256; ++b) {
            table_[b] = static_cast<unsigned char>(std::tolower(static_cast<signed char>(b)));
            const int ascii = b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b;
            ascii_only_ = ascii_only_ && table_[b] == ascii;
        }
        built_ = true;
    }

    unsigned char table_[256] = {};
    bool ascii_only_ = true;
    bool built_ = false;
#ifdef __GLIBC__
    const int32_t *key_ = nullptr;
#endif
};

// The token hash of the lowered bytes p[0, n), the lowering done word by word as the hash
// reads them, so that no token is copied. Needs an ASCII-only locale.
inline uint64_t
hash_lowered_ascii(const unsigned char *p, std::size_t n, const unsigned char *end) {
    uint64_t h = kTokenHashSeed ^ (n * kHashMul);
    if (n <= 16) {
        // The common case without branches: up to two words, of which the first whole one
        // (n >= 8) and the second whole one (n == 16) are mixed, and the word holding the last
        // n mod 8 bytes is the tail.
        const uint64_t w0 = lower_ascii(load_word(p, n < 8 ? n : 8, end));
        const uint64_t w1 = n > 8 ? lower_ascii(load_word(p + 8, n - 8, end)) : 0;
        h = select(n >= 8, mix_word(h, w0), h);
        h = select(n == 16, mix_word(h, w1), h);
        const uint64_t tail = select(n < 8, w0, w1);
        h = select((n & 7) != 0, (h ^ tail) * kHashMul, h);
        return finish(h);
    }
    const std::size_t whole = n & ~std::size_t {7};
    for (std::size_t i = 0; i < whole; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = mix_word(h, lower_ascii(w));
    }
    if ((n & 7) != 0) {
        h = (h ^ lower_ascii(load_word(p + whole, n & 7, end))) * kHashMul;
    }
    return finish(h);
}

// The token hash of p[0, n) lowered through any locale's table.
uint64_t hash_lowered(const unsigned char *p, std::size_t n, const LowerTable &lower) {
    unsigned char buffer[256];
    std::string long_token;
    unsigned char *out = buffer;
    if (n > sizeof buffer) {
        long_token.resize(n);
        out = reinterpret_cast<unsigned char *>(long_token.data());
    }
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = lower[p[i]];
    }
    return token_hash(out, n);
}

// Majority vote over 64 bit positions. Counting the ones per position and comparing with the
// token count gives the same answer as +1/-1 counters (counter = 2 * ones - tokens). A token
// adds its 64 bits to 64 byte-wide counters in two AVX2 registers, with no branch per bit;
// every 255 tokens, before a byte can overflow, they are flushed into 64-bit totals, which
// cannot overflow on any text that fits in memory.
class Votes {
public:
    Votes()
        : spread_lo_(_mm256_setr_epi8(0,
                                      0,
                                      0,
                                      0,
                                      0,
                                      0,
                                      0,
                                      0,
                                      1,
                                      1,
                                      1,
                                      1,
                                      1,
                                      1,
                                      1,
                                      1,
                                      2,
                                      2,
                                      2,
                                      2,
                                      2,
                                      2,
                                      2,
                                      2,
                                      3,
                                      3,
                                      3,
                                      3,
                                      3,
                                      3,
                                      3,
                                      3)),
          spread_hi_(_mm256_setr_epi8(4,
                                      4,
                                      4,
                                      4,
                                      4,
                                      4,
                                      4,
                                      4,
                                      5,
                                      5,
                                      5,
                                      5,
                                      5,
                                      5,
                                      5,
                                      5,
                                      6,
                                      6,
                                      6,
                                      6,
                                      6,
                                      6,
                                      6,
                                      6,
                                      7,
                                      7,
                                      7,
                                      7,
                                      7,
                                      7,
                                      7,
                                      7)),
          bit_(_mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL))) {}

    // Counter byte k of lo_ counts bit k of the hashes, of hi_ bit 32 + k: byte k of the hash
    // is spread over 8 bytes, and each of those keeps its own bit.
    void add(uint64_t h) {
        const __m256i v = _mm256_set1_epi64x(static_cast<long long>(h));
        const __m256i lo = _mm256_and_si256(_mm256_shuffle_epi8(v, spread_lo_), bit_);
        const __m256i hi = _mm256_and_si256(_mm256_shuffle_epi8(v, spread_hi_), bit_);
        // A set bit compares equal to its mask, giving -1: subtracting it counts one.
        lo_ = _mm256_sub_epi8(lo_, _mm256_cmpeq_epi8(lo, bit_));
        hi_ = _mm256_sub_epi8(hi_, _mm256_cmpeq_epi8(hi, bit_));
        if (++pending_ == 255) {
            flush();
        }
    }

    uint64_t majority() {
        flush();
        uint64_t fp = 0;
        for (int i = 0; i < 64; ++i) {
            // counter >= 0, so an even split (and no token at all) sets the bit.
            if (2 * ones_[i] >= tokens_) {
                fp |= uint64_t {1} << i;
            }
        }
        return fp;
    }

private:
    void flush() {
        alignas(32) unsigned char counts[64];
        _mm256_store_si256(reinterpret_cast<__m256i *>(counts), lo_);
        _mm256_store_si256(reinterpret_cast<__m256i *>(counts + 32), hi_);
        for (int i = 0; i < 64; ++i) {
            ones_[i] += counts[i];
        }
        tokens_ += pending_;
        pending_ = 0;
        lo_ = _mm256_setzero_si256();
        hi_ = _mm256_setzero_si256();
    }

    const __m256i spread_lo_, spread_hi_, bit_;
    __m256i lo_ = _mm256_setzero_si256();
    __m256i hi_ = _mm256_setzero_si256();
    unsigned pending_ = 0;
    std::array<uint64_t, 64> ones_ {};
    uint64_t tokens_ = 0;
};

// Calls token(begin, end) for each space-separated piece of text[0, size), in order: as many
// as there are spaces, plus one unless the text ends with a space. Finds the spaces 32 bytes
// at a time.
template <typename Token>
void for_each_token(const unsigned char *text, std::size_t size, Token &&token) {
    const __m256i space = _mm256_set1_epi8(' ');
    std::size_t start = 0;
    std::size_t block = 0;
    for (; block + 32 <= size; block += 32) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(text + block));
        auto spaces = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, space)));
        for (; spaces != 0; spaces &= spaces - 1) {
            const std::size_t at = block + static_cast<std::size_t>(__builtin_ctz(spaces));
            token(start, at);
            start = at + 1;
        }
    }
    for (; block < size; ++block) {
        if (text[block] == ' ') {
            token(start, block);
            start = block + 1;
        }
    }
    if (start < size) {
        token(start, size);
    }
}

} // namespace

uint64_t token_hash(const void *data, std::size_t size) {
    return std::_Hash_bytes(data, size, kTokenHashSeed);
}

std::size_t SimHash::fingerprint_size() const {
    if (bits_ < 0) {
        throw std::length_error("cannot create std::vector larger than max_size()");
    }
    return static_cast<std::size_t>(bits_) / 8;
}

uint64_t SimHash::fingerprint64(std::string_view text) {
    Votes votes;
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t size = text.size();
    const unsigned char *end = p + size;
    const LowerTable &lower = LowerTable::current();
    if (lower.ascii_only()) {
        for_each_token(p, size, [&](std::size_t begin, std::size_t stop) {
            votes.add(hash_lowered_ascii(p + begin, stop - begin, end));
        });
    } else {
        for_each_token(p, size, [&](std::size_t begin, std::size_t stop) {
            votes.add(hash_lowered(p + begin, stop - begin, lower));
        });
    }
    return votes.majority();
}

void SimHash::write_fingerprint(uint64_t fp64, unsigned char *out, std::size_t size) {
    unsigned char tile[8];
    for (int k = 0; k < 8; ++k) {
        tile[k] = static_cast<unsigned char>(fp64 >> (8 * k));
    }
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = tile[i & 7];
    }
}

uint64_t SimHash::hamming_distance(const unsigned char *fp1,
                                   std::size_t size1,
                                   const unsigned char *fp2,
                                   std::size_t size2) {
    if (size2 < size1) {
        throw std::invalid_argument("fp2 is shorter than fp1: " + std::to_string(size2) + " < " +
                                    std::to_string(size1) + " bytes");
    }
    uint64_t count = 0;
    std::size_t i = 0;
    // Eight bytes per POPCNT; the order of bits inside a byte does not matter to a count.
    for (; i + 8 <= size1; i += 8) {
        uint64_t a, b;
        std::memcpy(&a, fp1 + i, 8);
        std::memcpy(&b, fp2 + i, 8);
        count += static_cast<uint64_t>(__builtin_popcountll(a ^ b));
    }
    for (; i < size1; ++i) {
        count += static_cast<uint64_t>(__builtin_popcount(fp1[i] ^ fp2[i]));
    }
    return count;
}

} // namespace veltrane
