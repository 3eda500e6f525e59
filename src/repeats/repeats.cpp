#include "repeats/repeats.hpp"

#include "common/batches.hpp"
#include "common/hash.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace veltrane::repeats {

namespace {

constexpr uint64_t kNone = ~uint64_t {0}; // the key of a unit without words
constexpr int kFirstSlotBits = 12;
constexpr int kPositionBits = 36, kFingerprintBits = 64 - kPositionBits;
constexpr uint64_t kFingerprints = (uint64_t {1} << kFingerprintBits) - 1;
constexpr uint64_t kPositions = (uint64_t {1} << kPositionBits) - 1;

uint64_t key_mask(int bits) {
    return bits >= 64 ? ~uint64_t {0} >> 1 : (uint64_t {1} << bits) - 1;
}

void put64(memory::Grown<char> &out, uint64_t v) {
    out.append(reinterpret_cast<const char *>(&v), sizeof v);
}

uint64_t get64(const char *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Appends `cut`, joined with the last one when they touch or overlap: one run, named by where
// its first unit's first occurrence is.
void add_cut(std::vector<Cut> &cuts, const Cut &cut) {
    if (!cuts.empty() && cut.start <= cuts.back().end) {
        cuts.back().end = std::max(cuts.back().end, cut.end);
        return;
    }
    cuts.push_back(cut);
}

} // namespace

class Finder::Worker {
public:
    text::Scratch scratch;
    std::vector<uint64_t> words;
    std::string joined;
    WordPlaces places;
};

Finder::Finder(const Options &options)
    : options_(options), slots_(std::size_t {1} << kFirstSlotBits), slot_bits_(kFirstSlotBits),
      windows_(std::size_t {1} << kFirstSlotBits) {
    if (options_.min_words == 0) {
        options_.min_words = 1;
    }
}

std::size_t Finder::memory() const {
    return slots_.size() * sizeof(Entry) + windows_.size() * sizeof(uint64_t) + arena_.held() +
           reread_bytes_ + words_.held() +
           (word_starts_.capacity() + word_texts_.capacity()) * sizeof(uint64_t);
}

// Where a unit takes 32 bytes: a shorter one is kept as it is.
constexpr uint64_t kPlaced = 32;

// Calls each(s, key) with the key of every window of `width` of the n words: a polynomial hash
// of the window's word hashes, rolled along them, mixed and cut to `mask`.
template <typename Each>
void window_keys(
    const uint64_t *words, std::size_t n, std::size_t width, uint64_t mask, Each each) {
    if (n < width) {
        return;
    }
    uint64_t top = 1, h = 0;
    for (std::size_t k = 0; k < width; ++k) {
        h = h * hash::kGolden + words[k];
        if (k > 0) {
            top *= hash::kGolden;
        }
    }
    for (std::size_t s = 0;; ++s) {
        each(s, hash::mix64(h ^ width) & mask);
        if (s + width >= n) {
            break;
        }
        h = (h - words[s] * top) * hash::kGolden + words[s + width];
    }
}

void Finder::window_keys_of(Prepared &p) const {
    const uint64_t window_mask =
        options_.hash_bits >= 64 ? ~uint64_t {0} : (uint64_t {1} << options_.hash_bits) - 1;
    const std::size_t n = p.words.size(), width = options_.min_words;
    p.keys.clear();
    if (n < width) {
        return;
    }
    p.keys.resize(n - width + 1);
    window_keys(p.words.data(), n, width, window_mask, [&](std::size_t s, uint64_t key) {
        p.keys[s] = key;
    });
}

void Finder::prepare(std::string_view text, Prepared &p, Worker &w, bool located) const {
    const uint64_t mask = key_mask(options_.hash_bits);
    p.keys.clear();
    if (options_.unit == Unit::span) {
        text::word_hashes(text, w.scratch, p.words);
        window_keys_of(p);
        return;
    }
    if (options_.unit == Unit::line) {
        lines(text, p.pieces);
    } else {
        paragraphs(text, p.pieces);
    }
    p.keys.resize(p.pieces.size());
    p.sums.resize(located ? p.pieces.size() : 0);
    for (std::size_t i = 0; i < p.pieces.size(); ++i) {
        const Piece &piece = p.pieces[i];
        const std::string_view unit = text.substr(piece.start, piece.end - piece.start);
        // What a unit read again is checked against: the hash of its words (lower-cased and
        // joined by spaces, which tells word sequences apart as well as their hashes did, in
        // a third of the time), or of its bytes when bytes are compared; also its key,
        // before its bits are cut for tests.
        text::word_list(unit, w.scratch, w.joined, ' ');
        const uint64_t sum = unit_sum(unit, w.joined);
        if (located && unit.size() > kPlaced) {
            p.sums[i] = sum;
        }
        p.keys[i] = w.joined.empty() ? kNone : sum & mask;
    }
}

uint64_t Finder::unit_sum(std::string_view unit, const std::string &joined) const {
    if (joined.empty()) {
        return 0;
    }
    const std::string_view of = options_.by_words ? std::string_view(joined) : unit;
    return text::word_hash(reinterpret_cast<const unsigned char *>(of.data()), of.size());
}

const Finder::Reread &Finder::reread(const Location &where) {
    // 1024 texts of at most 256 KiB each, direct-mapped: at most 256 MiB, and a few MiB on
    // corpora of ordinary documents; a longer text is read again each time.
    constexpr std::size_t kTexts = 1024, kLongest = std::size_t {256} << 10;
    if (rereads_.empty()) {
        rereads_.resize(kTexts);
    }
    const uint64_t h = hash::mix64(static_cast<uint64_t>(where.file) * hash::kGolden ^
                                   static_cast<uint64_t>(where.offset));
    Reread &slot = rereads_[h % kTexts];
    for (Reread *r : {&slot, &big_}) {
        if (r->at.file == where.file && r->at.offset == where.offset &&
            r->at.length == where.length) {
            return *r;
        }
    }
    Reread &into = static_cast<std::size_t>(where.length) <= kLongest ? slot : big_;
    reread_bytes_ -= into.text.capacity();
    into.at = where;
    into.ok = source_ != nullptr && source_->text(where, into.text);
    if (into.text.capacity() > 2 * kLongest) {
        into.text.shrink_to_fit();
    }
    reread_bytes_ += into.text.capacity();
    return into;
}

bool Finder::same_unit(std::string_view text, const Piece &piece, uint64_t ref) {
    const char *at = arena_.data() + ref;
    const uint64_t size = get64(at + 16);
    const std::string_view unit = text.substr(piece.start, piece.end - piece.start);
    std::string_view stored;
    if (get64(at + 24) == 0) {
        stored = std::string_view(at + 32, size);
    } else {
        // Read again from its file; a text that no longer holds the unit it held (the file
        // changed) is equal to nothing.
        const Location where {static_cast<int64_t>(get64(at + 32)),
                              static_cast<int64_t>(get64(at + 40)),
                              static_cast<int64_t>(get64(at + 48))};
        const Reread &r = reread(where);
        const uint64_t first = get64(at + 8);
        if (!r.ok || first + size > r.text.size()) {
            return false;
        }
        stored = std::string_view(r.text).substr(first, size);
        text::word_list(stored, check_scratch_, check_joined_, ' ');
        if (unit_sum(stored, check_joined_) != get64(at + 56)) {
            return false;
        }
    }
    if (!options_.by_words) {
        return stored == unit;
    }
    text::word_list(stored, check_scratch_, check_joined_, ' ');
    text::word_list(unit, check_scratch_, unit_joined_, ' ');
    return check_joined_ == unit_joined_;
}

void Finder::grow(int bits) {
    bits = std::max(bits, slot_bits_ + 1);
    check_limit((std::size_t {1} << bits) * sizeof(Entry));
    memory::Zeroed<Entry> old(std::size_t {1} << bits, threads_);
    old.swap(slots_);
    slot_bits_ = bits;
    const std::size_t mask = slots_.size() - 1;
    for (const Entry &e : old) {
        if (e.ref == 0) {
            continue;
        }
        std::size_t slot = hash::fibonacci_slot(e.key, slot_bits_);
        while (slots_[slot].ref != 0) {
            slot = (slot + 1) & mask;
        }
        slots_[slot] = e;
    }
}

namespace {

// The bits of a table that holds `entries` under its load limit of 0.7.
int bits_for(double entries) {
    int bits = kFirstSlotBits;
    while (static_cast<double>(std::size_t {1} << bits) * 0.7 < entries && bits < 40) {
        ++bits;
    }
    return bits;
}

// The window table is made for its windows at this load and grows once past kWindowsFull.
// It is most of a span search's memory, a slot for nearly every word, so it is sized to the
// slot rather than to a power of two (which left it anywhere from 0.35 to 0.7 full: 0.62 on
// the 1.08 GB generated corpus). Linear probing at 0.75 reads about 8.5 slots for a window
// not there, and since a presized table fills up as the corpus goes by, about 2.5 on
// average over a run: one cache line mostly.
constexpr double kWindowLoad = 0.75, kWindowsFull = 0.85;

std::size_t window_slots_for(double windows) {
    const double slots = std::ceil(windows / kWindowLoad / 8) * 8;
    return std::max<std::size_t>(std::size_t {1} << kFirstSlotBits,
                                 static_cast<std::size_t>(std::min(slots, 0x1p40)));
}

} // namespace

void Finder::reserve_windows(std::size_t more) {
    const std::size_t slots = window_slots_for(static_cast<double>(windows_used_ + more));
    if (slots > windows_.size()) {
        grow_windows(slots);
    }
}

void Finder::presize(const std::vector<std::string_view> &texts) {
    if (expected_bytes_ == 0 || presized_) {
        return;
    }
    for (const std::string_view t : texts) {
        seen_bytes_ += t.size();
    }
    // After 16 MiB of texts, enough to tell how many entries a byte makes: the table for the
    // whole corpus at once, instead of doubling up to it. Each table doubled through was
    // memory the kernel had to clear, the largest part of the time of a search for spans.
    if (seen_bytes_ < (std::size_t {16} << 20) || seen_bytes_ >= expected_bytes_) {
        presized_ = seen_bytes_ >= expected_bytes_;
        return;
    }
    presized_ = true;
    const double scale = static_cast<double>(expected_bytes_) / static_cast<double>(seen_bytes_);
    try {
        if (options_.unit == Unit::span) {
            // The windows of earlier runs are all there already; this run's grow with it.
            const std::size_t slots =
                window_slots_for(static_cast<double>(windows_used_ - primed_windows_) * scale +
                                 static_cast<double>(primed_windows_));
            if (slots > windows_.size()) {
                grow_windows(slots);
            }
        } else {
            const int bits = bits_for(static_cast<double>(used_) * scale);
            if (bits > slot_bits_) {
                grow(bits);
            }
        }
    } catch (const OverLimit &) {
        // Over the limit at once: the tables grow as they go instead, up to it.
    }
}

bool Finder::in_part(uint64_t key) const {
    // The part from the top half of the key mixed again (the table's slot comes from the
    // key's own top bits), by multiplying instead of dividing.
    return ((hash::mix64(key) >> 32) * options_.parts >> 32) == options_.part;
}

void Finder::grow_windows(std::size_t slots) {
    // Half as large again when the estimate fell short: the table holds a slot for nearly
    // every word, and it is made again from the words at each growth.
    slots = std::max(slots, windows_.size() + windows_.size() / 2);
    // A slot keeps the low bits of its window's key, which its place in the table does not
    // tell (that is the key's top bits), so the keys are made again from the words: which
    // windows are kept is marked by their first word, and the words rolled over once.
    const std::size_t held = words_.size();
    std::vector<uint64_t> kept((held + 63) / 64, 0);
    for (const uint64_t v : windows_) {
        if (v != 0) {
            const uint64_t pos = (v & kPositions) - 1;
            kept[pos >> 6] |= uint64_t {1} << (pos & 63);
        }
    }
    {
        memory::Zeroed<uint64_t> old(0);
        old.swap(windows_); // freed before the new table is made
    }
    check_limit(slots * sizeof(uint64_t) + kept.size() * sizeof(uint64_t));
    memory::Zeroed<uint64_t> fresh(slots, threads_);
    fresh.swap(windows_);
    const std::size_t width = options_.min_words;
    const uint64_t key_mask =
        options_.hash_bits >= 64 ? ~uint64_t {0} : (uint64_t {1} << options_.hash_bits) - 1;
    for (std::size_t t = 0; t < word_starts_.size(); ++t) {
        const uint64_t begin = word_starts_[t];
        const uint64_t end = t + 1 < word_starts_.size() ? word_starts_[t + 1] : held;
        const uint64_t *w = words_.at(begin, end - begin);
        window_keys(w, end - begin, width, key_mask, [&](std::size_t s, uint64_t key) {
            const uint64_t pos = begin + s;
            if (!(kept[pos >> 6] >> (pos & 63) & 1)) {
                return;
            }
            std::size_t at = window_slot(key);
            while (windows_[at] != 0) {
                at = next_window_slot(at);
            }
            windows_[at] = ((key & kFingerprints) << kPositionBits) | (pos + 1);
        });
    }
}

void Finder::decide_units(std::string_view text,
                          const Prepared &p,
                          std::vector<Cut> &cuts,
                          const Location *located) {
    for (std::size_t i = 0; i < p.pieces.size(); ++i) {
        const uint64_t key = p.keys[i];
        if (key == kNone) {
            continue;
        }
        if (options_.parts > 1 && !in_part(key)) {
            continue;
        }
        const std::size_t mask = slots_.size() - 1;
        const Piece &piece = p.pieces[i];
        ++counts_.units;
        std::size_t slot = hash::fibonacci_slot(key, slot_bits_);
        bool repeat = false;
        for (;; slot = (slot + 1) & mask) {
            const Entry &e = slots_[slot];
            if (e.ref == 0) {
                break;
            }
            if (e.key == key && same_unit(text, piece, e.ref - 1)) {
                const char *at = arena_.data() + e.ref - 1;
                add_cut(cuts, {piece.cut_start, piece.cut_end, get64(at), get64(at + 8)});
                repeat = true;
                break;
            }
        }
        if (repeat) {
            ++counts_.repeats;
            continue;
        }
        slots_[slot] = {key, arena_.size() + 1};
        const uint64_t size = piece.end - piece.start;
        put64(arena_, counts_.texts);
        put64(arena_, piece.start);
        put64(arena_, size);
        if (located != nullptr && located->file >= 0 && size > kPlaced) {
            put64(arena_, 1);
            put64(arena_, static_cast<uint64_t>(located->file));
            put64(arena_, static_cast<uint64_t>(located->offset));
            put64(arena_, static_cast<uint64_t>(located->length));
            put64(arena_, p.sums[i]);
        } else {
            put64(arena_, 0);
            arena_.append(text.data() + piece.start, size);
        }
        if (++used_ * 10 > slots_.size() * 7) {
            grow();
        }
    }
}

void Finder::decide_windows(const Prepared &p, std::vector<Cut> &cuts, uint64_t text) {
    const std::size_t width = options_.min_words;
    if (p.keys.empty()) {
        return;
    }
    const uint64_t base = words_.size();
    words_.append(p.words.data(), p.words.size());
    word_starts_.push_back(base);
    word_texts_.push_back(text);
    const uint64_t *mine = p.words.data();
    std::size_t run_start = 0, run_end = 0; // words [run_start, run_end) of the run in progress
    uint64_t run_first = 0;
    bool in_run = false;
    auto flush = [&] {
        if (!in_run) {
            return;
        }
        const std::size_t at =
            std::upper_bound(word_starts_.begin(), word_starts_.end(), run_first) -
            word_starts_.begin() - 1;
        // In words for now: the words are placed in the text afterwards, on every core.
        cuts.push_back({run_start, run_end, word_texts_[at], run_first - word_starts_[at]});
    };
    if (base + p.words.size() > kPositions - 1) {
        throw std::length_error("more words than the window table can place (2^36)");
    }
    // Room for every window of the text first, so that the slots ahead can be fetched while
    // the current one is compared: the table is far larger than the caches.
    const bool parted = options_.parts > 1;
    std::size_t coming = p.keys.size();
    if (parted) {
        coming = static_cast<std::size_t>(
            std::count_if(p.keys.begin(), p.keys.end(), [&](uint64_t k) { return in_part(k); }));
    }
    if (static_cast<double>(windows_used_ + coming) >
        static_cast<double>(windows_.size()) * kWindowsFull) {
        grow_windows(window_slots_for(static_cast<double>(windows_used_ + coming)));
    }
    constexpr std::size_t kAhead = 8;
    for (std::size_t s = 0; s < std::min(kAhead, p.keys.size()); ++s) {
        __builtin_prefetch(&windows_[window_slot(p.keys[s])]);
    }
    // The last window found again, and where: s and its match (none yet: no s is 0 - 2), and
    // the end of the words of the match's text.
    std::size_t last_s = ~std::size_t {0} - 1;
    uint64_t last = 0, last_end = 0;
    for (std::size_t s = 0; s < p.keys.size(); ++s) {
        if (s + kAhead < p.keys.size()) {
            __builtin_prefetch(&windows_[window_slot(p.keys[s + kAhead])]);
        }
        const uint64_t key = p.keys[s];
        if (parted && !in_part(key)) {
            continue;
        }
        const uint64_t here = base + s;
        ++counts_.units;
        // The window after one found again at `last`: when the word after that earlier
        // window, in its own text, is this window's last word, the window after the earlier
        // one equals this one and starts earlier, so this one is a repeat without a lookup.
        // A repeated run is mostly such windows, and a lookup is a cache miss in a table far
        // larger than the caches (three quarters of the samples of the deciding thread).
        bool repeat = false;
        uint64_t match = 0;
        if (last_s + 1 == s && last + width < last_end) {
            const uint64_t end = last + width;
            const uint64_t w = end >= base ? mine[end - base] : *words_.at(end, 1);
            repeat = w == mine[s + width - 1];
            match = last + 1;
        }
        if (!repeat) {
            const uint64_t fingerprint = key & kFingerprints;
            std::size_t slot = window_slot(key);
            for (;; slot = next_window_slot(slot)) {
                const uint64_t v = windows_[slot];
                if (v == 0) {
                    break;
                }
                const uint64_t pos = (v & kPositions) - 1;
                if ((v >> kPositionBits) != fingerprint) {
                    continue;
                }
                // The earlier window: in this text, or in the log of the texts before.
                const uint64_t *earlier =
                    pos >= base ? mine + (pos - base) : words_.at(pos, width);
                if (std::memcmp(earlier, mine + s, width * sizeof(uint64_t)) == 0) {
                    match = pos;
                    repeat = true;
                    break;
                }
            }
            if (!repeat) {
                windows_[slot] = (fingerprint << kPositionBits) | (here + 1);
                ++windows_used_;
                continue;
            }
            const auto t = std::upper_bound(word_starts_.begin(), word_starts_.end(), match);
            last_end = t == word_starts_.end() ? words_.size() : *t;
        }
        last_s = s;
        last = match;
        ++counts_.repeats;
        if (in_run && s <= run_end) {
            run_end = s + width;
        } else {
            flush();
            in_run = true;
            run_start = s;
            run_end = s + width;
            run_first = match;
        }
    }
    flush();
}

void Finder::prime(const uint64_t *words, std::size_t n, uint64_t number) {
    if (options_.unit != Unit::span || counts_.texts != 0 || number >= kEarlier) {
        throw std::logic_error("only a finder of spans is primed, before its texts");
    }
    Prepared &p = priming_;
    p.words.assign(words, words + n);
    window_keys_of(p);
    if (p.keys.empty()) {
        return;
    }
    // An earlier run's windows are not this run's counts.
    const Counts counted = counts_;
    std::vector<Cut> earlier; // repeats among the earlier runs, cut there already
    decide_windows(p, earlier, number | kEarlier);
    counts_ = counted;
    ++primed_;
    primed_windows_ = windows_used_;
    check_limit(0);
    release(p);
}

void Finder::save_words(int fd, std::vector<uint64_t> &texts, std::vector<uint64_t> &starts) {
    const uint64_t from = primed_ < word_starts_.size() ? word_starts_[primed_] : words_.size();
    for (std::size_t t = primed_; t < word_starts_.size(); ++t) {
        texts.push_back(word_texts_[t]);
        starts.push_back(word_starts_[t] - from);
    }
    starts.push_back(words_.size() - from);
    // A piece at a time: a file-backed log hands out a block of it per call.
    constexpr std::size_t kPiece = std::size_t {1} << 20;
    for (uint64_t pos = from; pos < words_.size();) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<uint64_t>(kPiece, words_.size() - pos));
        const char *p = reinterpret_cast<const char *>(words_.at(pos, n));
        std::size_t left = n * sizeof(uint64_t);
        while (left > 0) {
            const ssize_t put = ::write(fd, p, left);
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw std::system_error(errno, std::generic_category(), "write");
            }
            p += put;
            left -= static_cast<std::size_t>(put);
        }
        pos += n;
    }
}

void Finder::release(Prepared &p) {
    // 64 Ki words or pieces: a long text's; past that its memory goes back at once.
    constexpr std::size_t kKept = std::size_t {1} << 16;
    if (p.words.capacity() > kKept || p.pieces.capacity() > kKept || p.keys.capacity() > kKept ||
        p.sums.capacity() > kKept || p.places.capacity() > 2 * kKept) {
        p = Prepared();
        return;
    }
    p.pieces.clear();
    p.keys.clear();
    p.sums.clear();
    p.words.clear();
    p.places.clear();
}

void Finder::add(const std::vector<std::string_view> &texts,
                 int threads,
                 std::vector<std::vector<Cut>> &cuts,
                 const Location *located) {
    if (source_ == nullptr) {
        located = nullptr;
    }
    threads_ = threads;
    const std::size_t n = texts.size();
    if (prepared_.size() < n) {
        prepared_.resize(n);
    }
    std::vector<Prepared> &prepared = prepared_;
    std::vector<Worker> workers(static_cast<std::size_t>(std::max(1, threads)));
    std::exception_ptr failed;
    std::mutex failing;
    cuts.assign(n, {});
    auto decide = [&](std::size_t i) {
        if (options_.unit == Unit::span) {
            decide_windows(prepared[i], cuts[i], counts_.texts);
            if (cuts[i].empty()) {
                release(prepared[i]);
            }
        } else {
            decide_units(
                texts[i], prepared[i], cuts[i], located == nullptr ? nullptr : located + i);
            release(prepared[i]);
        }
        check_limit(0); // the first occurrences kept, and the words of spans in memory
        ++counts_.texts;
    };
    auto prepare_text = [&](std::size_t i, std::size_t w) {
        prepare(texts[i], prepared[i], workers[w], located != nullptr && located[i].file >= 0);
    };
    if (threads < 2 || n < 2) {
        for (std::size_t i = 0; i < n; ++i) {
            prepare_text(i, 0);
            decide(i);
        }
    } else {
        // The other threads prepare texts in order, a few at a time, while this one decides
        // each as soon as it is prepared: deciding is serial (memory-bound, a table far larger
        // than the caches) and took most of a batch, the other cores idle meanwhile, when all
        // of a batch was prepared first.
        constexpr std::size_t kAhead = 16; // texts a preparing thread takes at a time
        std::unique_ptr<std::atomic<bool>[]> ready(new std::atomic<bool>[n]);
        for (std::size_t i = 0; i < n; ++i) {
            ready[i].store(false, std::memory_order_relaxed);
        }
        std::atomic<std::size_t> next {0};
        std::atomic<bool> stop {false};
        auto work = [&](std::size_t w) {
            try {
                for (;;) {
                    const std::size_t begin = next.fetch_add(kAhead);
                    if (begin >= n || stop.load(std::memory_order_relaxed)) {
                        return;
                    }
                    for (std::size_t i = begin; i < std::min(n, begin + kAhead); ++i) {
                        prepare_text(i, w);
                        ready[i].store(true, std::memory_order_release);
                    }
                }
            } catch (...) {
                const std::lock_guard<std::mutex> hold(failing);
                failed = std::current_exception();
                stop.store(true);
            }
        };
        const std::size_t helpers = std::min(static_cast<std::size_t>(threads) - 1, n);
        std::vector<std::thread> pool;
        pool.reserve(helpers);
        for (std::size_t w = 0; w < helpers; ++w) {
            pool.emplace_back(work, w + 1);
        }
        std::exception_ptr deciding;
        try {
            for (std::size_t i = 0; i < n; ++i) {
                while (!ready[i].load(std::memory_order_acquire) && !stop.load()) {
                    std::this_thread::yield();
                }
                if (!ready[i].load(std::memory_order_acquire)) {
                    break; // a preparing thread failed: its error is raised below
                }
                decide(i);
            }
        } catch (...) {
            deciding = std::current_exception();
            stop.store(true);
        }
        for (auto &t : pool) {
            t.join();
        }
        if (deciding) {
            std::rethrow_exception(deciding);
        }
    }
    if (failed) {
        std::rethrow_exception(failed);
    }
    // Each batch's words in the file by its end, for a pass after this one to read.
    words_.sync();
    presize(texts);
    if (options_.unit != Unit::span || options_.runs_in_words) {
        return;
    }
    // Only the texts something is cut from need their words placed.
    std::vector<uint8_t> unplaced(n, 0);
    parallel_batches(n, 16, threads, [&](std::size_t begin, std::size_t end, std::size_t w) {
        try {
            for (std::size_t i = begin; i < end; ++i) {
                if (cuts[i].empty()) {
                    continue;
                }
                Prepared &p = prepared[i];
                if (!place_runs(texts[i], p.words.size(), cuts[i], workers[w].places, p.places)) {
                    unplaced[i] = 1;
                    continue;
                }
                release(p);
            }
        } catch (...) {
            const std::lock_guard<std::mutex> hold(failing);
            failed = std::current_exception();
        }
    });
    if (failed) {
        std::rethrow_exception(failed);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (unplaced[i]) {
            cuts[i].clear(); // never cut what cannot be placed exactly
            ++counts_.unplaced;
        }
    }
}

bool place_runs(std::string_view text,
                std::size_t words,
                std::vector<Cut> &cuts,
                WordPlaces &places,
                std::vector<uint64_t> &scratch) {
    if (!places.find(text, words, scratch)) {
        return false;
    }
    for (const Cut &c : cuts) {
        if (c.start >= c.end || c.end > words) {
            throw std::invalid_argument("a run of words past the text's words");
        }
    }
    for (Cut &c : cuts) {
        c = {scratch[2 * c.start], scratch[2 * (c.end - 1) + 1], c.first_text, c.first_at};
    }
    return true;
}

} // namespace veltrane::repeats
