// Digests of exact copies: 128 bits of BLAKE3 of a text after a normalisation, so that two
// texts are copies when their digests are equal.
//   none:  the text's bytes as they are.
//   words: its words (words.hpp) joined by single spaces, as UTF-8: case, punctuation and
//          spacing no longer count. Bytes that are not valid UTF-8 separate words, as there.
// The digest is BLAKE3's first 16 bytes, as two little-endian 64-bit halves (or four 32-bit
// quarters); two different normalised texts share one with probability 2^-128.
#pragma once

#include "text/signer.hpp"
#include "text/words.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace veltrane::text {

enum class Normalize : uint8_t { none, words };

// The normalised text into scratch.joined (for `words`), or `text` itself (for `none`).
std::string_view normalized(std::string_view text, Normalize normalize, Scratch &scratch);

class Digester final : public Signer {
public:
    explicit Digester(Normalize normalize) : normalize_(normalize) {}
    std::size_t width() const override {
        return 4;
    }
    // Gathers the normalised text; its digest is written by the flush that follows.
    void sign(std::string_view text, Scratch &scratch, uint32_t *out) const override;
    void flush(Scratch &scratch) const override;

private:
    Normalize normalize_;
};

// The digests of all texts, two 64-bit halves a text, on `threads` threads (at least 1).
void digests(const std::vector<std::string_view> &texts,
             Normalize normalize,
             int threads,
             uint64_t *out);

} // namespace veltrane::text
