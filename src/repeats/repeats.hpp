// Repeats inside the texts of a corpus: lines, paragraphs or runs of words that occurred
// earlier in the corpus (in an earlier text, or earlier in the same text). The texts are
// handed over in corpus order, a batch at a time; each gets the byte ranges to cut out of it.
//
// A unit (line or paragraph) is a repeat when an equal unit came before it: the same words
// (lower-cased, as text/words.hpp finds them) or, comparing bytes, the same bytes; a unit
// without words never is. A word is in a repeat when it lies in a window of `min_words`
// consecutive words of its text equal to a window that starts earlier in the corpus; each
// maximal run of such words is cut from its first word's first byte to its last word's last.
//
// Units are found by hash and then compared in full with the first occurrence kept for it, so
// a hash collision never cuts anything. Windows are compared word hash by word hash.
#pragma once

#include "common/huge_pages.hpp"
#include "repeats/units.hpp"
#include "repeats/word_log.hpp"
#include "text/words.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::repeats {

enum class Unit { line, paragraph, span };

struct Options {
    Unit unit = Unit::line;
    bool by_words = true; // compare units by their words; false: by their bytes
    std::size_t min_words = 50;
    // Bits of each unit's or window's hash that are kept: fewer than 64 only to make
    // collisions happen in tests.
    int hash_bits = 64;
    // Only the units or windows of part `part` of `parts`, as their keys fall, are looked up
    // and kept; the rest are passed over. Equal units and windows share a key and so a part:
    // a corpus whose tables do not fit is searched a part per pass, each pass finding every
    // repeat of its part, and the cuts of all passes joined are those of one.
    uint32_t parts = 1, part = 0;
    // Spans: each cut in words, [its first word, one past its last), for cuts of several
    // passes to be joined where they touch before they are placed in bytes (place_runs).
    bool runs_in_words = false;
};

// A stretch cut from a text: bytes [start, end), and where the first occurrence of its first
// unit or window is: the number of its text in the corpus (from 0) and there its first byte
// (lines, paragraphs) or the number of its first word (spans).
struct Cut {
    uint64_t start, end;
    uint64_t first_text, first_at;
};

struct Counts {
    uint64_t texts = 0;    // texts seen
    uint64_t units = 0;    // units (or windows) compared
    uint64_t repeats = 0;  // of them, repeats
    uint64_t unplaced = 0; // texts whose words could not be placed: nothing cut from them
};

// Where a text can be read again: a line of a file of the corpus, by the number a TextSource
// gives its file. A text without one has file -1.
struct Location {
    int64_t file = -1;
    int64_t offset = 0, length = 0;
};

// Reads texts again from where they are: what lets the finder keep where a first occurrence
// is instead of its bytes.
class TextSource {
public:
    virtual ~TextSource() = default;
    // The text at `at` into `into`; false when it cannot be read.
    virtual bool text(const Location &at, std::string &into) = 0;
};

// Thrown when the finder would hold more than its limit: a std::bad_alloc, as it is one.
class OverLimit : public std::bad_alloc {
public:
    const char *what() const noexcept override {
        return "the repeats' tables would take more memory than their limit";
    }
};

class Finder {
public:
    explicit Finder(const Options &options);

    // The next texts of the corpus in order; cuts[i] gets the stretches to cut from texts[i],
    // ascending and disjoint. `threads` prepare texts at once; decisions follow corpus order.
    // With `located` (one per text) and a source, the first occurrences of a text that can be
    // read again are kept as where they are, not as their bytes: a corpus's units then take
    // tens of bytes each instead of their size.
    void add(const std::vector<std::string_view> &texts,
             int threads,
             std::vector<std::vector<Cut>> &cuts,
             const Location *located = nullptr);
    // Keeps the word hashes of spans in the file `path` instead of memory (before any text is
    // added): written there when `write`, else read from what an earlier pass over the same
    // corpus with the same options wrote. Throws std::system_error.
    void keep_words_in(const std::string &path, bool write) {
        words_.use_file(path, write);
    }
    // Waits until the file of keep_words_in holds every word added (add() leaves the last
    // batch's words being written). Throws std::system_error when it could not take them.
    void finish_words() {
        words_.wait();
    }
    // At most `bytes` held (memory()): a table or first occurrence past it throws OverLimit
    // instead, leaving the finder fit only to be thrown away. 0: no limit.
    void limit_memory(std::size_t bytes) {
        limit_ = bytes;
    }
    // The corpus takes about `bytes` of texts (0: unknown): once a few MiB of them are seen,
    // the table is made the size the whole corpus will need.
    void expect_bytes(std::size_t bytes) {
        expected_bytes_ = bytes;
    }
    // Spans carried over from earlier runs: their texts' word hashes, given before any text
    // of this run, make the windows they start first occurrences, as if those texts came
    // first in the corpus. A cut whose first occurrence is such a text has first_text
    // `number | kEarlier`; a finder of one part keeps the windows of its part. Throws
    // std::logic_error for another unit, or after add().
    static constexpr uint64_t kEarlier = uint64_t {1} << 62;
    void prime(const uint64_t *words, std::size_t n, uint64_t number);
    // Room for `more` windows at once: primed texts' windows fill a table made for them
    // instead of one doubled up to them, which rolled the words again at every doubling.
    void reserve_windows(std::size_t more);
    // The word hashes of this run's texts with a window (not those primed), written to `fd`
    // from its current offset, for a later run to prime with; each such text's number goes
    // to `texts` and where its words begin there to `starts`, with the end last. Throws
    // std::system_error.
    void save_words(int fd, std::vector<uint64_t> &texts, std::vector<uint64_t> &starts);
    // What reads the located texts again; it must outlive the finder's use of them.
    void read_from(TextSource *source) {
        source_ = source;
    }

    const Counts &counts() const {
        return counts_;
    }
    // Bytes held: tables and first occurrences.
    std::size_t memory() const;

private:
    struct Entry {
        uint64_t key;
        uint64_t ref; // 0: empty; else 1 + an offset into arena_ or into words_
    };
    struct Prepared {
        std::vector<Piece> pieces;
        std::vector<uint64_t> keys; // a key per piece or window; kNone for a unit without words
        std::vector<uint64_t> sums; // located: a hash of each piece's bytes, to check it again
        std::vector<uint64_t> words, places;
    };
    // Done with a text's prepared state: kept for the next batch's text in its place, so that
    // batch after batch allocates nothing (freeing it on another thread than the one that
    // filled it made the allocator trim and grow its heaps again each batch), unless it is
    // large.
    static void release(Prepared &p);
    class Worker;

    void prepare(std::string_view text, Prepared &p, Worker &w, bool located) const;
    void decide_units(std::string_view text,
                      const Prepared &p,
                      std::vector<Cut> &cuts,
                      const Location *at);
    void window_keys_of(Prepared &p) const;
    void decide_windows(const Prepared &p, std::vector<Cut> &cuts, uint64_t text);
    // A unit's hash: of its words joined (`joined`, word_list's), or of its bytes; 0 for a
    // unit without words.
    uint64_t unit_sum(std::string_view unit, const std::string &joined) const;
    bool same_unit(std::string_view text, const Piece &piece, uint64_t ref);
    // To 2^bits slots, or double when that is no more.
    void grow(int bits = 0);
    // To `slots` slots, or half as many again when that is no more.
    void grow_windows(std::size_t slots);
    // The slot of a window's key: its top bits scaled to the table, as the table's size is
    // no power of two.
    std::size_t window_slot(uint64_t key) const {
        return static_cast<std::size_t>((static_cast<unsigned __int128>(key) * windows_.size()) >>
                                        64);
    }
    std::size_t next_window_slot(std::size_t slot) const {
        return slot + 1 == windows_.size() ? 0 : slot + 1;
    }
    void presize(const std::vector<std::string_view> &texts);
    // Throws OverLimit when `more` bytes on top of what is held would pass the limit.
    void check_limit(std::size_t more) const {
        if (limit_ != 0 && memory() + more > limit_) {
            throw OverLimit();
        }
    }
    bool in_part(uint64_t key) const;

    Options options_;
    Counts counts_;
    std::size_t limit_ = 0;
    std::size_t expected_bytes_ = 0, seen_bytes_ = 0;
    bool presized_ = false;
    int threads_ = 1; // of the current add, to fault the tables in with
    std::vector<Prepared> prepared_;
    memory::Zeroed<Entry> slots_;
    std::size_t used_ = 0;
    int slot_bits_ = 0;
    // Units: each first occurrence as [u64 text][u64 first byte][u64 size], then either
    // [u64 0][bytes] or, where its text can be read again, [u64 1][u64 file][u64 offset]
    // [u64 length][u64 hash of the unit's words, or of its bytes when bytes are compared].
    memory::Grown<char> arena_;
    TextSource *source_ = nullptr;
    // Texts read again, by where they are: the repeats of a corpus point back at a few texts
    // over and over (a licence header, a footer), and reading a long text again to compare
    // one of its lines cost more than all the rest of the search on source trees.
    struct Reread {
        Location at {-1, 0, 0};
        bool ok = false;
        std::string text;
    };
    const Reread &reread(const Location &where);
    std::vector<Reread> rereads_;
    Reread big_; // a text too long to keep among them
    std::size_t reread_bytes_ = 0;
    text::Scratch check_scratch_;
    std::string check_joined_, unit_joined_;
    // Windows: a slot holds the low kFingerprintBits of a window's key (its slot is the key's
    // top bits, so these are what tell two windows of one slot apart) above 1 + where its
    // first occurrence starts in words_, in 8 bytes, since there is a slot for nearly every
    // word of the corpus; 0 is empty.
    memory::Zeroed<uint64_t> windows_;
    std::size_t windows_used_ = 0;
    // Windows: the word hashes of every text with a window, in corpus order, and where each
    // such text's words begin there.
    WordLog words_;
    std::vector<uint64_t> word_starts_, word_texts_;
    std::size_t primed_ = 0; // texts of earlier runs, first in word_starts_
    std::size_t primed_windows_ = 0;
    Prepared priming_;
};

// Places cuts in words (Options::runs_in_words) in `text`: each becomes its first word's
// first byte to its last word's last byte. `words` is the text's number of words; returns
// false, leaving the cuts as they were, when the words cannot be placed exactly.
bool place_runs(std::string_view text,
                std::size_t words,
                std::vector<Cut> &cuts,
                WordPlaces &places,
                std::vector<uint64_t> &scratch);

} // namespace veltrane::repeats
