// A file's way in: opened and stat'ed, taken from the cache when unchanged there, read whole
// into the worker's batch when short, else streamed a piece at a time.
#include "common/wait.hpp"
#include "dedup/tree_run.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>

namespace veltrane::dedup::tree_run {

namespace {

// Reads from `offset` until `size` bytes are in or the file ends; the count read, or -1 with
// errno.
ssize_t read_full(int fd, unsigned char *into, std::size_t size, uint64_t offset) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(fd, into + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

int64_t nanoseconds(const struct timespec &t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

int open_file(const files::Entry &entry) {
    return entry.open(O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

} // namespace

bool Run::from_cache(Slot &s) {
    const CachedFile *found = options_.cache->find(s.entry.path);
    struct stat st;
    if (found == nullptr || s.entry.stat(st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    const CachedFile &c = *found;
    if (c.size != static_cast<uint64_t>(st.st_size) || c.inode != st.st_ino ||
        c.mtime_ns != nanoseconds(st.st_mtim) || c.ctime_ns != nanoseconds(st.st_ctim)) {
        return false;
    }
    s.key = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    if (!claim(s.key, s.index)) {
        s.outcome = Slot::Outcome::same_file;
        return true;
    }
    Blake3 content;
    const uint64_t *lengths = options_.cache->lengths(c);
    const Digest *digests = options_.cache->digests(c);
    s.chunks.reserve(c.chunks);
    for (std::size_t i = 0; i < c.chunks; ++i) {
        s.chunks.push_back({lengths[i], digests[i]});
    }
    content.update(digests, c.chunks * kDigestSize);
    s.stats.content = content.digest();
    s.stats.cached = true;
    s.stats.inode = c.inode;
    s.stats.mtime_ns = c.mtime_ns;
    s.stats.ctime_ns = c.ctime_ns;
    return true;
}

void Run::process(Slot &s, Buffers &bufs) {
    if (options_.cache != nullptr && from_cache(s)) {
        return;
    }
    const Fd fd(open_file(s.entry));
    struct stat st;
    if (opened(s, fd, st)) {
        stream(s, fd, bufs, static_cast<uint64_t>(st.st_size));
    }
}

bool Run::opened(Slot &s, const Fd &fd, struct stat &st) {
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
        s.outcome = Slot::Outcome::error;
        s.error = errno;
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        s.outcome = Slot::Outcome::special;
        return false;
    }
    s.key = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    if (!claim(s.key, s.index)) {
        s.outcome = Slot::Outcome::same_file;
        return false;
    }
    s.stats.inode = static_cast<uint64_t>(st.st_ino);
    s.stats.mtime_ns = nanoseconds(st.st_mtim);
    s.stats.ctime_ns = nanoseconds(st.st_ctim);
    return true;
}

void Run::take(Slot &s, Buffers &bufs, Batch &b) {
    b.pending.push_back(&s);
    if (cancelled_) {
        s.outcome = Slot::Outcome::cancelled;
        return;
    }
    if (s.entry.kind == files::Entry::Kind::error) {
        s.outcome = Slot::Outcome::error;
        s.error = s.entry.error;
        return;
    }
    if (s.entry.kind == files::Entry::Kind::special) {
        s.outcome = Slot::Outcome::special;
        return;
    }
    if (options_.cache != nullptr && from_cache(s)) {
        return;
    }
    const Fd fd(open_file(s.entry));
    struct stat st;
    if (!opened(s, fd, st)) {
        return;
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    if (size < small_) {
        if (size + 1 > kBatchBytes - b.used) {
            b.pending.pop_back();
            settle(b);
            b.pending.push_back(&s);
        }
        // One byte more than stat saw, to see the end: a file that grew is read in pieces. A
        // first read that returns just the size stat saw ends it (a regular file reads short
        // only at its end), which saves a second read per file.
        ssize_t got = pread(fd.get(), b.data.get() + b.used, size + 1, 0);
        if (got < 0 && errno == EINTR) {
            got = 0;
        }
        if (got >= 0 && static_cast<uint64_t>(got) != size) {
            const ssize_t more = read_full(fd.get(),
                                           b.data.get() + b.used + got,
                                           size + 1 - static_cast<uint64_t>(got),
                                           static_cast<uint64_t>(got));
            got = more < 0 ? more : got + more;
        }
        if (got < 0) {
            s.outcome = Slot::Outcome::error;
            s.error = errno;
            return;
        }
        bytes_read_.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
        if (static_cast<uint64_t>(got) <= size) {
            b.files.push_back({&s, b.used, static_cast<std::size_t>(got), 0, 0});
            b.used += static_cast<std::size_t>(got);
            return;
        }
        // Streamed from its start again (pieces are read at their offsets).
        bytes_read_.fetch_sub(static_cast<uint64_t>(got), std::memory_order_relaxed);
    }
    // A long file waits for its turn to look up its chunks: the files before it go first.
    b.pending.pop_back();
    settle(b);
    b.pending.push_back(&s);
    stream(s, fd, bufs, size);
}

void Run::post(Fetch &f) {
    const std::lock_guard<std::mutex> lock(mu_);
    f.state = Fetch::State::open;
    fetches_.push_back(&f);
    work_cv_.notify_all();
    job_cv_.notify_all();
}

Fetch *Run::open_fetch() const {
    return fetches_.empty() ? nullptr : fetches_.front();
}

void Run::fetch(Fetch &f, bool cut, std::unique_lock<std::mutex> &lock) {
    fetches_.erase(std::find(fetches_.begin(), fetches_.end(), &f));
    f.state = Fetch::State::taken;
    lock.unlock();
    try {
        Buffer &b = *f.piece;
        unsigned char *into = b.data.get() + f.front;
        const ssize_t got = read_full(f.fd, into, read_size_, f.offset);
        if (got < 0) {
            f.error = errno;
        } else {
            f.got = static_cast<std::size_t>(got);
            bytes_read_.fetch_add(f.got, std::memory_order_relaxed);
            if (cut && f.got != 0) {
                cutter_.ends(into, f.got, b.run);
                f.cut = true;
            }
        }
    } catch (...) {
        f.failure = std::current_exception();
    }
    lock.lock();
    f.state = Fetch::State::done;
    job_cv_.notify_all();
}

void Run::await(Fetch &f, bool drop) {
    std::unique_lock<std::mutex> lock(mu_);
    if (f.state == Fetch::State::open) {
        if (drop) {
            fetches_.erase(std::find(fetches_.begin(), fetches_.end(), &f));
            f.state = Fetch::State::done;
        } else {
            fetch(f, false, lock);
        }
        return;
    }
    while (f.state != Fetch::State::done) {
        if (help_any(lock)) {
            continue;
        }
        wait_for_true(job_cv_, lock, [&] { return f.state == Fetch::State::done || queued(); });
    }
}

void Run::stream(Slot &s, const Fd &fd, Buffers &bufs, uint64_t size) {
    // Room in front of a piece for the chunk carried into it, which is shorter than the
    // longest; at most a piece, for chunkers whose longest chunk is huge (a longer carry moves
    // the piece, in join).
    const std::size_t front =
        static_cast<std::size_t>(std::min<uint64_t>(cutter_.longest(), read_size_));
    // Piece i holds bytes [i * read_size, (i + 1) * read_size) of the file, in pieces[i % n];
    // it is queued to read when its buffer is free, joined to the one before in order, then
    // digested as jobs[i % n] by idle workers (and by this one when it waits) while the pieces
    // after it are read. Pieces [next, posted) are queued or read, [first, next) joined and
    // in flight, collected in order.
    constexpr std::size_t n = kPieces;
    Buffer *const pieces = bufs.pieces;
    Fetch fetches[n];
    DigestJob jobs[n];
    Blake3 content;
    std::size_t first = 0;
    std::size_t next = 0;
    std::size_t posted = 0;
    auto collect = [&] {
        Buffer &piece = pieces[first % n];
        digest(jobs[first % n]);
        ++first;
        for (const Chunk &c : piece.digested) {
            content.update(c.digest.data(), c.digest.size());
        }
        s.chunks.insert(s.chunks.end(), piece.digested.begin(), piece.digested.end());
    };
    // Every way out waits for the pieces and jobs: helpers may still be using the buffers.
    struct Settle {
        std::function<void()> run;
        ~Settle() {
            run();
        }
    } settle {[&] {
        for (std::size_t i = next; i < posted; ++i) {
            await(fetches[i % n], true);
        }
        for (; first < next; ++first) {
            digest(jobs[first % n]);
        }
    }};
    // Alone, a worker reads each piece when it is due.
    const std::size_t ahead = workers_ == 1 ? 1 : n - 1;
    const std::size_t last_expected = static_cast<std::size_t>(size / read_size_);
    std::size_t carried = 0;
    for (;;) {
        // A piece's buffer is free once the piece n before it is collected and the one after
        // that has taken its carried bytes. Pieces past the size seen are read only when due:
        // the file may have grown.
        while (posted < next + ahead && (posted == next || posted <= last_expected)) {
            if (posted - first == n) {
                collect();
            }
            Buffer &b = pieces[posted % n];
            b.reserve(front + read_size_);
            Fetch &f = fetches[posted % n];
            f = Fetch {&b, fd.get(), static_cast<uint64_t>(posted) * read_size_, front};
            post(f);
            ++posted;
        }
        Fetch &f = fetches[next % n];
        await(f, false);
        if (f.failure) {
            std::rethrow_exception(f.failure);
        }
        if (f.error != 0) {
            s.outcome = Slot::Outcome::error;
            s.error = f.error;
            return;
        }
        // A regular file reads short only at its end.
        const bool ended = f.got < read_size_;
        Buffer &cur = *f.piece;
        join(f, next == 0 ? nullptr : &pieces[(next - 1) % n], carried, ended);
        if (cancelled_.load(std::memory_order_relaxed)) {
            s.outcome = Slot::Outcome::cancelled;
            return;
        }
        if (s.chunks.size() >= kFlushChunks && !flush(s)) {
            return;
        }
        share(cur, jobs[next % n]);
        ++next;
        // Alone, a piece is digested while it is still in the cache.
        if (workers_ == 1) {
            collect();
        }
        if (ended) {
            while (first < next) {
                collect();
            }
            break;
        }
        carried = cur.filled - cur.begin -
                  (cur.ends.empty() ? 0 : static_cast<std::size_t>(cur.ends.back()));
    }
    s.stats.content = content.digest();
}

void Run::join(Fetch &f, const Buffer *before, std::size_t carried, bool ended) {
    Buffer &cur = *f.piece;
    const unsigned char *carry =
        before == nullptr ? nullptr : before->data.get() + before->filled - carried;
    if (carried <= f.front) {
        cur.begin = f.front - carried;
        cur.filled = f.front + f.got;
    } else {
        // Longer than the room in front: the piece moves behind it.
        const std::size_t grown_size = carried + read_size_;
        std::unique_ptr<unsigned char[]> grown(new unsigned char[grown_size]);
        std::memcpy(grown.get() + carried, cur.data.get() + f.front, f.got);
        cur.data = std::move(grown);
        cur.size = grown_size;
        cur.begin = 0;
        cur.filled = carried + f.got;
    }
    if (carried != 0) {
        std::memcpy(cur.data.get() + cur.begin, carry, carried);
    }
    const unsigned char *const data = cur.data.get() + cur.begin;
    const std::size_t total = carried + f.got;
    std::vector<uint64_t> &ends = cur.ends;
    ends.clear();
    if (total == 0) {
        return;
    }
    if (!f.cut) {
        cutter_.ends(data, total, ends);
    } else {
        // The true chunking walks on from the last true cut (in the carried bytes) until it
        // meets the piece's own cuts, or its start; from there on those are the true ones.
        // Random data meets them within a chunk or two. Data that never meets them (cut only
        // at the longest length, say) is cut whole after a few steps, as a piece read by its
        // owner would be.
        const std::vector<uint64_t> &run = cur.run;
        std::size_t pos = 0;
        std::size_t j = 0;
        for (int steps = 0;; ++steps) {
            while (j < run.size() && carried + run[j] < pos) {
                ++j;
            }
            const bool at_start = pos == carried;
            if (at_start || (j < run.size() && carried + run[j] == pos)) {
                for (std::size_t k = at_start ? 0 : j + 1; k < run.size(); ++k) {
                    ends.push_back(carried + run[k]);
                }
                break;
            }
            if (pos == total) {
                break;
            }
            if (steps == kJoinSteps) {
                std::vector<uint64_t> &rest = cur.run; // not needed any more
                cutter_.ends(data + pos, total - pos, rest);
                for (const uint64_t end : rest) {
                    ends.push_back(pos + end);
                }
                break;
            }
            pos += cutter_.cut(data + pos, total - pos);
            ends.push_back(pos);
        }
    }
    // The last chunk ends where the piece does; more input could move its cut, unless the
    // input is over or the chunk reached the longest length.
    const uint64_t last_start = ends.size() > 1 ? ends[ends.size() - 2] : 0;
    if (!ended && total - last_start != cutter_.longest()) {
        ends.pop_back();
    }
}

} // namespace veltrane::dedup::tree_run
