// A plain corpus file (text lines or JSON Lines) read and signed in one pass. Each thread takes
// a stretch of the file, finds the texts of the lines that start in it (jsonl::scan for JSON
// Lines) and signs each at once, while its bytes are in the thread's cache: no text is copied
// out unless it has escapes, and none is kept. The caller keeps where each record is and reads
// again the few texts it needs later.
//
// The pass takes a file only as the general reader (veltrane/corpus.py) would read it, to the
// byte: a line the JSON scanner leaves to the slower parsers, a text that is not valid UTF-8
// (the general reader replaces its bad bytes) or a NUL byte in a line file makes it give up,
// and the caller reads that file the general way, which takes it or names the fault.
#pragma once

#include "jsonl/jsonl.hpp"
#include "text/minhash.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::corpus {

enum class Format : uint8_t { lines, jsonl };

// A file mapped read-only. Pages already scanned are given back with release(), so the
// mapping does not count the whole file in the process's memory at once.
class MappedFile {
public:
    // Throws std::system_error naming the failing call.
    explicit MappedFile(const std::string &path);
    ~MappedFile();
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    std::string_view data() const {
        return {data_, size_};
    }
    // Drops the mapping's pages within [begin, end) (whole pages only); they are read again
    // from the page cache if touched later.
    void release(std::size_t begin, std::size_t end) const;

private:
    const char *data_ = nullptr;
    std::size_t size_ = 0;
};

// Where the stretches are and how many lines start in each: counted before any line is scanned,
// so that every line knows its number and its signature row from the start.
struct Plan {
    std::size_t first = 0;                 // where the first line starts (after a byte-order mark)
    std::vector<std::size_t> bounds;       // stretch k is [bounds[k], bounds[k + 1])
    std::vector<std::size_t> lines_before; // lines that start before stretch k; last: all lines
    std::size_t lines() const {
        return lines_before.back();
    }
};
Plan plan(std::string_view data, std::size_t stretch, int threads);

struct Scan {
    bool taken = true;            // false: the caller must read the file the general way
    std::vector<int64_t> numbers; // each record's line, from 1
    std::vector<int64_t> spans;   // each record's line as offset and length, ending included
    std::vector<int64_t> sizes;   // the bytes of each record's text (unescaped)
    std::vector<jsonl::Token> ids, values; // each record's, when their fields are named
    std::size_t signed_rows = 0;
};

// Scans and signs the lines of `data` as `plan` cut it. `rows` holds plan.lines() rows of
// hasher.num_perm() values; on return, the signatures of the records signed (every JSON Lines
// record; every non-empty line of a line file) fill its first signed_rows rows in order. A blank
// JSON Lines line is no record. `done` (if given) counts the bytes scanned; once `cancel` is
// set, the stretches not begun are skipped (the result is then meaningless). `file`, when
// given, has the pages of each stretch released once it is scanned.
Scan scan_and_sign(std::string_view data,
                   const Plan &plan,
                   Format format,
                   const jsonl::Fields &fields,
                   const text::MinHasher &hasher,
                   int threads,
                   uint32_t *rows,
                   const MappedFile *file = nullptr,
                   std::atomic<uint64_t> *done = nullptr,
                   const std::atomic<bool> *cancel = nullptr);

} // namespace veltrane::corpus
