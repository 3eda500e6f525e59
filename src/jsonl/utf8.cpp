#include "common/batches.hpp"
#include "jsonl/jsonl.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <immintrin.h>
#include <vector>

namespace veltrane::jsonl {

bool valid_utf8(std::string_view data) {
    const auto *p = reinterpret_cast<const unsigned char *>(data.data());
    const unsigned char *end = p + data.size();
    auto continuation = [&](const unsigned char *q, unsigned char low, unsigned char high) {
        return q < end && *q >= low && *q <= high;
    };
    while (p != end) {
        // Text is mostly ASCII: 32 bytes a step while it is.
        while (end - p >= 32 && _mm256_movemask_epi8(_mm256_loadu_si256(
                                    reinterpret_cast<const __m256i *>(p))) == 0) {
            p += 32;
        }
        if (p == end) {
            break;
        }
        if (end - p >= 8) {
            uint64_t word = 0;
            std::memcpy(&word, p, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                p += 8;
                continue;
            }
        }
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
        } else if (c >= 0xC2 && c <= 0xDF) {
            if (!continuation(p + 1, 0x80, 0xBF)) {
                return false;
            }
            p += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            // E0: no overlong forms; ED: no surrogates.
            const unsigned char low = c == 0xE0 ? 0xA0 : 0x80;
            const unsigned char high = c == 0xED ? 0x9F : 0xBF;
            if (!continuation(p + 1, low, high) || !continuation(p + 2, 0x80, 0xBF)) {
                return false;
            }
            p += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            // F0: no overlong forms; F4: nothing above U+10FFFF.
            const unsigned char low = c == 0xF0 ? 0x90 : 0x80;
            const unsigned char high = c == 0xF4 ? 0x8F : 0xBF;
            if (!continuation(p + 1, low, high) || !continuation(p + 2, 0x80, 0xBF) ||
                !continuation(p + 3, 0x80, 0xBF)) {
                return false;
            }
            p += 4;
        } else {
            return false;
        }
    }
    return true;
}

bool valid_utf8(std::string_view data, int threads) {
    const std::size_t parts = std::max<std::size_t>(
        1, std::min<std::size_t>(static_cast<std::size_t>(threads), data.size() >> 20));
    // Cut where a character starts (not at a continuation byte): the text is valid when every
    // part is, as no valid character then spans two parts.
    std::vector<std::size_t> cuts {0};
    for (std::size_t k = 1; k < parts; ++k) {
        std::size_t at = std::max(cuts.back(), data.size() * k / parts);
        while (at < data.size() && (static_cast<unsigned char>(data[at]) & 0xC0) == 0x80) {
            ++at;
        }
        cuts.push_back(at);
    }
    cuts.push_back(data.size());
    std::atomic<bool> valid {true};
    parallel_batches(parts, 1, threads, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t k = begin; k < end && valid.load(std::memory_order_relaxed); ++k) {
            if (!valid_utf8(data.substr(cuts[k], cuts[k + 1] - cuts[k]))) {
                valid.store(false);
            }
        }
    });
    return valid.load();
}

} // namespace veltrane::jsonl
