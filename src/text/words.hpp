// Words and shingles of texts, as the corpus tools count them. The words of a text are found
// in text.lower() (full Unicode lower-casing as Python 3.12 does it): a word character (a
// letter, digit or '_' as Python 3.12 defines them) of a script written without spaces (Han,
// Hiragana, Katakana, Thai, Lao, Myanmar, Khmer: the ranges of ALONE_RANGES in
// tools/gen_unicode_tables.py) is a word by itself, and every other word is a run of the other
// word characters, as re.findall(r"\w+", ...) finds them. So a text without such characters
// has exactly the words of re.findall(r"\w+", text.lower()). Its shingles are the runs of
// `ngram` consecutive words (a text of fewer words has one shingle of all of them, a text
// without words has none).
//
// Hashes, fixed for good (stored signatures and tests depend on them; tests/model_minhash.py
// is the reference):
//   step(h, w)  = g ^ (g >> 32) where g = (h ^ w) * K mod 2^64
//   word hash   = mix64(fold of step over the word's lower-cased UTF-8 bytes as little-endian
//                 8-byte blocks, the last padded with zeros, from h = length * K)
//   shingle hash = mix64(fold of step over its word hashes, from h = number of words)
// K is hash::kGolden (2^64 divided by the golden ratio) and mix64 is splitmix64's finaliser
// (common/hash.hpp).
#pragma once

#include "common/hash.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace veltrane::text {

using hash::kGolden;
using hash::mix64;

constexpr uint64_t step(uint64_t h, uint64_t w) {
    const uint64_t g = (h ^ w) * kGolden;
    return g ^ (g >> 32);
}

// The hash of the shingle of the `Width` word hashes at w, as shingle_hashes makes it.
template <std::size_t Width> inline uint64_t shingle_hash(const uint64_t *w) {
    uint64_t h = Width;
    for (std::size_t k = 0; k < Width; ++k) {
        h = step(h, w[k]);
    }
    return mix64(h);
}

// Calls each(std::integral_constant<std::size_t, width>) for the usual shingle widths, 1 to
// 8, unrolled so that consecutive shingles' multiplications overlap; false for another.
// shingle_hashes keeps its own switch over fixed_shingles: written through this, its AVX2
// path measured a few per cent slower in alternating rounds (within the noise, but not
// worth the risk).
template <typename Each> inline bool with_shingle_width(std::size_t width, Each &&each) {
    switch (width) {
    case 1:
        return each(std::integral_constant<std::size_t, 1> {}), true;
    case 2:
        return each(std::integral_constant<std::size_t, 2> {}), true;
    case 3:
        return each(std::integral_constant<std::size_t, 3> {}), true;
    case 4:
        return each(std::integral_constant<std::size_t, 4> {}), true;
    case 5:
        return each(std::integral_constant<std::size_t, 5> {}), true;
    case 6:
        return each(std::integral_constant<std::size_t, 6> {}), true;
    case 7:
        return each(std::integral_constant<std::size_t, 7> {}), true;
    case 8:
        return each(std::integral_constant<std::size_t, 8> {}), true;
    default:
        return false;
    }
}

// The hash of a word given as its lower-cased UTF-8 bytes.
uint64_t word_hash(const unsigned char *bytes, std::size_t size);

// When `text` is not valid UTF-8, writes to `repaired` a copy in which every byte that does
// not belong to a valid character is a space, and returns true. That splits words exactly
// where Python's bytes.decode("utf-8", errors="replace") puts U+FFFD (neither a word
// character nor cased nor case-ignorable, like the space).
bool repair_utf8(std::string_view text, std::string &repaired);

// Where the words of a text are (see find_words in words.cpp).
struct Spans {
    std::vector<uint64_t> bounds;
    std::string lowered; // the words with non-ASCII characters, lower-cased
};

// Reusable buffers of one thread's tokenizer.
struct Scratch {
    Spans spans;
    std::string repaired;        // the text, when it was not valid UTF-8
    std::vector<uint64_t> words; // word hashes of the current text
    std::vector<uint64_t> shingles;
    std::vector<uint32_t> row;   // a signature padded to the kernel's lanes
    std::string joined;          // the words of a text joined (word_list)
    std::shared_ptr<void> batch; // what a signer gathers between flushes (Signer::flush)
};

// Replaces `out` with the hashes of the words of `text` (any bytes: invalid UTF-8 is
// repaired first), in order.
void word_hashes(std::string_view text, Scratch &scratch, std::vector<uint64_t> &out);

// The words of `text` themselves, lower-cased UTF-8, in order.
std::vector<std::string> words(std::string_view text);

// Whether `text` has a word: without splitting it where an ASCII word character comes before
// any other byte above ASCII (most texts, within their first bytes).
bool has_words(std::string_view text);

// Replaces `out` with the words of `text`, lower-cased UTF-8, in order, `separator` between
// each two.
void word_list(std::string_view text, Scratch &scratch, std::string &out, char separator);

// Replaces `out` with the shingle hashes of the words whose hashes are words[0..count), one
// per run (repeats included). ngram >= 1.
void shingle_hashes(const uint64_t *words,
                    std::size_t count,
                    std::size_t ngram,
                    std::vector<uint64_t> &out);

// Word hashes then shingle hashes of `text` into scratch.shingles.
void text_shingles(std::string_view text, std::size_t ngram, Scratch &scratch);

} // namespace veltrane::text
