#include "text/digest.hpp"

#include "blake3/blake3.h"
#include "common/batches.hpp"

#include <cstring>
#include <stdexcept>

namespace veltrane::text {

std::string_view normalized(std::string_view text, Normalize normalize, Scratch &scratch) {
    if (normalize == Normalize::none) {
        return text;
    }
    // The words come lower-cased, and never hold a space, so joined by one they stay apart.
    word_list(text, scratch, scratch.joined, ' ');
    return scratch.joined;
}

void Digester::sign(std::string_view text, Scratch &scratch, uint32_t *out) const {
    const std::string_view t = normalized(text, normalize_, scratch);
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    blake3_hasher_update(&hasher, t.data(), t.size());
    unsigned char bytes[16];
    blake3_hasher_finalize(&hasher, bytes, sizeof bytes);
    std::memcpy(out, bytes, sizeof bytes); // little-endian quarters, as the halves
}

void digests(const std::vector<std::string_view> &texts,
             Normalize normalize,
             int threads,
             uint64_t *out) {
    if (threads < 1) {
        throw std::invalid_argument("threads must be at least 1");
    }
    const Digester digester(normalize);
    std::vector<Scratch> scratch(static_cast<std::size_t>(threads));
    parallel_batches(
        texts.size(), 256, threads, [&](std::size_t begin, std::size_t end, std::size_t w) {
            uint32_t quarters[4];
            for (std::size_t i = begin; i < end; ++i) {
                digester.sign(texts[i], scratch[w], quarters);
                std::memcpy(out + 2 * i, quarters, sizeof quarters);
            }
        });
}

} // namespace veltrane::text
