#include "corpus/signed_file.hpp"

#include "common/batches.hpp"
#include "search/bands.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace veltrane::corpus {

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";
constexpr std::size_t kBomSize = 3;
// Read past a stretch's end at once, so that its last line usually needs no second read.
constexpr std::size_t kAhead = 64 << 10;

enum class Kind : uint8_t { none, signed_record, unsigned_record };

// Bands a row can have (a row is built on the stack): more than any search uses, 128 values
// cut into bands of at least one value.
constexpr std::size_t kMaxBands = 1024;

struct LineOut {
    int64_t begin = 0, length = 0, size = 0;
    Kind kind = Kind::none;
};

// The bytes of the file from `from` on, read as far as they are asked for.
struct Window {
    std::string bytes;
    std::size_t from = 0;

    void start(std::size_t at) {
        from = at;
        bytes.clear();
    }
    std::size_t end() const {
        return from + bytes.size();
    }
    // Holds the bytes up to `to` (at most the file's size) after this; false when the file
    // ended before. The bytes may move.
    bool reach(const File &file, std::size_t to) {
        if (to <= end()) {
            return true;
        }
        const std::size_t have = end(), want = to - have;
        bytes.resize(bytes.size() + want);
        return file.read(have, bytes.data() + (have - from), want) == want;
    }
    // The first "\n" at or after `at`, reading on as needed; the file's size when there is
    // none. `ok` turns false when the file ended early.
    std::size_t newline(const File &file, std::size_t at, bool &ok) {
        for (;;) {
            if (at < end()) {
                const void *nl = std::memchr(bytes.data() + (at - from), '\n', end() - at);
                if (nl != nullptr) {
                    return from +
                           static_cast<std::size_t>(static_cast<const char *>(nl) - bytes.data());
                }
            }
            if (end() >= file.size()) {
                return file.size();
            }
            const std::size_t searched = std::max(at, end());
            // Doubling: a line of hundreds of megabytes costs a few reads, not thousands.
            if (!reach(file, std::min(file.size(), end() + std::max(kAhead, end() - from)))) {
                ok = false;
                return file.size();
            }
            at = searched;
        }
    }
};

} // namespace

File::File(const std::string &path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "open");
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const int e = errno;
        ::close(fd_);
        throw std::system_error(e, std::generic_category(), "fstat");
    }
    size_ = static_cast<std::size_t>(st.st_size);
}

File::~File() {
    ::close(fd_);
}

std::size_t File::read(std::size_t offset, char *into, std::size_t size) const {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd_, into + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

void Scan::rows_into(unsigned char *out) {
    for (auto &part : parts) {
        if (!part.empty()) {
            std::memcpy(out, part.data(), part.size());
            out += part.size();
        }
        std::vector<unsigned char>().swap(part);
    }
}

Scan scan_and_sign(const File &file,
                   std::size_t stretch,
                   Format format,
                   const jsonl::Fields &fields,
                   const text::MinHasher &hasher,
                   int threads,
                   const Output &into,
                   std::atomic<uint64_t> *done,
                   const std::atomic<bool> *cancel) {
    const std::size_t num_perm = hasher.num_perm();
    const std::size_t size = file.size();
    const bool banded = into.bands > 0;
    const std::size_t row_bytes =
        banded ? (into.bands + 2) * sizeof(uint64_t) : num_perm * sizeof(uint32_t);
    const bool want_ids = !fields.id.empty(), want_values = !fields.value.empty();
    Scan scan;
    scan.row_bytes = row_bytes;
    std::size_t first = 0;
    char head[kBomSize];
    if (size >= kBomSize && file.read(0, head, kBomSize) == kBomSize &&
        std::memcmp(head, kBom, kBomSize) == 0) {
        first = kBomSize;
    }
    stretch = std::max<std::size_t>(stretch, 1);
    const std::size_t stretches = (size + stretch - 1) / stretch;
    // Each stretch's lines and rows apart, joined in order at the end: no pass over the file
    // is needed to count its lines first.
    struct Part {
        std::vector<LineOut> lines;
        std::vector<std::string> ids, values;
        std::vector<uint8_t> id_is_number;
    };
    std::vector<Part> parts(stretches);
    scan.parts.resize(stretches);
    std::atomic<bool> give_up {false};
    struct Worker {
        Window window;
        text::Scratch scratch;
        std::string unescaped;
        std::vector<uint32_t> signature;
    };
    std::vector<Worker> workers(static_cast<std::size_t>(std::max(threads, 1)));
    parallel_batches(stretches, 1, threads, [&](std::size_t k, std::size_t, std::size_t w) {
        if (give_up.load(std::memory_order_relaxed) ||
            (cancel != nullptr && cancel->load(std::memory_order_relaxed))) {
            return;
        }
        Worker &me = workers[w];
        Window &win = me.window;
        Part &part = parts[k];
        std::vector<unsigned char> &rows = scan.parts[k];
        const std::size_t a = k * stretch, b = std::min(size, a + stretch);
        bool ok = true;
        auto fail = [&] { give_up.store(true, std::memory_order_relaxed); };
        win.start(a > 0 ? a - 1 : 0);
        if (!win.reach(file, std::min(size, b + kAhead))) {
            return fail();
        }
        // Lines start at `first` and after each "\n" that is not the file's last byte.
        std::size_t start = a <= first ? first : win.newline(file, a - 1, ok) + 1;
        while (ok && start < b && start < size) {
            const std::size_t stop = win.newline(file, start, ok);
            if (!ok) {
                break;
            }
            const std::size_t next = std::min(size, stop + 1);
            const char *base = win.bytes.data();
            const std::size_t from = win.from;
            LineOut o;
            o.begin = static_cast<int64_t>(start);
            o.length = static_cast<int64_t>(next - start);
            std::string_view text;
            if (format == Format::lines) {
                std::size_t e = stop;
                if (e > start && base[e - 1 - from] == '\r') {
                    --e;
                }
                text = std::string_view(base + (start - from), e - start);
                if (std::memchr(text.data(), '\0', text.size()) != nullptr ||
                    !jsonl::valid_utf8(text)) {
                    return fail();
                }
                o.kind = text.empty() ? Kind::unsigned_record : Kind::signed_record;
            } else {
                const jsonl::Line parsed = jsonl::scan(base, start - from, stop - from, fields);
                if (parsed.status == jsonl::Status::other) {
                    return fail();
                }
                if (parsed.status == jsonl::Status::record) {
                    const jsonl::Token &t = parsed.text;
                    if (t.escaped) {
                        me.unescaped.resize(t.size);
                        jsonl::unescape(base, t, me.unescaped.data());
                        text = me.unescaped;
                    } else {
                        text = std::string_view(base + t.begin, t.end - t.begin);
                    }
                    if (!jsonl::valid_utf8(text)) {
                        return fail();
                    }
                    if (want_ids) {
                        const jsonl::Token &id = parsed.id;
                        std::string bytes;
                        if (id.kind == jsonl::Kind::number) {
                            bytes.assign(base + id.begin, id.end - id.begin);
                        } else {
                            bytes.resize(id.size);
                            jsonl::unescape(base, id, bytes.data());
                        }
                        part.ids.push_back(std::move(bytes));
                        part.id_is_number.push_back(id.kind == jsonl::Kind::number);
                    }
                    if (want_values) {
                        part.values.emplace_back(base + parsed.value.begin,
                                                 parsed.value.end - parsed.value.begin);
                    }
                    o.kind = Kind::signed_record;
                } // else blank: a line, but no record
            }
            o.size = static_cast<int64_t>(text.size());
            if (o.kind == Kind::signed_record) {
                const std::size_t at = rows.size();
                rows.resize(at + row_bytes);
                if (!banded) {
                    hasher.sign(text, me.scratch, reinterpret_cast<uint32_t *>(rows.data() + at));
                } else {
                    me.signature.resize(num_perm);
                    hasher.sign(text, me.scratch, me.signature.data());
                    uint64_t row[kMaxBands + 2];
                    const std::size_t nb = into.bands;
                    bands::band_keys(me.signature.data(), 1, num_perm, nb, into.rows, 1, row);
                    bands::band_keys(me.signature.data(), 1, num_perm, 1, num_perm, 1, row + nb);
                    row[nb + 1] = me.scratch.shingles.empty() ? 1 : 0;
                    std::memcpy(rows.data() + at, row, row_bytes);
                }
            }
            part.lines.push_back(o);
            start = next;
        }
        if (!ok) {
            return fail();
        }
        if (done != nullptr) {
            done->fetch_add(b - a, std::memory_order_relaxed);
        }
    });
    if (give_up.load() || (cancel != nullptr && cancel->load())) {
        scan.taken = false;
        scan.parts.clear();
        return scan;
    }
    std::size_t records = 0;
    for (const Part &part : parts) {
        for (const LineOut &o : part.lines) {
            records += o.kind != Kind::none;
            scan.signed_rows += o.kind == Kind::signed_record;
        }
    }
    scan.numbers.reserve(records);
    scan.spans.reserve(2 * records);
    scan.sizes.reserve(records);
    int64_t number = 0;
    for (Part &part : parts) {
        for (const LineOut &o : part.lines) {
            ++number;
            if (o.kind == Kind::none) {
                continue;
            }
            scan.numbers.push_back(number);
            scan.spans.push_back(o.begin);
            scan.spans.push_back(o.length);
            scan.sizes.push_back(o.size);
        }
        std::vector<LineOut>().swap(part.lines);
        for (auto &id : part.ids) {
            scan.ids.push_back(std::move(id));
        }
        scan.id_is_number.insert(
            scan.id_is_number.end(), part.id_is_number.begin(), part.id_is_number.end());
        for (auto &value : part.values) {
            scan.values.push_back(std::move(value));
        }
    }
    return scan;
}

} // namespace veltrane::corpus
