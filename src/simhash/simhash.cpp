#include "simhash.hpp"

#include <array>
#include <cctype>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

namespace veltrane {

namespace {

// std::hash<std::string>'s seed in libstdc++ (bits/functional_hash.h).
constexpr std::size_t kTokenHashSeed = 0xc70f6907UL;

// Lower-cases a byte as the C library's tolower() does under the calling thread's current
// locale: the byte passed as a signed char, the low 8 bits of the result kept. glibc's
// tolower() is a lookup in the locale's table (indexable from -128 to 255); reading that
// table directly saves a call per byte and follows setlocale()/uselocale() all the same.
class Lower {
public:
    Lower()
#ifdef __GLIBC__
        : table_(*__ctype_tolower_loc())
#endif
    {
    }

    unsigned char operator()(char c) const {
        const int b = static_cast<signed char>(c);
#ifdef __GLIBC__
        return static_cast<unsigned char>(table_[b]);
#else
        return static_cast<unsigned char>(std::tolower(b));
#endif
    }

private:
#ifdef __GLIBC__
    const int32_t *table_;
#endif
};

// Majority vote over 64 bit positions. Counting the ones per position and comparing with the
// token count gives the same answer as +1/-1 counters (counter = 2 * ones - tokens), keeps
// the inner loop branch-free so the compiler vectorises it, and 64-bit counts cannot
// overflow on any text that fits in memory.
class Votes {
public:
    void add(uint64_t h) {
        for (int i = 0; i < 64; ++i) {
            ones_[i] += (h >> i) & 1U;
        }
        ++tokens_;
    }

    uint64_t majority() const {
        uint64_t sig = 0;
        for (int i = 0; i < 64; ++i) {
            // counter >= 0, so an even split (and no token at all) sets the bit.
            if (2 * ones_[i] >= tokens_) {
                sig |= uint64_t {1} << i;
            }
        }
        return sig;
    }

private:
    std::array<uint64_t, 64> ones_ {};
    uint64_t tokens_ = 0;
};

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

uint64_t SimHash::signature(std::string_view text) {
    Votes votes;
    if (text.empty()) {
        return votes.majority();
    }
    const Lower lower;
    std::string token;
    const char *p = text.data();
    const char *const end = p + text.size();
    // Tokens are the pieces between spaces; a trailing space does not start an empty token,
    // but a leading space or two in a row do.
    while (p < end) {
        const auto *space = static_cast<const char *>(std::memchr(p, ' ', end - p));
        const char *token_end = space ? space : end;
        token.resize(token_end - p);
        for (std::size_t i = 0; i < token.size(); ++i) {
            token[i] = static_cast<char>(lower(p[i]));
        }
        votes.add(token_hash(token.data(), token.size()));
        p = token_end + 1;
    }
    return votes.majority();
}

void SimHash::write_fingerprint(uint64_t signature, unsigned char *out, std::size_t size) {
    unsigned char tile[8];
    for (int k = 0; k < 8; ++k) {
        tile[k] = static_cast<unsigned char>(signature >> (8 * k));
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
