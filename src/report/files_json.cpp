#include "report/files_json.hpp"

#include <charconv>
#include <cstring>
#include <system_error>

namespace veltrane::report {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_u64(uint64_t v, std::string &out) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void append_u_escape(uint32_t unit, std::string &out) {
    const char esc[6] = {'\\',
                         'u',
                         kHex[(unit >> 12) & 15],
                         kHex[(unit >> 8) & 15],
                         kHex[(unit >> 4) & 15],
                         kHex[unit & 15]};
    out.append(esc, 6);
}

// One code point of a JSON string with only ASCII printable characters left as they are.
void append_code_point(uint32_t c, std::string &out) {
    switch (c) {
    case '"':
        out += "\\\"";
        return;
    case '\\':
        out += "\\\\";
        return;
    case '\b':
        out += "\\b";
        return;
    case '\f':
        out += "\\f";
        return;
    case '\n':
        out += "\\n";
        return;
    case '\r':
        out += "\\r";
        return;
    case '\t':
        out += "\\t";
        return;
    default:
        break;
    }
    if (c >= 0x20 && c < 0x7f) {
        out += static_cast<char>(c);
    } else if (c < 0x10000) {
        append_u_escape(c, out);
    } else {
        const uint32_t v = c - 0x10000;
        append_u_escape(0xd800 | (v >> 10), out);
        append_u_escape(0xdc00 | (v & 0x3ff), out);
    }
}

bool continuation(unsigned char b) {
    return (b & 0xc0) == 0x80;
}

// The code point of the well-formed UTF-8 sequence at s[i] and its length, or 0 when the byte
// there does not start one (overlong forms, surrogates and values past U+10FFFF are not).
std::size_t decode_utf8(const unsigned char *s, std::size_t n, std::size_t i, uint32_t &c) {
    const unsigned char b = s[i];
    if (b < 0x80) {
        c = b;
        return 1;
    }
    if (b >= 0xc2 && b <= 0xdf) {
        if (i + 1 < n && continuation(s[i + 1])) {
            c = (uint32_t {b} & 0x1f) << 6 | (s[i + 1] & 0x3f);
            return 2;
        }
        return 0;
    }
    if (b >= 0xe0 && b <= 0xef) {
        if (i + 2 >= n) {
            return 0;
        }
        const unsigned char b1 = s[i + 1];
        const unsigned char lo = b == 0xe0 ? 0xa0 : 0x80, hi = b == 0xed ? 0x9f : 0xbf;
        if (b1 < lo || b1 > hi || !continuation(s[i + 2])) {
            return 0;
        }
        c = (uint32_t {b} & 0x0f) << 12 | (uint32_t {b1} & 0x3f) << 6 | (s[i + 2] & 0x3f);
        return 3;
    }
    if (b >= 0xf0 && b <= 0xf4) {
        if (i + 3 >= n) {
            return 0;
        }
        const unsigned char b1 = s[i + 1];
        const unsigned char lo = b == 0xf0 ? 0x90 : 0x80, hi = b == 0xf4 ? 0x8f : 0xbf;
        if (b1 < lo || b1 > hi || !continuation(s[i + 2]) || !continuation(s[i + 3])) {
            return 0;
        }
        c = (uint32_t {b} & 0x07) << 18 | (uint32_t {b1} & 0x3f) << 12 |
            (uint32_t {s[i + 2]} & 0x3f) << 6 | (s[i + 3] & 0x3f);
        return 4;
    }
    return 0;
}

// A percentage as ChunkStats computes it, in float64.
double percent(uint64_t kept, uint64_t total) {
    return total == 0 ? 0.0
                      : (1.0 - static_cast<double>(kept) / static_cast<double>(total)) * 100.0;
}

} // namespace

void append_float_repr(double value, std::string &out) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    // [-]d[.ddd]e(+|-)xx: the shortest digits that read back, and the exponent.
    const char *p = buf;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    char digits[32];
    std::size_t count = 0;
    while (p < r.ptr && *p != 'e') {
        if (*p != '.') {
            digits[count++] = *p;
        }
        ++p;
    }
    int exponent = 0;
    std::from_chars(p + (p[1] == '+' ? 2 : 1), r.ptr, exponent);
    const int point = exponent + 1; // digits before the decimal point
    const auto n = static_cast<int>(count);
    if (point <= -4 || point > 16) {
        out += digits[0];
        if (count > 1) {
            out += '.';
            out.append(digits + 1, count - 1);
        }
        out += exponent < 0 ? "e-" : "e+";
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) {
            out += '0';
        }
        append_u64(static_cast<uint64_t>(magnitude), out);
    } else if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits, count);
    } else if (point >= n) {
        out.append(digits, count);
        out.append(static_cast<std::size_t>(point - n), '0');
        out += ".0";
    } else {
        out.append(digits, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits + point, count - static_cast<std::size_t>(point));
    }
}

bool append_json_path(std::string_view path, std::string &out) {
    const auto *s = reinterpret_cast<const unsigned char *>(path.data());
    const std::size_t n = path.size();
    bool valid = true;
    out += '"';
    for (std::size_t i = 0; i < n;) {
        uint32_t c = 0;
        const std::size_t length = decode_utf8(s, n, i, c);
        if (length == 0) {
            // What a backslashreplace decoding makes of the byte, with its backslash escaped.
            const char esc[6] = {'\\', '\\', 'x', kHex[s[i] >> 4], kHex[s[i] & 15]};
            out.append(esc, 5);
            valid = false;
            ++i;
        } else {
            append_code_point(c, out);
            i += length;
        }
    }
    out += '"';
    return valid;
}

void append_base64(std::string_view data, std::string &out) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto *s = reinterpret_cast<const unsigned char *>(data.data());
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const uint32_t v = uint32_t {s[i]} << 16 | uint32_t {s[i + 1]} << 8 | s[i + 2];
        const char quad[4] = {kAlphabet[v >> 18],
                              kAlphabet[(v >> 12) & 63],
                              kAlphabet[(v >> 6) & 63],
                              kAlphabet[v & 63]};
        out.append(quad, 4);
    }
    const std::size_t rest = data.size() - i;
    if (rest != 0) {
        const uint32_t v = uint32_t {s[i]} << 16 | (rest == 2 ? uint32_t {s[i + 1]} << 8 : 0);
        const char quad[4] = {kAlphabet[v >> 18],
                              kAlphabet[(v >> 12) & 63],
                              rest == 2 ? kAlphabet[(v >> 6) & 63] : '=',
                              '='};
        out.append(quad, 4);
    }
}

void append_json_files(std::string_view names,
                       const uint64_t *ends,
                       const uint64_t *stats,
                       std::size_t first,
                       std::size_t last,
                       std::string &out) {
    for (std::size_t i = first; i < last; ++i) {
        const std::size_t begin = i == 0 ? 0 : ends[i - 1];
        const std::string_view path = names.substr(begin, ends[i] - begin);
        const uint64_t *row = stats + 6 * i;
        const uint64_t size = row[0], chunks = row[1], unique_chunks = row[2],
                       unique_bytes = row[3];
        if (i != first) {
            out += ",\n";
        }
        out += "    {\n      \"path\": ";
        const bool utf8 = append_json_path(path, out);
        out += ",\n      \"bytes\": ";
        append_u64(size, out);
        out += ",\n      \"chunks\": ";
        append_u64(chunks, out);
        out += ",\n      \"unique_chunks\": ";
        append_u64(unique_chunks, out);
        out += ",\n      \"unique_bytes\": ";
        append_u64(unique_bytes, out);
        if (chunks == 0) {
            out += ",\n      \"min_chunk\": null,\n      \"max_chunk\": null,\n"
                   "      \"mean_chunk\": null";
        } else {
            out += ",\n      \"min_chunk\": ";
            append_u64(row[4], out);
            out += ",\n      \"max_chunk\": ";
            append_u64(row[5], out);
            out += ",\n      \"mean_chunk\": ";
            append_float_repr(static_cast<double>(size) / static_cast<double>(chunks), out);
        }
        out += ",\n      \"chunk_reduction_percent\": ";
        append_float_repr(percent(unique_chunks, chunks), out);
        out += ",\n      \"byte_reduction_percent\": ";
        append_float_repr(percent(unique_bytes, size), out);
        if (!utf8) {
            out += ",\n      \"path_base64\": \"";
            append_base64(path, out);
            out += '"';
        }
        out += "\n    }";
    }
}

} // namespace veltrane::report
