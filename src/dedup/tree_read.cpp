// A file's way in: opened and stat'ed, taken from the cache when unchanged there, read whole
// into the worker's batch when short, else streamed a piece at a time.
#include "dedup/tree_run.hpp"

#include <cerrno>
#include <fcntl.h>
#include <functional>

namespace veltrane::dedup::tree_run {

namespace {

// Reads until `size` bytes are in or the file ends; the count read, or -1 with errno.
ssize_t read_full(int fd, unsigned char *into, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, into + got, size - got);
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
        stream(s, fd, bufs);
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
        ssize_t got = read(fd.get(), b.data.get() + b.used, size + 1);
        if (got < 0 && errno == EINTR) {
            got = 0;
        }
        if (got >= 0 && static_cast<uint64_t>(got) != size) {
            const ssize_t more = read_full(
                fd.get(), b.data.get() + b.used + got, size + 1 - static_cast<uint64_t>(got));
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
        bytes_read_.fetch_sub(static_cast<uint64_t>(got), std::memory_order_relaxed);
        if (lseek(fd.get(), 0, SEEK_SET) != 0) {
            s.outcome = Slot::Outcome::error;
            s.error = errno;
            return;
        }
    }
    // A long file waits for its turn to look up its chunks: the files before it go first.
    b.pending.pop_back();
    settle(b);
    b.pending.push_back(&s);
    stream(s, fd, bufs);
}

void Run::stream(Slot &s, const Fd &fd, Buffers &bufs) {
    const uint64_t longest = cutter_.longest();
    // A carried chunk is shorter than the longest, so this much holds it and one read.
    const std::size_t bound = longest > SIZE_MAX - read_size_
                                  ? SIZE_MAX
                                  : read_size_ + static_cast<std::size_t>(longest);
    Blake3 content;
    // Piece i is read into pieces[i % n] and digested as jobs[i % n] (by idle workers, and by
    // this one when it waits for an older piece) while the pieces after it are read and cut;
    // pieces [first, next) are in flight, and are collected in order.
    constexpr std::size_t n = kPiecesInFlight + 1;
    Buffer *const pieces = bufs.pieces;
    DigestJob jobs[n];
    std::size_t first = 0;
    std::size_t next = 0;
    auto collect = [&] {
        Buffer &piece = pieces[first % n];
        digest(jobs[first % n]);
        ++first;
        for (const Chunk &c : piece.digested) {
            content.update(c.digest.data(), c.digest.size());
        }
        s.chunks.insert(s.chunks.end(), piece.digested.begin(), piece.digested.end());
    };
    // Every way out waits for the jobs: helpers may still be reading the buffers.
    struct Settle {
        std::function<void()> run;
        ~Settle() {
            run();
        }
    } settle {[&] {
        for (; first < next; ++first) {
            digest(jobs[first % n]);
        }
    }};
    std::size_t carried = 0;
    for (;;) {
        if (next - first == n) {
            collect();
        }
        Buffer *cur = &pieces[next % n];
        cur->reserve(carried + read_size_, bound, 0);
        // The unfinished last chunk of the piece before, still in flight (only read there).
        if (carried != 0) {
            const Buffer &before = pieces[(next - 1) % n];
            std::memcpy(cur->data.get(), before.data.get() + before.filled - carried, carried);
        }
        const std::size_t room = cur->size - carried;
        const ssize_t got = read_full(fd.get(), cur->data.get() + carried, room);
        if (got < 0) {
            s.outcome = Slot::Outcome::error;
            s.error = errno;
            return;
        }
        bytes_read_.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
        const std::size_t filled = carried + static_cast<std::size_t>(got);
        const bool ended = static_cast<std::size_t>(got) < room;
        cur->filled = filled;
        cur->ends.clear();
        if (filled > 0) {
            cutter_.ends(cur->data.get(), filled, cur->ends);
            // The last chunk ends where the buffer does; more input could move its cut,
            // unless the input is over or the chunk reached the longest length.
            const uint64_t last_start = cur->ends.size() > 1 ? cur->ends[cur->ends.size() - 2] : 0;
            if (!ended && filled - last_start != longest) {
                cur->ends.pop_back();
            }
        }
        if (cancelled_.load(std::memory_order_relaxed)) {
            s.outcome = Slot::Outcome::cancelled;
            return;
        }
        if (s.chunks.size() >= kFlushChunks && !flush(s)) {
            return;
        }
        share(*cur, jobs[next % n]);
        ++next;
        if (ended) {
            while (first < next) {
                collect();
            }
            break;
        }
        carried = filled - (cur->ends.empty() ? 0 : static_cast<std::size_t>(cur->ends.back()));
    }
    s.stats.content = content.digest();
}

} // namespace veltrane::dedup::tree_run
