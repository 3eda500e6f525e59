// One field of each JSON Lines record, found without building the record: every line is
// validated as JSON (without recursion, so any depth up to a bound costs no stack), and only
// the text field's and the id field's tokens are remembered. Numbers stay text, so no number is
// too long. A line this scanner does not take (bad JSON, a missing or non-string field, an
// escaped key, an escaped lone surrogate, NaN or Infinity, nesting deeper than kMaxDepth) is
// marked, and the caller reads it another way to accept it or to say what is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace veltrane::jsonl {

inline constexpr std::size_t kMaxDepth = 1 << 16;

enum class Status : uint8_t { record, blank, other };
enum class Kind : uint8_t { none, string, number };

struct Token {
    uint64_t begin = 0, end = 0; // a string's bytes between its quotes, or a number's text
    uint64_t size = 0;           // the string's size once unescaped
    bool escaped = false;
    Kind kind = Kind::none;
};

struct Line {
    Status status = Status::other;
    Token text, id, value;
};

// The names of the fields wanted: the text (a string), an id (a string or a number) and a value
// (a number); an empty name is not wanted.
struct Fields {
    std::string_view text, id, value;
};

// Scans the line data[begin, end) (without its "\n").
Line scan(const char *data, std::size_t begin, std::size_t end, const Fields &fields);

// The record `line` (without its line ending) with its `field` string replaced by `text`,
// escaped, into `out`: every other byte of the line as it was. False, `out` untouched, when
// scan() does not take the line. `text` is escaped as Python's json.dumps(ensure_ascii=False)
// escapes a string: '"', '\\' and the control characters, nothing else.
bool replace_text(std::string_view line,
                  std::string_view field,
                  std::string_view text,
                  std::string &out);

// Writes the unescaped bytes of a string token (token.size of them) to `out`.
void unescape(const char *data, const Token &token, char *out);

// A number token's value as Python's float() reads its text: strtod only where from_chars is
// out of range, as it gives infinity or zero there the way Python does.
double number_value(const char *data, const Token &token);

// Whether `data` is UTF-8 as Python's bytes.decode("utf-8") takes it (no surrogates, no overlong
// forms, nothing above U+10FFFF).
bool valid_utf8(std::string_view data);
// The same, parts of `data` checked on `threads` threads.
bool valid_utf8(std::string_view data, int threads);

// scan() of every line k, data[starts[k], starts[k + 1]) less its line ending, on `threads`
// threads.
void scan_lines(const char *data,
                const int64_t *starts,
                std::size_t lines,
                const Fields &fields,
                int threads,
                Line *out);

} // namespace veltrane::jsonl
