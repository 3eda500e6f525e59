// A plain corpus file (text lines or JSON Lines) read and signed in one pass. Each thread takes
// a stretch of the file, reads it into a buffer of its own, finds the texts of the lines that
// start in it (jsonl::scan for JSON Lines) and signs each at once, while its bytes are in the
// thread's cache: no text is copied out unless it has escapes, and none is kept. The caller
// keeps where each record is and reads again the few texts it needs later. The file is read,
// not mapped: a mapping would count the file in the process's memory, and a file cut short
// meanwhile would kill the process instead of failing a read.
//
// The pass takes a file only as the general reader (veltrane/corpus.py) would read it, to the
// byte: a line the JSON scanner leaves to the slower parsers, a text that is not valid UTF-8
// (the general reader replaces its bad bytes), a NUL byte in a line file, or a file that
// changes while it is read makes it give up, and the caller reads that file the general way,
// which takes it or names the fault.
#pragma once

#include "jsonl/jsonl.hpp"
#include "text/signer.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::linefiles {

enum class Format : uint8_t { lines, jsonl };

// A file open for reading at any offset from any thread.
class File {
public:
    // Throws std::system_error naming the failing call.
    explicit File(const std::string &path);
    ~File();
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    std::size_t size() const {
        return size_;
    }
    // Reads up to `size` bytes at `offset` into `into`; returns how many (fewer at the end of
    // the file or on an error).
    std::size_t read(std::size_t offset, char *into, std::size_t size) const;
    int descriptor() const {
        return fd_;
    }

private:
    int fd_ = -1;
    std::size_t size_ = 0;
};

// Where the stretches are and how many lines start in each: counted before any line is
// scanned, so that every line knows its number and its row from the start, and the rows are
// written where they belong instead of being gathered and copied.
struct Plan {
    bool taken = true;                     // false: the file was shorter than its size said
    std::size_t first = 0;                 // where the first line starts (after a byte-order mark)
    std::vector<std::size_t> bounds;       // stretch k is [bounds[k], bounds[k + 1])
    std::vector<std::size_t> lines_before; // lines that start before stretch k; last: all lines
    std::size_t lines() const {
        return lines_before.back();
    }
};
Plan plan(const File &file, std::size_t stretch, int threads);

struct Scan {
    bool taken = true;            // false: the caller must read the file the general way
    std::vector<int64_t> numbers; // each record's line, from 1
    std::vector<int64_t> spans;   // each record's line as offset and length, ending included
    std::vector<int64_t> sizes;   // the bytes of each record's text (unescaped)
    // Each record's id (a string unescaped, a number as written) and whether it is a number,
    // and its value's number as written, when those fields are named.
    std::vector<std::string> ids, values;
    std::vector<uint8_t> id_is_number;
    std::size_t signed_rows = 0;
};

// A line as the scan found it: where it is, the bytes of its text, and whether it is a
// record and was signed.
enum class Kind : uint8_t { none, signed_record, unsigned_record };
struct LineOut {
    int64_t begin = 0, length = 0, size = 0;
    Kind kind = Kind::none;
};

// Told of a file's lines while the file is still being scanned: a stretch once it and every
// one before it are done, in order, on a thread of its own. So a follower acts on the start of
// a file while the threads read the rest.
class Follower {
public:
    virtual ~Follower() = default;
    // Lines [from, to) of the file, `rows` the signing output of line 0 (`stride` values a line).
    virtual void lines(const File &file,
                       const LineOut *lines,
                       std::size_t from,
                       std::size_t to,
                       const uint32_t *rows,
                       std::size_t stride) = 0;
    // Every line was told: the scan took the whole file. Not called when it gave up.
    virtual void end(const File &file) = 0;
};

// Where each record's signing goes, a row a line: its whole signature (hasher.width()
// values, to `signatures`), or, with `bands` set, a row of bands + 2 values (to `banded`): the
// key of each band of `rows` values (search/bands.hpp's formula), a hash of the whole
// signature, and 1 for a text without shingles (else 0). A near-duplicate search needs no
// more, and the row takes a third of the memory of a signature of 128 values.
// A follower, if set, is told of the lines and their signatures (not of banded rows).
struct Output {
    uint32_t *signatures = nullptr;
    uint64_t *banded = nullptr;
    std::size_t bands = 0, rows = 0;
    Follower *follower = nullptr;
};

// Scans and signs the lines of `file` as `plan` cut it into `out`, which has plan.lines()
// rows; on return, the rows of the records signed (every JSON Lines record; every non-empty
// line of a line file) are its first signed_rows rows, in order. A blank JSON Lines line is no
// record. `done` (if given) counts the bytes scanned; once `cancel` is set, the stretches not
// begun are skipped (the result is then meaningless).
Scan scan_and_sign(const File &file,
                   const Plan &plan,
                   Format format,
                   const jsonl::Fields &fields,
                   const text::Signer &hasher,
                   int threads,
                   const Output &out,
                   std::atomic<uint64_t> *done = nullptr,
                   const std::atomic<bool> *cancel = nullptr);

} // namespace veltrane::linefiles
