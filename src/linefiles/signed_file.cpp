#include "linefiles/signed_file.hpp"

#include "common/batches.hpp"
#include "common/wait.hpp"
#include "search/bands.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace veltrane::linefiles {

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";
constexpr std::size_t kBomSize = 3;
// Read past a stretch's end at once, so that its last line usually needs no second read.
constexpr std::size_t kAhead = 64 << 10;

// A buffer that grows without filling: a string's resize writes every new byte before the
// read overwrites it, which doubles the memory traffic of a pass over the file.
class Bytes {
public:
    const char *data() const {
        return data_.get();
    }
    char *data() {
        return data_.get();
    }
    std::size_t size() const {
        return size_;
    }
    void clear() {
        size_ = 0;
    }
    // Keeps the bytes held, the new ones unset.
    void resize(std::size_t size) {
        if (size > capacity_) {
            const std::size_t grown = std::max(size, 2 * capacity_);
            std::unique_ptr<char[]> more(new char[grown]);
            if (size_ != 0) {
                std::memcpy(more.get(), data_.get(), size_);
            }
            data_ = std::move(more);
            capacity_ = grown;
        }
        size_ = size;
    }

private:
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0, capacity_ = 0;
};

// The bytes of the file from `from` on, read as far as they are asked for.
struct Window {
    Bytes bytes;
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

// The "\n" bytes in [p, stop).
std::size_t newlines(const char *p, const char *stop) {
    std::size_t count = 0;
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

Plan plan(const File &file, std::size_t stretch, int threads) {
    Plan p;
    const std::size_t size = file.size();
    char head[kBomSize];
    if (size >= kBomSize && file.read(0, head, kBomSize) == kBomSize &&
        std::memcmp(head, kBom, kBomSize) == 0) {
        p.first = kBomSize;
    }
    stretch = std::max<std::size_t>(stretch, 1);
    const std::size_t count = std::max<std::size_t>(1, (size + stretch - 1) / stretch);
    p.bounds.resize(count + 1);
    for (std::size_t k = 0; k <= count; ++k) {
        p.bounds[k] = std::min(size, k * stretch);
    }
    // Lines start at `first` and after each "\n" that is not the file's last byte: those of
    // stretch [a, b) after a "\n" in [a - 1, b - 1). Read into a buffer a thread reuses, the
    // count costs no new memory.
    std::vector<std::size_t> in(count, 0);
    std::atomic<bool> short_read {false};
    std::vector<Bytes> buffers(static_cast<std::size_t>(std::max(threads, 1)));
    if (size > 0) {
        parallel_batches(
            count, 16, threads, [&](std::size_t begin, std::size_t end, std::size_t w) {
                for (std::size_t k = begin; k < end; ++k) {
                    const std::size_t a = p.bounds[k], b = p.bounds[k + 1];
                    const std::size_t from = a > 0 ? a - 1 : 0, to = std::min(b - 1, size - 1);
                    std::size_t lines = a <= p.first && p.first < b && p.first < size ? 1 : 0;
                    if (from < to) {
                        Bytes &buffer = buffers[w];
                        buffer.resize(to - from);
                        if (file.read(from, buffer.data(), buffer.size()) != buffer.size()) {
                            short_read.store(true);
                            return;
                        }
                        lines += newlines(buffer.data(), buffer.data() + buffer.size());
                    }
                    in[k] = lines;
                }
            });
    }
    p.taken = !short_read.load();
    p.lines_before.resize(count + 1);
    p.lines_before[0] = 0;
    for (std::size_t k = 0; k < count; ++k) {
        p.lines_before[k + 1] = p.lines_before[k] + in[k];
    }
    return p;
}

Scan scan_and_sign(const File &file,
                   const Plan &plan,
                   Format format,
                   const jsonl::Fields &fields,
                   const text::Signer &hasher,
                   int threads,
                   const Output &into,
                   std::atomic<uint64_t> *done,
                   const std::atomic<bool> *cancel) {
    const std::size_t num_perm = hasher.width();
    const std::size_t total = plan.lines();
    const std::size_t size = file.size();
    const bool banded = into.banded != nullptr;
    const std::size_t stride = banded ? into.bands + 2 : num_perm;
    const bool want_ids = !fields.id.empty(), want_values = !fields.value.empty();
    Scan scan;
    if (!plan.taken) {
        scan.taken = false;
        return scan;
    }
    std::vector<LineOut> out(total);
    if (want_ids) {
        scan.ids.resize(total);
        scan.id_is_number.resize(total);
    }
    if (want_values) {
        scan.values.resize(total);
    }
    std::atomic<bool> give_up {false};
    // Banded rows are keyed a few records at a time (bands::row_keys): the signatures wait in
    // `pending`, with their lines and whether they had shingles.
    constexpr std::size_t kPending = 8;
    struct Worker {
        Window window;
        text::Scratch scratch;
        std::string unescaped;
        std::vector<uint32_t> pending;
        std::size_t lines[kPending] {};
        bool empty[kPending] {};
        std::size_t waiting = 0;
        std::vector<uint64_t> keys;
    };
    std::vector<Worker> workers(static_cast<std::size_t>(std::max(threads, 1)));
    auto key_pending = [&](Worker &me) {
        hasher.flush(me.scratch);
        const std::size_t nb = into.bands, m = me.waiting, width = nb + 1;
        me.keys.resize(kPending * width);
        bands::row_keys(me.pending.data(), m, num_perm, nb, into.rows, me.keys.data(), width);
        bands::row_keys(me.pending.data(), m, num_perm, 1, num_perm, me.keys.data() + nb, width);
        for (std::size_t i = 0; i < m; ++i) {
            uint64_t *row = into.banded + me.lines[i] * stride;
            std::memcpy(row, me.keys.data() + i * width, width * sizeof(uint64_t));
            row[nb + 1] = me.empty[i] ? 1 : 0;
        }
        me.waiting = 0;
    };
    const std::size_t stretches = plan.bounds.size() - 1;
    // The follower takes the stretches done, in order, until the last or until the scan ends
    // without the next one (it gave up).
    std::mutex follow_lock;
    std::condition_variable follow_wake;
    std::vector<uint8_t> finished(stretches, 0);
    bool scanned = false;
    std::thread follow;
    if (into.follower != nullptr && !banded) {
        follow = std::thread([&] {
            std::size_t next = 0;
            while (next < stretches) {
                std::size_t upto = next;
                {
                    std::unique_lock<std::mutex> lock(follow_lock);
                    wait_for_true(follow_wake, lock, [&] { return scanned || finished[next]; });
                    while (upto < stretches && finished[upto]) {
                        ++upto;
                    }
                }
                if (upto == next) {
                    return;
                }
                into.follower->lines(file,
                                     out.data(),
                                     plan.lines_before[next],
                                     plan.lines_before[upto],
                                     into.signatures,
                                     stride);
                next = upto;
            }
            into.follower->end(file);
        });
    }
    auto stop_following = [&] {
        if (follow.joinable()) {
            {
                const std::lock_guard<std::mutex> lock(follow_lock);
                scanned = true;
            }
            follow_wake.notify_one();
            follow.join();
        }
    };
    // Joined on the way out of a throw as well, or the thread's destructor ends the process.
    struct Joined {
        decltype(stop_following) &stop;
        ~Joined() {
            stop();
        }
    } joined {stop_following};
    parallel_batches(stretches, 1, threads, [&](std::size_t k, std::size_t, std::size_t w) {
        if (give_up.load(std::memory_order_relaxed) ||
            (cancel != nullptr && cancel->load(std::memory_order_relaxed))) {
            return;
        }
        Worker &me = workers[w];
        me.waiting = 0; // what a stretch that gave up left is not wanted
        Window &win = me.window;
        const std::size_t a = plan.bounds[k], b = plan.bounds[k + 1];
        bool ok = true;
        auto fail = [&] { give_up.store(true, std::memory_order_relaxed); };
        win.start(a > 0 ? a - 1 : 0);
        if (!win.reach(file, std::min(size, b + kAhead))) {
            return fail();
        }
        std::size_t line = plan.lines_before[k];
        const std::size_t lines_end = plan.lines_before[k + 1];
        std::size_t start = a <= plan.first ? plan.first : win.newline(file, a - 1, ok) + 1;
        for (; ok && start < b && start < size; ++line) {
            if (line >= lines_end) {
                return fail(); // more lines than counted: the file changed
            }
            const std::size_t stop = win.newline(file, start, ok);
            if (!ok) {
                break;
            }
            const std::size_t next = std::min(size, stop + 1);
            const char *base = win.bytes.data();
            const std::size_t from = win.from;
            LineOut &o = out[line];
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
                if (parsed.status == jsonl::Status::blank) {
                    start = next;
                    continue; // a line, but no record
                }
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
                    std::string &bytes = scan.ids[line];
                    if (id.kind == jsonl::Kind::number) {
                        bytes.assign(base + id.begin, id.end - id.begin);
                    } else {
                        bytes.resize(id.size);
                        jsonl::unescape(base, id, bytes.data());
                    }
                    scan.id_is_number[line] = id.kind == jsonl::Kind::number;
                }
                if (want_values) {
                    scan.values[line].assign(base + parsed.value.begin,
                                             parsed.value.end - parsed.value.begin);
                }
                o.kind = Kind::signed_record;
            }
            o.size = static_cast<int64_t>(text.size());
            if (o.kind != Kind::signed_record) {
                start = next;
                continue;
            }
            if (!banded) {
                hasher.sign(text, me.scratch, into.signatures + line * stride);
            } else {
                me.pending.resize(kPending * num_perm);
                hasher.sign(text, me.scratch, me.pending.data() + me.waiting * num_perm);
                me.lines[me.waiting] = line;
                me.empty[me.waiting] = me.scratch.shingles.empty();
                if (++me.waiting == kPending) {
                    key_pending(me);
                }
            }
            start = next;
        }
        hasher.flush(me.scratch);
        if (!ok || line != lines_end) {
            return fail(); // fewer lines than counted: the file changed
        }
        if (me.waiting != 0) {
            key_pending(me);
        }
        if (done != nullptr) {
            done->fetch_add(b - a, std::memory_order_relaxed);
        }
        if (follow.joinable()) {
            {
                const std::lock_guard<std::mutex> lock(follow_lock);
                finished[k] = 1;
            }
            follow_wake.notify_one();
        }
    });
    stop_following();
    if (give_up.load() || (cancel != nullptr && cancel->load())) {
        scan.taken = false;
        return scan;
    }
    // Records in order, and their rows moved up over those of the lines that are no records or
    // were not signed (none move in the usual file without blank lines).
    std::size_t records = 0, signed_rows = 0;
    for (std::size_t line = 0; line < total; ++line) {
        const LineOut &o = out[line];
        records += o.kind != Kind::none;
        if (o.kind != Kind::signed_record) {
            continue;
        }
        if (signed_rows != line && banded) {
            std::memmove(into.banded + signed_rows * stride,
                         into.banded + line * stride,
                         stride * sizeof(uint64_t));
        } else if (signed_rows != line) {
            std::memmove(into.signatures + signed_rows * stride,
                         into.signatures + line * stride,
                         stride * sizeof(uint32_t));
        }
        ++signed_rows;
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
        if (want_ids && r != line) {
            scan.ids[r] = std::move(scan.ids[line]);
            scan.id_is_number[r] = scan.id_is_number[line];
        }
        if (want_values && r != line) {
            scan.values[r] = std::move(scan.values[line]);
        }
        ++r;
    }
    scan.ids.resize(want_ids ? records : 0);
    scan.id_is_number.resize(want_ids ? records : 0);
    scan.values.resize(want_values ? records : 0);
    scan.signed_rows = signed_rows;
    return scan;
}

} // namespace veltrane::linefiles
