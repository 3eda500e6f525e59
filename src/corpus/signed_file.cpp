#include "corpus/signed_file.hpp"

#include "common/batches.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace veltrane::corpus {

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";
constexpr std::size_t kBomSize = 3;

enum class Kind : uint8_t { none, signed_record, unsigned_record };

struct LineOut {
    int64_t begin = 0, length = 0, size = 0;
    Kind kind = Kind::none;
};

std::size_t page_size() {
    static const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// The lines that start in [begin, end): after each "\n" at p in [begin - 1, end - 1) that is
// not the file's last byte, and at `first` itself.
std::size_t
lines_starting(std::string_view data, std::size_t first, std::size_t begin, std::size_t end) {
    std::size_t count = begin <= first && first < end && first < data.size() ? 1 : 0;
    const char *p = data.data() + (begin > 0 ? begin - 1 : 0);
    const char *stop = data.data() + std::min(end > 0 ? end - 1 : 0, data.size() - 1);
    while (p < stop) {
        const void *nl = std::memchr(p, '\n', static_cast<std::size_t>(stop - p));
        if (nl == nullptr) {
            break;
        }
        ++count;
        p = static_cast<const char *>(nl) + 1;
    }
    return count;
}

} // namespace

MappedFile::MappedFile(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "open");
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        throw std::system_error(e, std::generic_category(), "fstat");
    }
    size_ = static_cast<std::size_t>(st.st_size);
    if (size_ > 0) {
        void *p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p == MAP_FAILED) {
            const int e = errno;
            ::close(fd);
            throw std::system_error(e, std::generic_category(), "mmap");
        }
        data_ = static_cast<const char *>(p);
    }
    ::close(fd);
}

MappedFile::~MappedFile() {
    if (data_ != nullptr) {
        ::munmap(const_cast<char *>(data_), size_);
    }
}

void MappedFile::release(std::size_t begin, std::size_t end) const {
    const std::size_t page = page_size();
    begin = (begin + page - 1) / page * page;
    end = std::min(end, size_) / page * page;
    if (data_ != nullptr && begin < end) {
        // Read-only pages of a file: dropping them loses nothing.
        ::madvise(const_cast<char *>(data_) + begin, end - begin, MADV_DONTNEED);
    }
}

Plan plan(std::string_view data, std::size_t stretch, int threads) {
    Plan p;
    if (data.size() >= kBomSize && data.compare(0, kBomSize, kBom) == 0) {
        p.first = kBomSize;
    }
    stretch = std::max<std::size_t>(stretch, 1);
    const std::size_t count = std::max<std::size_t>(1, (data.size() + stretch - 1) / stretch);
    p.bounds.resize(count + 1);
    for (std::size_t k = 0; k <= count; ++k) {
        p.bounds[k] = std::min(data.size(), k * stretch);
    }
    std::vector<std::size_t> in(count, 0);
    if (!data.empty()) {
        parallel_batches(count, 16, threads, [&](std::size_t begin, std::size_t end, std::size_t) {
            for (std::size_t k = begin; k < end; ++k) {
                in[k] = lines_starting(data, p.first, p.bounds[k], p.bounds[k + 1]);
            }
        });
    }
    p.lines_before.resize(count + 1);
    p.lines_before[0] = 0;
    for (std::size_t k = 0; k < count; ++k) {
        p.lines_before[k + 1] = p.lines_before[k] + in[k];
    }
    return p;
}

Scan scan_and_sign(std::string_view data,
                   const Plan &plan,
                   Format format,
                   const jsonl::Fields &fields,
                   const text::MinHasher &hasher,
                   int threads,
                   uint32_t *rows,
                   const MappedFile *file,
                   std::atomic<uint64_t> *done,
                   const std::atomic<bool> *cancel) {
    const std::size_t num_perm = hasher.num_perm();
    const std::size_t total = plan.lines();
    const bool want_ids = !fields.id.empty(), want_values = !fields.value.empty();
    std::vector<LineOut> out(total);
    Scan scan;
    if (want_ids) {
        scan.ids.resize(total);
    }
    if (want_values) {
        scan.values.resize(total);
    }
    std::atomic<bool> give_up {false};
    struct Worker {
        text::Scratch scratch;
        std::string unescaped;
    };
    std::vector<Worker> workers(static_cast<std::size_t>(std::max(threads, 1)));
    const std::size_t stretches = plan.bounds.size() - 1;
    parallel_batches(stretches, 1, threads, [&](std::size_t k, std::size_t, std::size_t w) {
        if (give_up.load(std::memory_order_relaxed) ||
            (cancel != nullptr && cancel->load(std::memory_order_relaxed))) {
            return;
        }
        Worker &me = workers[w];
        const std::size_t a = plan.bounds[k], b = plan.bounds[k + 1];
        std::size_t line = plan.lines_before[k];
        std::size_t start = a;
        if (a <= plan.first) {
            start = plan.first;
        } else {
            const void *nl = std::memchr(data.data() + a - 1, '\n', data.size() - (a - 1));
            start =
                nl == nullptr
                    ? data.size()
                    : static_cast<std::size_t>(static_cast<const char *>(nl) - data.data()) + 1;
        }
        for (; start < b && start < data.size(); ++line) {
            const void *nl = std::memchr(data.data() + start, '\n', data.size() - start);
            const std::size_t stop =
                nl == nullptr
                    ? data.size()
                    : static_cast<std::size_t>(static_cast<const char *>(nl) - data.data());
            const std::size_t next = nl == nullptr ? data.size() : stop + 1;
            LineOut &o = out[line];
            o.begin = static_cast<int64_t>(start);
            o.length = static_cast<int64_t>(next - start);
            std::string_view text;
            if (format == Format::lines) {
                std::size_t e = stop;
                if (e > start && data[e - 1] == '\r') {
                    --e;
                }
                text = data.substr(start, e - start);
                if (std::memchr(text.data(), '\0', text.size()) != nullptr ||
                    !jsonl::valid_utf8(text)) {
                    give_up.store(true, std::memory_order_relaxed);
                    return;
                }
                o.kind = text.empty() ? Kind::unsigned_record : Kind::signed_record;
            } else {
                const jsonl::Line parsed = jsonl::scan(data.data(), start, stop, fields);
                if (parsed.status == jsonl::Status::other) {
                    give_up.store(true, std::memory_order_relaxed);
                    return;
                }
                if (parsed.status == jsonl::Status::blank) {
                    start = next;
                    continue;
                }
                const jsonl::Token &t = parsed.text;
                if (t.escaped) {
                    me.unescaped.resize(t.size);
                    jsonl::unescape(data.data(), t, me.unescaped.data());
                    text = me.unescaped;
                } else {
                    text = data.substr(t.begin, t.end - t.begin);
                }
                if (!jsonl::valid_utf8(text)) {
                    give_up.store(true, std::memory_order_relaxed);
                    return;
                }
                if (want_ids) {
                    scan.ids[line] = parsed.id;
                }
                if (want_values) {
                    scan.values[line] = parsed.value;
                }
                o.kind = Kind::signed_record;
            }
            o.size = static_cast<int64_t>(text.size());
            if (o.kind == Kind::signed_record) {
                hasher.sign(text, me.scratch, rows + line * num_perm);
            }
            start = next;
        }
        if (file != nullptr) {
            file->release(a, b);
        }
        if (done != nullptr) {
            done->fetch_add(b - a, std::memory_order_relaxed);
        }
    });
    if (give_up.load() || (cancel != nullptr && cancel->load())) {
        scan.taken = false;
        return scan;
    }
    // Records in order, and their signatures moved up over the rows of the lines that are no
    // records or were not signed (none move in the usual file without blank lines).
    std::size_t records = 0, signed_rows = 0;
    for (std::size_t line = 0; line < total; ++line) {
        const LineOut &o = out[line];
        if (o.kind == Kind::none) {
            continue;
        }
        ++records;
        if (o.kind == Kind::signed_record) {
            if (signed_rows != line) {
                std::memmove(rows + signed_rows * num_perm,
                             rows + line * num_perm,
                             num_perm * sizeof(uint32_t));
            }
            ++signed_rows;
        }
    }
    scan.numbers.reserve(records);
    scan.spans.reserve(2 * records);
    scan.sizes.reserve(records);
    std::size_t r = 0;
    for (std::size_t line = 0; line < total; ++line) {
        const LineOut &o = out[line];
        if (o.kind == Kind::none) {
            continue;
        }
        scan.numbers.push_back(static_cast<int64_t>(line) + 1);
        scan.spans.push_back(o.begin);
        scan.spans.push_back(o.length);
        scan.sizes.push_back(o.size);
        if (want_ids) {
            scan.ids[r] = scan.ids[line];
        }
        if (want_values) {
            scan.values[r] = scan.values[line];
        }
        ++r;
    }
    scan.ids.resize(want_ids ? records : 0);
    scan.values.resize(want_values ? records : 0);
    scan.signed_rows = signed_rows;
    return scan;
}

} // namespace veltrane::corpus
