// What a pass over texts asks of a way of signing them: a fixed number of 32-bit values a
// text, written by any thread with a Scratch of its own. MinHash signatures (minhash.hpp) and
// digests of exact copies (digest.hpp) are both.
#pragma once

#include "text/words.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace veltrane::text {

class Signer {
public:
    virtual ~Signer() = default;
    // The values written a text.
    virtual std::size_t width() const = 0;
    virtual void sign(std::string_view text, Scratch &scratch, uint32_t *out) const = 0;
    // Writes what `sign` left pending in `scratch`: a signer may gather texts and sign them
    // together, so a caller flushes before it reads what sign wrote, on the same thread.
    virtual void flush(Scratch &) const {}
};

} // namespace veltrane::text
