// The word scanner's results as the rest of the tokenizer reads them (internal to src/text).
#pragma once

#include "text/words.hpp"

#include <cstdint>
#include <string_view>

namespace veltrane::text {

// Set in a bound of Spans::bounds that is an offset into Spans::lowered rather than into the
// text (see find_words in words.cpp).
constexpr uint64_t kBuffered = uint64_t {1} << 63;

// Fills scratch.spans with the words of `text` and returns the text they point into: `text`
// itself, or scratch.repaired when `text` is not valid UTF-8.
std::string_view spans_of(std::string_view text, Scratch &scratch);

} // namespace veltrane::text
