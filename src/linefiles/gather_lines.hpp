// Lines of one file read back by their spans, on every core: the texts a step needs again are
// fetched from the file instead of being held in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltrane::linefiles {

// Where each of the n spans ((offset, length) pairs, flat) lands when they are laid end to
// end: n + 1 offsets, the last one the total. std::invalid_argument for a negative offset or
// length.
std::vector<std::size_t> span_offsets(const int64_t *spans, std::size_t n);

// Reads the spans of the file at `path` into `into`, span k at at[k], with `threads` threads
// (many short reads from the page cache: the system calls, not the copies, cost). Returns 0,
// an errno value, or kEndedEarly (send_ranges.hpp) when the file is shorter than a span says.
int gather_spans(const std::string &path,
                 const int64_t *spans,
                 std::size_t n,
                 const std::size_t *at,
                 char *into,
                 int threads);

// How many of the n lines laid out at `at` in `data` do not end in "\n" (an empty one counts).
std::size_t unended_lines(const char *data, const std::size_t *at, std::size_t n);

// The n lines of `data`, each ending in "\n": the ones without it (a file's last line) get one.
std::string end_lines(const char *data, const std::size_t *at, std::size_t n);

} // namespace veltrane::linefiles
