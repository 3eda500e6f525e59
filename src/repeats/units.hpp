// The units of a text that repeats are looked for in: its lines, its paragraphs, and where its
// words are (for runs of words).
#pragma once

#include "text/words.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace veltrane::repeats {

// One unit of a text: its bytes [start, end), compared with other units, and the bytes
// [cut_start, cut_end) that removing it removes (its line break, the blank lines that go with
// a paragraph).
struct Piece {
    uint64_t start, end;
    uint64_t cut_start, cut_end;
};

// Whether the bytes hold nothing but whitespace as Python's str.isspace() has it (none at all
// included). A byte that is not part of valid UTF-8 is not whitespace.
bool blank(std::string_view line);

// The lines of `text`: split after each \n; a \r before the \n belongs to the break. A line's
// cut is the line with its break. An empty last piece after a final \n is no line.
void lines(std::string_view text, std::vector<Piece> &out);

// The paragraphs of `text`: runs of lines that are not blank, separated by blank lines. A
// paragraph runs from its first line's first byte to its last line's last byte before the
// break; its cut takes the blank lines after it with it, or, when none follows, the blank
// lines before it and everything to the end of the text.
void paragraphs(std::string_view text, std::vector<Piece> &out);

// Finds where each word of `text` is, as the word rule of text/words.hpp cuts them: writes
// the first and one past the last byte of word k to out[2k], out[2k + 1]. The rule is asked
// about every character that is not ASCII, and about each such character next to another,
// so that this follows the rule wherever it is defined. Returns false (out unspecified) when
// the words found are not `count`, the number the rule gives for the whole text.
class WordPlaces {
public:
    bool find(std::string_view text, std::size_t count, std::vector<uint64_t> &out);

private:
    std::size_t words_in(std::string_view piece);
    std::size_t words_of_char(std::string_view c);

    text::Scratch scratch_;
    std::vector<uint64_t> hashes_;
    std::unordered_map<uint32_t, uint8_t> char_words_; // code point -> words in it alone
};

} // namespace veltrane::repeats
