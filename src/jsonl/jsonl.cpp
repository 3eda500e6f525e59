#include "jsonl/jsonl.hpp"

#include "common/batches.hpp"

#include <bitset>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

namespace veltrane::jsonl {

namespace {

struct Cursor {
    const unsigned char *p, *end;

    bool at_end() const {
        return p == end;
    }
    void blanks() {
        while (p != end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) {
            ++p;
        }
    }
    bool take(char c) {
        if (p != end && *p == static_cast<unsigned char>(c)) {
            ++p;
            return true;
        }
        return false;
    }
};

int hex(unsigned char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<unsigned char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool hex4(const unsigned char *p, const unsigned char *end, uint32_t &value) {
    if (end - p < 4) {
        return false;
    }
    value = 0;
    for (int k = 0; k < 4; ++k) {
        const int h = hex(p[k]);
        if (h < 0) {
            return false;
        }
        value = value << 4 | static_cast<uint32_t>(h);
    }
    return true;
}

std::size_t utf8_size(uint32_t cp) {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// Whether any of the 8 bytes of `w` is a quote, a backslash or a control character: the only
// bytes a string's scan must stop at. Exact as a yes or no (the borrows of the zero-byte test
// only spill past a byte that already says yes).
bool special(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    auto zero = [&](uint64_t v) { return (v - ones) & ~v & highs; };
    const uint64_t below_space = (w - 0x20 * ones) & ~w & highs;
    return (zero(w ^ (ones * '"')) | zero(w ^ (ones * '\\')) | below_space) != 0;
}

// A string after its opening quote; the cursor ends after the closing one. Escaped lone
// surrogates are refused (they have no UTF-8 form), and so are raw control characters.
bool string(Cursor &c, Token &t, const char *base) {
    t.kind = Kind::string;
    t.begin = static_cast<uint64_t>(reinterpret_cast<const char *>(c.p) - base);
    t.escaped = false;
    uint64_t size = 0;
    const unsigned char *p = c.p;
    while (p != c.end) {
        if (c.end - p >= 8) {
            uint64_t w = 0;
            std::memcpy(&w, p, 8);
            if (!special(w)) {
                p += 8;
                size += 8;
                continue;
            }
        }
        const unsigned char ch = *p;
        if (ch == '"') {
            t.end = static_cast<uint64_t>(reinterpret_cast<const char *>(p) - base);
            t.size = size;
            c.p = p + 1;
            return true;
        }
        if (ch < 0x20) {
            return false;
        }
        if (ch != '\\') {
            ++p;
            ++size;
            continue;
        }
        t.escaped = true;
        if (++p == c.end) {
            return false;
        }
        switch (*p) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
            ++p;
            ++size;
            break;
        case 'u': {
            uint32_t cp = 0;
            if (!hex4(p + 1, c.end, cp)) {
                return false;
            }
            p += 5;
            if (cp >= 0xD800 && cp < 0xDC00) {
                uint32_t low = 0;
                if (c.end - p < 6 || p[0] != '\\' || p[1] != 'u' || !hex4(p + 2, c.end, low) ||
                    low < 0xDC00 || low >= 0xE000) {
                    return false;
                }
                p += 6;
                size += 4;
            } else if (cp >= 0xDC00 && cp < 0xE000) {
                return false;
            } else {
                size += utf8_size(cp);
            }
            break;
        }
        default:
            return false;
        }
    }
    return false;
}

bool digits(Cursor &c) {
    const unsigned char *start = c.p;
    while (c.p != c.end && *c.p >= '0' && *c.p <= '9') {
        ++c.p;
    }
    return c.p != start;
}

bool number(Cursor &c, Token &t, const char *base) {
    t.kind = Kind::number;
    t.begin = static_cast<uint64_t>(reinterpret_cast<const char *>(c.p) - base);
    c.take('-');
    if (c.take('0')) {
        // no leading zeros
    } else if (!digits(c)) {
        return false;
    }
    if (c.take('.') && !digits(c)) {
        return false;
    }
    if (c.take('e') || c.take('E')) {
        if (!c.take('+')) {
            c.take('-');
        }
        if (!digits(c)) {
            return false;
        }
    }
    t.end = static_cast<uint64_t>(reinterpret_cast<const char *>(c.p) - base);
    return true;
}

bool literal(Cursor &c, const char *word) {
    const std::size_t n = std::strlen(word);
    if (static_cast<std::size_t>(c.end - c.p) < n || std::memcmp(c.p, word, n) != 0) {
        return false;
    }
    c.p += n;
    return true;
}

// Any value, its nesting followed on a bit stack (1: object, 0: array).
bool skip_value(Cursor &c, const char *base, std::bitset<kMaxDepth> &stack) {
    std::size_t depth = 0;
    Token scratch;
    for (;;) {
        // A value.
        c.blanks();
        if (c.at_end()) {
            return false;
        }
        bool opened = false;
        switch (*c.p) {
        case '"':
            ++c.p;
            if (!string(c, scratch, base)) {
                return false;
            }
            break;
        case '{':
        case '[': {
            const bool object = *c.p == '{';
            ++c.p;
            if (depth == kMaxDepth) {
                return false;
            }
            stack[depth++] = object;
            c.blanks();
            if (c.take(object ? '}' : ']')) {
                --depth;
                break;
            }
            if (object) {
                if (!c.take('"') || !string(c, scratch, base)) {
                    return false;
                }
                c.blanks();
                if (!c.take(':')) {
                    return false;
                }
            }
            opened = true;
            break;
        }
        case 't':
            if (!literal(c, "true")) {
                return false;
            }
            break;
        case 'f':
            if (!literal(c, "false")) {
                return false;
            }
            break;
        case 'n':
            if (!literal(c, "null")) {
                return false;
            }
            break;
        default:
            if (!number(c, scratch, base)) {
                return false;
            }
        }
        if (opened) {
            continue; // the first member's value
        }
        // After a value: close what ends here, until a comma asks for the next value.
        for (;;) {
            if (depth == 0) {
                return true;
            }
            c.blanks();
            const bool object = stack[depth - 1];
            if (c.take(',')) {
                if (object) {
                    c.blanks();
                    if (!c.take('"') || !string(c, scratch, base)) {
                        return false;
                    }
                    c.blanks();
                    if (!c.take(':')) {
                        return false;
                    }
                }
                break;
            }
            if (!c.take(object ? '}' : ']')) {
                return false;
            }
            --depth;
        }
    }
}

bool same(const char *base, const Token &key, std::string_view name) {
    return key.end - key.begin == name.size() &&
           std::memcmp(base + key.begin, name.data(), name.size()) == 0;
}

} // namespace

Line scan(const char *data, std::size_t begin, std::size_t end, const Fields &fields) {
    Line line;
    Cursor c {reinterpret_cast<const unsigned char *>(data) + begin,
              reinterpret_cast<const unsigned char *>(data) + end};
    c.blanks();
    if (c.at_end()) {
        line.status = Status::blank;
        return line;
    }
    if (!c.take('{')) {
        return line;
    }
    // Thread-local: 8 KiB, not on a small thread stack and not allocated per line.
    thread_local std::bitset<kMaxDepth> stack;
    c.blanks();
    if (!c.take('}')) {
        for (;;) {
            c.blanks();
            Token key;
            if (!c.take('"') || !string(c, key, data) || key.escaped) {
                return line;
            }
            c.blanks();
            if (!c.take(':')) {
                return line;
            }
            c.blanks();
            const bool is_text = same(data, key, fields.text);
            const bool is_id = !fields.id.empty() && same(data, key, fields.id);
            const bool is_value = !fields.value.empty() && same(data, key, fields.value);
            if (is_text || is_id || is_value) {
                Token value;
                const bool numeric = !c.at_end() && (*c.p == '-' || (*c.p >= '0' && *c.p <= '9'));
                if ((is_text || is_id) && !is_value && c.take('"')) {
                    if (!string(c, value, data)) {
                        return line;
                    }
                } else if (!is_text && numeric) {
                    if (!number(c, value, data)) {
                        return line;
                    }
                } else {
                    return line; // a type the field does not take
                }
                if (is_text) {
                    line.text = value;
                }
                if (is_id) {
                    line.id = value;
                }
                if (is_value) {
                    line.value = value;
                }
            } else if (!skip_value(c, data, stack)) {
                return line;
            }
            c.blanks();
            if (c.take('}')) {
                break;
            }
            if (!c.take(',')) {
                return line;
            }
        }
    }
    c.blanks();
    if (!c.at_end() || line.text.kind != Kind::string ||
        (!fields.id.empty() && line.id.kind == Kind::none) ||
        (!fields.value.empty() && line.value.kind == Kind::none)) {
        return line;
    }
    line.status = Status::record;
    return line;
}

bool replace_text(std::string_view line,
                  std::string_view field,
                  std::string_view text,
                  std::string &out) {
    const Line scanned = scan(line.data(), 0, line.size(), Fields {field, {}, {}});
    if (scanned.status != Status::record) {
        return false;
    }
    const auto begin = static_cast<std::size_t>(scanned.text.begin);
    const auto end = static_cast<std::size_t>(scanned.text.end);
    out.clear();
    out.reserve(line.size() - (end - begin) + text.size() + text.size() / 16);
    out.append(line.data(), begin);
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t plain = 0; // the start of the bytes not yet copied that need no escape
    for (std::size_t k = 0; k < text.size(); ++k) {
        const auto c = static_cast<unsigned char>(text[k]);
        if (c >= 0x20 && c != '"' && c != '\\') {
            continue;
        }
        out.append(text.data() + plain, k - plain);
        plain = k + 1;
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default: {
            const char u[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
            out.append(u, sizeof u);
        }
        }
    }
    out.append(text.data() + plain, text.size() - plain);
    out.append(line.data() + end, line.size() - end);
    return true;
}

void unescape(const char *data, const Token &token, char *out) {
    const char *p = data + token.begin;
    const char *end = data + token.end;
    if (!token.escaped) {
        std::memcpy(out, p, token.size);
        return;
    }
    while (p != end) {
        if (*p != '\\') {
            *out++ = *p++;
            continue;
        }
        ++p;
        const char e = *p++;
        switch (e) {
        case 'b':
            *out++ = '\b';
            break;
        case 'f':
            *out++ = '\f';
            break;
        case 'n':
            *out++ = '\n';
            break;
        case 'r':
            *out++ = '\r';
            break;
        case 't':
            *out++ = '\t';
            break;
        case 'u': {
            uint32_t cp = 0;
            const auto *u = reinterpret_cast<const unsigned char *>(p);
            hex4(u, u + 4, cp);
            p += 4;
            if (cp >= 0xD800 && cp < 0xDC00) {
                uint32_t low = 0;
                hex4(u + 6, u + 10, low);
                p += 6;
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            }
            if (cp < 0x80) {
                *out++ = static_cast<char>(cp);
            } else if (cp < 0x800) {
                *out++ = static_cast<char>(0xC0 | cp >> 6);
                *out++ = static_cast<char>(0x80 | (cp & 0x3F));
            } else if (cp < 0x10000) {
                *out++ = static_cast<char>(0xE0 | cp >> 12);
                *out++ = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
                *out++ = static_cast<char>(0x80 | (cp & 0x3F));
            } else {
                *out++ = static_cast<char>(0xF0 | cp >> 18);
                *out++ = static_cast<char>(0x80 | (cp >> 12 & 0x3F));
                *out++ = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
                *out++ = static_cast<char>(0x80 | (cp & 0x3F));
            }
            break;
        }
        default: // '"', '\\', '/'
            *out++ = e;
        }
    }
}

double number_value(const char *data, const Token &t) {
    double value = 0;
    const char *begin = data + t.begin;
    const char *end = data + t.end;
    if (std::from_chars(begin, end, value).ec == std::errc()) {
        return value;
    }
    return std::strtod(std::string(begin, end).c_str(), nullptr);
}

void scan_lines(const char *data,
                const int64_t *starts,
                std::size_t lines,
                const Fields &fields,
                int threads,
                Line *out) {
    parallel_batches(lines, 1024, threads, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t k = begin; k < end; ++k) {
            auto b = static_cast<std::size_t>(starts[k]);
            auto e = static_cast<std::size_t>(starts[k + 1]);
            if (e > b && data[e - 1] == '\n') {
                --e;
            }
            out[k] = scan(data, b, e, fields);
        }
    });
}

} // namespace veltrane::jsonl
