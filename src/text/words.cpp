#include "text/words.hpp"

#include "common/cpu.hpp"
#include "text/spans.hpp"

#include <cstring>
#include <immintrin.h>

namespace veltrane::text {

namespace {

#include "text/unicode_tables.inc"

constexpr uint32_t kCapitalSigma = 0x3A3, kSmallSigma = 0x3C3, kFinalSigma = 0x3C2;

const CharClass &char_class(uint32_t cp) {
    const uint32_t block = kBlockIndex[cp >> kBlockShift];
    return kClasses[kBlockClasses[(block << kBlockShift) | (cp & ((1u << kBlockShift) - 1))]];
}

// ASCII word characters: 0-9, A-Z, a-z and '_'.
constexpr bool ascii_word(unsigned char c) {
    const unsigned char l = c | 0x20;
    return (l >= 'a' && l <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Bit i set when byte i of v is an ASCII word character (bytes >= 0x80 are negative as
// signed bytes and match nothing).
uint32_t word_mask(__m256i v) {
    const __m256i l = _mm256_or_si256(v, _mm256_set1_epi8(0x20));
    const __m256i letter = _mm256_and_si256(_mm256_cmpgt_epi8(l, _mm256_set1_epi8('a' - 1)),
                                            _mm256_cmpgt_epi8(_mm256_set1_epi8('z' + 1), l));
    const __m256i digit = _mm256_and_si256(_mm256_cmpgt_epi8(v, _mm256_set1_epi8('0' - 1)),
                                           _mm256_cmpgt_epi8(_mm256_set1_epi8('9' + 1), v));
    const __m256i under = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('_'));
    return static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(letter, digit), under)));
}

// Writes pos + the offset of each set bit of `events` to out[0..), in order. A loop that
// stops at the last bit mispredicts its exit about once a 32-byte block (a block holds 0 to
// 32 bounds, about 10 on prose); here eight stores are made whatever the count and sixteen
// past eight (bits past the last give pos + 32, never read), so that only the crossings of 8
// and 16 bounds branch. out must have room for max(16, popcount(events)) values.
inline void store_events(uint64_t *out, std::size_t pos, uint32_t events) {
    const auto count = static_cast<unsigned>(__builtin_popcount(events));
    for (int j = 0; j < 8; ++j) {
        out[j] = pos + _tzcnt_u32(events);
        events = _blsr_u32(events);
    }
    if (count > 8) {
        for (int j = 8; j < 16; ++j) {
            out[j] = pos + _tzcnt_u32(events);
            events = _blsr_u32(events);
        }
        for (int j = 16; events != 0; ++j) {
            out[j] = pos + _tzcnt_u32(events);
            events = _blsr_u32(events);
        }
    }
}

// The code point of the valid UTF-8 character at p, and its length.
uint32_t decode(const unsigned char *p, std::size_t &length) {
    const unsigned char c = p[0];
    if (c < 0x80) {
        length = 1;
        return c;
    }
    if (c < 0xE0) {
        length = 2;
        return ((c & 0x1Fu) << 6) | (p[1] & 0x3Fu);
    }
    if (c < 0xF0) {
        length = 3;
        return ((c & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    }
    length = 4;
    return ((c & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
}

void append_utf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void append_lower_ascii(std::string &out, const unsigned char *p, std::size_t size) {
    for (std::size_t k = 0; k < size; ++k) {
        const unsigned char c = p[k];
        out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c | 0x20 : c));
    }
}

// Length of the valid UTF-8 character at s[0..n), or 0 when none starts there (the bounds of
// the second byte exclude overlong forms, surrogates and code points above U+10FFFF).
std::size_t valid_char(const unsigned char *s, std::size_t n) {
    const unsigned char c = s[0];
    if (c < 0x80) {
        return 1;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;
        hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (n < len || s[1] < lo || s[1] > hi) {
        return 0;
    }
    for (std::size_t k = 2; k < len; ++k) {
        if ((s[k] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return len;
}

// The length of the longest prefix of s[0..n) that is valid UTF-8.
std::size_t valid_prefix(const unsigned char *s, std::size_t n) {
    std::size_t pos = 0;
    while (pos < n) {
        if (n - pos >= 32 && _mm256_movemask_epi8(_mm256_loadu_si256(
                                 reinterpret_cast<const __m256i *>(s + pos))) == 0) {
            pos += 32;
            continue;
        }
        const std::size_t len = valid_char(s + pos, n - pos);
        if (len == 0) {
            return pos;
        }
        pos += len;
    }
    return n;
}

// str.lower() of capital sigma at s[pos] (CPython's handle_capital_sigma): final sigma when a
// cased character comes before it and none after it, case-ignorable characters skipped on
// both sides. Each scan stops at the first character that is not case-ignorable, so the scans
// of all the sigmas of a text cover disjoint stretches: linear in all.
uint32_t lower_sigma(const unsigned char *s, std::size_t n, std::size_t pos, std::size_t len) {
    bool cased_before = false;
    for (std::size_t j = pos; j > 0;) {
        --j;
        while (j > 0 && (s[j] & 0xC0) == 0x80) {
            --j;
        }
        std::size_t l;
        const uint8_t flags = char_class(decode(s + j, l)).flags;
        if (!(flags & kCaseIgnorable)) {
            cased_before = (flags & kCased) != 0;
            break;
        }
    }
    if (!cased_before) {
        return kSmallSigma;
    }
    for (std::size_t j = pos + len; j < n;) {
        // Bytes ahead are not validated yet: a bad one ends the scan (the caller starts over
        // on the repaired text when it gets there).
        if (valid_char(s + j, n - j) == 0) {
            return kFinalSigma;
        }
        std::size_t l;
        const uint8_t flags = char_class(decode(s + j, l)).flags;
        if (!(flags & kCaseIgnorable)) {
            return (flags & kCased) ? kSmallSigma : kFinalSigma;
        }
        j += l;
    }
    return kFinalSigma;
}

// Finds the words of s[0..n) and writes their bounds to spans.bounds: word k runs from
// bounds[2k] to bounds[2k + 1], byte offsets into s for a word of ASCII characters only
// (not yet lower-cased), or offsets into spans.lowered with kBuffered set for any other word,
// lower-cased there. Hashing comes after, in a loop of its own without the branches of the
// scan. ASCII runs go 32 bytes at a step; other characters one by one through the tables,
// validating the UTF-8 on the way: returns false at the first byte that is not part of a
// valid character. VELTRANE_ISA=scalar turns the 32-byte steps off, so that tests can pin
// the character path.
bool find_words(const unsigned char *s, std::size_t n, Spans &spans) {
    static const bool blocks = cpu::chosen_isa() != cpu::Isa::scalar;
    std::vector<uint64_t> &e = spans.bounds;
    std::string &buf = spans.lowered;
    buf.clear();
    std::size_t k = 0;          // bounds written; a word is in progress when k is odd
    bool buffered = false;      // the word in progress is in buf, ...
    std::size_t ascii_from = 0; // ... followed by the ASCII bytes s[ascii_from, pos)
    auto room = [&](std::size_t more) {
        if (k + more > e.size()) {
            e.resize(2 * e.size() + more + 64);
        }
    };
    auto end_word = [&](std::size_t at) {
        if (buffered) {
            append_lower_ascii(buf, s + ascii_from, at - ascii_from);
            e[k++] = kBuffered | buf.size();
            buffered = false;
        } else {
            e[k++] = at;
        }
    };
    std::size_t pos = 0;
    while (pos < n) {
        if (blocks && n - pos >= 32) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + pos));
            const uint32_t high = static_cast<uint32_t>(_mm256_movemask_epi8(v));
            const std::size_t ascii = high ? static_cast<std::size_t>(__builtin_ctz(high)) : 32;
            if (ascii > 0) {
                const uint32_t m = word_mask(v);
                // Word starts and the first byte after each word, within the ASCII prefix;
                // they alternate, starting with an end when a word is in progress.
                uint32_t events = m ^ ((m << 1) | static_cast<uint32_t>(k & 1));
                if (ascii < 32) {
                    events &= (1u << ascii) - 1;
                }
                room(33);
                if (buffered && events) {
                    end_word(pos + static_cast<std::size_t>(__builtin_ctz(events)));
                    events &= events - 1;
                }
                store_events(e.data() + k, pos, events);
                k += static_cast<std::size_t>(__builtin_popcount(events));
                pos += ascii;
                if (ascii == 32) {
                    continue;
                }
            }
        }
        // One character at pos: at most seven bounds (a word ended, then three lowered
        // characters each a word by itself).
        room(8);
        const unsigned char c = s[pos];
        if (c < 0x80) {
            if (ascii_word(c) != static_cast<bool>(k & 1)) {
                if (k & 1) {
                    end_word(pos);
                } else {
                    e[k++] = pos;
                }
            }
            ++pos;
            continue;
        }
        const std::size_t len = valid_char(s + pos, n - pos);
        if (len == 0) {
            return false;
        }
        std::size_t unused;
        const uint32_t cp = decode(s + pos, unused);
        const CharClass &cls = char_class(cp);
        if (!(cls.flags & (kWord | kSpecial))) {
            if (k & 1) {
                end_word(pos);
            }
            pos += len;
            continue;
        }
        // The character goes to the buffer, and so does the word in progress.
        if (k & 1) {
            if (!buffered) {
                const std::size_t start = e[k - 1];
                e[k - 1] = kBuffered | buf.size();
                append_lower_ascii(buf, s + start, pos - start);
                buffered = true;
            } else {
                append_lower_ascii(buf, s + ascii_from, pos - ascii_from);
            }
        }
        ascii_from = pos + len;
        // kind: 0 ends the word in progress, 1 joins it (or starts one), 2 ends it and is a
        // word of its own.
        auto add = [&](uint32_t lower, int kind) {
            if (kind != 1 && (k & 1)) {
                e[k++] = kBuffered | buf.size();
                buffered = false;
            }
            if (kind == 0) {
                return;
            }
            if (!(k & 1)) {
                e[k++] = kBuffered | buf.size();
                buffered = true;
            }
            append_utf8(buf, lower);
            if (kind == 2) {
                e[k++] = kBuffered | buf.size();
                buffered = false;
            }
        };
        if (cls.flags & kSpecial) {
            for (const SpecialLower &sp : kSpecials) {
                if (sp.cp == cp) {
                    for (uint32_t j = 0; j < sp.count; ++j) {
                        add(sp.lower[j], sp.word[j]);
                    }
                }
            }
        } else if (cls.flags & kSigma) {
            add(lower_sigma(s, n, pos, len), 1);
        } else {
            add(static_cast<uint32_t>(static_cast<int32_t>(cp) + cls.lower_delta),
                (cls.flags & kAlone) ? 2 : 1);
        }
        pos += len;
    }
    if (k & 1) {
        room(1);
        end_word(n);
    }
    e.resize(k);
    return true;
}

} // namespace

// The spans of a text, from the repaired copy when the text is not valid UTF-8.
std::string_view spans_of(std::string_view text, Scratch &scratch) {
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    if (find_words(s, text.size(), scratch.spans)) {
        return text;
    }
    repair_utf8(text, scratch.repaired);
    find_words(reinterpret_cast<const unsigned char *>(scratch.repaired.data()),
               scratch.repaired.size(),
               scratch.spans);
    return scratch.repaired;
}

bool repair_utf8(std::string_view text, std::string &repaired) {
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t n = text.size();
    std::size_t pos = valid_prefix(s, n);
    if (pos == n) {
        return false;
    }
    repaired.assign(text);
    while (pos < n) {
        const std::size_t len = valid_char(s + pos, n - pos);
        if (len == 0) {
            repaired[pos] = ' ';
            ++pos;
        } else {
            pos += len;
        }
    }
    return true;
}

std::vector<std::string> words(std::string_view text) {
    Scratch scratch;
    const std::string_view t = spans_of(text, scratch);
    const auto *s = reinterpret_cast<const unsigned char *>(t.data());
    const uint64_t *b = scratch.spans.bounds.data();
    std::vector<std::string> out(scratch.spans.bounds.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const uint64_t first = b[2 * i], last = b[2 * i + 1];
        if (first & kBuffered) {
            out[i] = scratch.spans.lowered.substr(first & ~kBuffered, last - first);
        } else {
            append_lower_ascii(out[i], s + first, last - first);
        }
    }
    return out;
}

bool has_words(std::string_view text) {
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x80) {
            break; // the rest goes through the whole rule
        }
        if (ascii_word(c)) {
            return true;
        }
    }
    Scratch scratch;
    spans_of(text, scratch);
    return !scratch.spans.bounds.empty();
}

namespace {

// For ASCII bytes: the byte lower-cased when it is a word character, else the separator, and
// whether it is a word character.
struct AsciiWords {
    unsigned char shown[128];
    bool word[128];
    explicit constexpr AsciiWords(char separator) : shown(), word() {
        for (int c = 0; c < 128; ++c) {
            const auto b = static_cast<unsigned char>(c);
            word[c] = ascii_word(b);
            shown[c] = word[c] ? static_cast<unsigned char>(b >= 'A' && b <= 'Z' ? b | 0x20 : b)
                               : static_cast<unsigned char>(separator);
        }
    }
};

// 32 ASCII bytes as word_list shows them: word characters lower-cased, the rest the space.
__m256i shown_spaced(__m256i v, __m256i &word) {
    const __m256i l = _mm256_or_si256(v, _mm256_set1_epi8(0x20));
    const __m256i letter = _mm256_and_si256(_mm256_cmpgt_epi8(l, _mm256_set1_epi8('a' - 1)),
                                            _mm256_cmpgt_epi8(_mm256_set1_epi8('z' + 1), l));
    const __m256i digit = _mm256_and_si256(_mm256_cmpgt_epi8(v, _mm256_set1_epi8('0' - 1)),
                                           _mm256_cmpgt_epi8(_mm256_set1_epi8('9' + 1), v));
    const __m256i under = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('_'));
    word = _mm256_or_si256(_mm256_or_si256(letter, digit), under);
    // Letters take their lower case (l); digits and '_' stay; the rest becomes a space.
    const __m256i kept = _mm256_blendv_epi8(v, l, letter);
    return _mm256_blendv_epi8(_mm256_set1_epi8(' '), kept, word);
}

// word_list of an ASCII text with spaces between the words: every byte is shown as a word
// character lower-cased or as the space, and the bytes kept are the word characters and the
// first byte after each word. 32 bytes at a step: a block where every byte is kept (words
// apart by single spaces, the usual case) is stored whole, others run by run. False (out
// unspecified) when the text is not all ASCII.
bool ascii_word_list(std::string_view text, std::string &out, const AsciiWords &table) {
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t n = text.size();
    out.resize(n + 32);
    auto *to = reinterpret_cast<unsigned char *>(out.data());
    std::size_t o = 0, i = 0;
    uint64_t in_word = 0;
    alignas(32) unsigned char shown[32];
    for (; i + 32 <= n; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i));
        if (_mm256_movemask_epi8(v) != 0) {
            return false;
        }
        __m256i word;
        const __m256i bytes = shown_spaced(v, word);
        const auto m = static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(word)));
        uint64_t keep = (m | (m << 1) | in_word) & 0xFFFFFFFFu;
        in_word = m >> 31;
        if (keep == 0xFFFFFFFFu) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(to + o), bytes);
            o += 32;
            continue;
        }
        _mm256_store_si256(reinterpret_cast<__m256i *>(shown), bytes);
        while (keep != 0) {
            const auto first = static_cast<unsigned>(__builtin_ctzll(keep));
            const auto run = static_cast<unsigned>(__builtin_ctzll(~(keep >> first)));
            std::memcpy(to + o, shown + first, run);
            o += run;
            keep &= ~(((uint64_t {1} << run) - 1) << first);
        }
    }
    for (; i < n; ++i) {
        if (s[i] & 0x80) {
            return false;
        }
        const unsigned c = s[i];
        const bool w = table.word[c];
        to[o] = table.shown[c];
        o += static_cast<std::size_t>(w) | static_cast<std::size_t>(in_word);
        in_word = w;
    }
    if (o > 0 && in_word == 0) {
        --o; // the space after the last word
    }
    out.resize(o);
    return true;
}

} // namespace

void word_list(std::string_view text, Scratch &scratch, std::string &out, char separator) {
    if (separator == ' ') {
        static constexpr AsciiWords spaced(' ');
        if (ascii_word_list(text, out, spaced)) {
            return;
        }
    }
    const std::string_view t = spans_of(text, scratch);
    const uint64_t *b = scratch.spans.bounds.data();
    const std::size_t count = scratch.spans.bounds.size() / 2;
    std::size_t total = count > 0 ? count - 1 : 0;
    for (std::size_t i = 0; i < count; ++i) {
        total += b[2 * i + 1] - b[2 * i];
    }
    out.resize(total);
    char *to = out.data();
    for (std::size_t i = 0; i < count; ++i) {
        const uint64_t first = b[2 * i], last = b[2 * i + 1];
        const std::size_t size = last - first;
        if (i > 0) {
            *to++ = separator;
        }
        if (first & kBuffered) {
            std::memcpy(to, scratch.spans.lowered.data() + (first & ~kBuffered), size);
        } else {
            // ASCII word characters only: A-Z is all there is to lower, without a branch.
            std::memcpy(to, t.data() + first, size);
            for (std::size_t k = 0; k < size; ++k) {
                const auto c = static_cast<unsigned char>(to[k]);
                to[k] = static_cast<char>(c + (static_cast<unsigned char>(c - 'A') < 26 ? 32 : 0));
            }
        }
        to += size;
    }
}

} // namespace veltrane::text
