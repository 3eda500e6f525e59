#include "repeats/units.hpp"

#include <cstring>

namespace veltrane::repeats {

namespace {

// The length of the valid UTF-8 character at s[0..n) (overlong forms, surrogates and code
// points past U+10FFFF are not), or 0: the tokenizer reads such a byte as a space.
std::size_t char_length(const unsigned char *s, std::size_t n, uint32_t &cp) {
    const unsigned char c = s[0];
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;
        hi = c == 0xED ? 0x9F : 0xBF;
        cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;
        cp = c & 0x07u;
    } else {
        return 0;
    }
    if (n < len || s[1] < lo || s[1] > hi) {
        return 0;
    }
    for (std::size_t k = 1; k < len; ++k) {
        if ((s[k] & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (s[k] & 0x3Fu);
    }
    return len;
}

bool space(uint32_t cp) {
    if (cp < 0x80) {
        return cp == ' ' || (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x1F);
    }
    return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
           cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

bool ascii_word(unsigned char c) {
    const unsigned char l = c | 0x20;
    return (l >= 'a' && l <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

} // namespace

bool blank(std::string_view line) {
    const auto *s = reinterpret_cast<const unsigned char *>(line.data());
    const std::size_t n = line.size();
    for (std::size_t pos = 0; pos < n;) {
        uint32_t cp = 0;
        const std::size_t len = char_length(s + pos, n - pos, cp);
        if (len == 0 || !space(cp)) {
            return false;
        }
        pos += len;
    }
    return true;
}

void lines(std::string_view text, std::vector<Piece> &out) {
    out.clear();
    const char *s = text.data();
    const std::size_t n = text.size();
    std::size_t pos = 0;
    while (pos < n) {
        const void *found = std::memchr(s + pos, '\n', n - pos);
        if (found == nullptr) {
            out.push_back({pos, n, pos, n});
            return;
        }
        const auto at = static_cast<std::size_t>(static_cast<const char *>(found) - s);
        const std::size_t end = at > pos && s[at - 1] == '\r' ? at - 1 : at;
        out.push_back({pos, end, pos, at + 1});
        pos = at + 1;
    }
}

void paragraphs(std::string_view text, std::vector<Piece> &out) {
    std::vector<Piece> all;
    lines(text, all);
    out.clear();
    const std::size_t n = all.size();
    std::size_t i = 0;
    uint64_t blank_from = 0; // where the blank lines before line i begin
    bool blank_before = false;
    while (i < n) {
        const Piece &line = all[i];
        if (blank(text.substr(line.start, line.end - line.start))) {
            if (!blank_before) {
                blank_from = line.cut_start;
                blank_before = true;
            }
            ++i;
            continue;
        }
        std::size_t j = i; // the paragraph's last line
        while (j + 1 < n &&
               !blank(text.substr(all[j + 1].start, all[j + 1].end - all[j + 1].start))) {
            ++j;
        }
        std::size_t k = j + 1; // one past the blank lines after it
        while (k < n && blank(text.substr(all[k].start, all[k].end - all[k].start))) {
            ++k;
        }
        Piece p {line.start, all[j].end, line.start, all[j].cut_end};
        if (k > j + 1) {
            p.cut_end = all[k - 1].cut_end;
        } else if (blank_before) {
            p.cut_start = blank_from; // the last paragraph, with nothing blank after it
        }
        out.push_back(p);
        blank_before = false;
        i = k;
        if (k > j + 1) {
            blank_from = all[j + 1].cut_start;
            blank_before = true;
        }
    }
}

std::size_t WordPlaces::words_in(std::string_view piece) {
    text::word_hashes(piece, scratch_, hashes_);
    return hashes_.size();
}

std::size_t WordPlaces::words_of_char(std::string_view c) {
    uint32_t cp = 0;
    char_length(reinterpret_cast<const unsigned char *>(c.data()), c.size(), cp);
    const auto found = char_words_.find(cp);
    if (found != char_words_.end()) {
        return found->second;
    }
    const std::size_t count = words_in(c);
    char_words_.emplace(cp, static_cast<uint8_t>(count));
    return count;
}

bool WordPlaces::find(std::string_view text, std::size_t count, std::vector<uint64_t> &out) {
    out.clear();
    out.reserve(2 * count);
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t n = text.size();
    std::size_t prev_start = 0, prev_len = 0, prev_words = 0;
    bool prev_ascii = true;
    for (std::size_t pos = 0; pos < n;) {
        std::size_t len = 1, words = 0;
        const bool ascii = s[pos] < 0x80;
        if (ascii) {
            words = ascii_word(s[pos]) ? 1 : 0;
        } else {
            uint32_t cp = 0;
            len = char_length(s + pos, n - pos, cp);
            if (len == 0) {
                len = 1; // read as a space
            } else {
                words = words_of_char(text.substr(pos, len));
            }
        }
        const std::size_t alone = words;
        if (words > 0) {
            bool joined = false;
            if (prev_words > 0) {
                joined = (ascii && prev_ascii) ||
                         words_in(text.substr(prev_start, prev_len + len)) < prev_words + words;
            }
            if (joined) {
                out.back() = pos + len;
                --words;
            }
            for (std::size_t k = 0; k < words; ++k) {
                out.push_back(pos);
                out.push_back(pos + len);
            }
            if (out.size() > 2 * count) {
                return false;
            }
        }
        prev_start = pos;
        prev_len = len;
        prev_words = alone;
        prev_ascii = ascii;
        pos += len;
    }
    return out.size() == 2 * count;
}

} // namespace veltrane::repeats
