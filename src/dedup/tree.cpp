#include "dedup/tree.hpp"

#include "chunk/cdc.hpp"
#include "common/wait.hpp"
#include "files/walk.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace veltrane::dedup {

namespace {

// Device and inode: a file reached twice, by another link or the same path, is read once.
using FileKey = std::pair<uint64_t, uint64_t>;

struct Chunk {
    uint64_t length;
    Digest digest;
};

// A file holds back at most this many digested chunks before it waits for its turn to look
// them up (a long file then no longer needs memory in proportion to its length).
constexpr std::size_t kFlushChunks = std::size_t {1} << 14;
// Files taken ahead of the oldest one not yet looked up, per thread.
constexpr std::size_t kAheadPerThread = 128;
// and at most this many in all: each may hold its directory open (files/walk.hpp), and the
// descriptors a process may have open are often limited to 1024.
constexpr std::size_t kAheadMost = 512;

// Files taken ahead: a quarter of the descriptors this process may open at most, so that the
// directories held open never leave a file unopened.
std::size_t files_ahead(std::size_t workers) {
    std::size_t most = std::min(kAheadPerThread * workers, kAheadMost);
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        most = std::min(most, std::max<std::size_t>(limit.rlim_cur / 4, 2));
    }
    return most;
}

class Cutter {
public:
    explicit Cutter(const Chunking &c)
        : gear_(c.gear), cdc_(c.gear != nullptr ? 1 : c.cdc_chunk_size),
          longest_(c.gear != nullptr                   ? c.gear->max_size()
                   : c.cdc_chunk_size > UINT64_MAX / 2 ? UINT64_MAX
                                                       : 2 * c.cdc_chunk_size) {}

    // The ends of the chunks of data[0, size), size > 0.
    void ends(const unsigned char *data, std::size_t size, std::vector<uint64_t> &out) const {
        out.clear();
        if (gear_ != nullptr) {
            // One thread per file: files keep every core busy.
            const std::vector<int64_t> e = gear_->cut_points(data, size, 1);
            out.assign(e.begin(), e.end());
        } else {
            cdc_.for_each_chunk(data, size, [&](std::size_t offset, std::size_t length) {
                out.push_back(offset + length);
            });
        }
    }
    // The longest chunk; a chunk this long ends there whatever follows.
    uint64_t longest() const {
        return longest_;
    }

private:
    const gear::GearCDC *gear_;
    CDC cdc_;
    uint64_t longest_;
};

// One file (or walk entry) on its way through: taken by a worker, read, then looked up in
// turn.
struct Slot {
    enum class Outcome { counted, error, special, same_file, cancelled };

    files::Entry entry;
    std::size_t index = 0;
    bool ready = false;
    Outcome outcome = Outcome::counted;
    int error = 0;
    FileKey key {};
    std::vector<Chunk> chunks; // digested, not yet looked up
    // Some chunks were looked up before the file was done; `seen_before` is the size of the
    // set before the first of them, so that a failure later can take them back.
    bool flushed = false;
    std::size_t seen_before = 0;
    FileStats stats;
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const {
        return fd_;
    }

private:
    int fd_;
};

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

struct Buffer {
    std::unique_ptr<unsigned char[]> data;
    std::size_t size = 0;
    std::vector<uint64_t> ends;
    std::vector<Chunk> digested;

    // Room for at least `want` bytes (at most `bound`), keeping the first `keep`.
    void reserve(std::size_t want, std::size_t bound, std::size_t keep) {
        if (size >= want) {
            return;
        }
        const std::size_t grown_size = std::min(bound, std::max(want, 2 * size));
        std::unique_ptr<unsigned char[]> grown(new unsigned char[grown_size]);
        if (keep != 0) {
            std::memcpy(grown.get(), data.get(), keep);
        }
        data = std::move(grown);
        size = grown_size;
    }
};

// A worker's two buffers: one is read and cut while the chunks of the other are digested.
struct Buffers {
    Buffer one, two;
};

// Files up to this size are read whole into a worker's batch, and their chunks digested
// together: one file of a few KiB has too few chunks to fill BLAKE3's SIMD lanes.
constexpr std::size_t kSmallFile = std::size_t {256} << 10;
constexpr std::size_t kBatchBytes = std::size_t {4} << 20;
// Slots a worker takes at a time, at most.
constexpr std::size_t kBatchFiles = 32;

struct Batch {
    struct File {
        Slot *slot;
        std::size_t begin, size;  // in data
        std::size_t first, count; // its chunks in spans
    };
    std::unique_ptr<unsigned char[]> data {new unsigned char[kBatchBytes]};
    std::size_t used = 0;
    std::vector<File> files;
    std::vector<Slot *> pending; // taken, in order, not finished yet
    std::vector<uint64_t> ends;
    std::vector<ByteSpan> spans;
    std::vector<Digest> digests;
    std::vector<ByteSpan> contents;
    std::vector<Digest> content_digests;
    Blake3Many many;
};

// Chunks handed out at a time, at least: enough to fill most SIMD lanes of BLAKE3 with chunks
// of one index and length (see Blake3Many; measured on 8 KiB chunks, 256 a call ran at 0.7 of
// the speed of one long message, 1024 at 0.85); 512 chunks of 8 KiB keep a helper busy for
// about 1 ms. A piece is cut in about two batches per worker.
constexpr std::size_t kDigestBatch = 512;
constexpr std::size_t kDigestBatchMost = 2048;

// The digests of one piece's chunks, which idle workers help with.
struct DigestJob {
    Buffer *piece = nullptr;
    std::size_t count = 0;
    std::size_t batch = kDigestBatch;
    std::atomic<std::size_t> next {0};
    // Under Run::mu_:
    std::size_t finished = 0;
    unsigned helpers = 0;
};

// Fewer chunks than this are digested by the reader alone.
constexpr std::size_t kShareChunks = 32;

std::size_t digest_batches(DigestJob &job) {
    Buffer &b = *job.piece;
    Chunk *out = b.digested.data();
    std::size_t done = 0;
    for (;;) {
        const std::size_t first = job.next.fetch_add(job.batch, std::memory_order_relaxed);
        if (first >= job.count) {
            return done;
        }
        const std::size_t last = std::min(job.count, first + job.batch);
        thread_local Blake3Many many;
        thread_local std::vector<ByteSpan> spans;
        thread_local std::vector<Digest> digests;
        spans.resize(last - first);
        digests.resize(last - first);
        for (std::size_t i = first; i < last; ++i) {
            const uint64_t start = i == 0 ? 0 : b.ends[i - 1];
            spans[i - first] = {b.data.get() + start, static_cast<std::size_t>(b.ends[i] - start)};
        }
        many.digest(spans.data(), last - first, digests.data());
        for (std::size_t i = first; i < last; ++i) {
            out[i] = {spans[i - first].size, digests[i - first]};
        }
        done += last - first;
    }
}

class Run {
public:
    Run(const Chunking &chunking, const TreeOptions &options, DigestSet &seen)
        : cutter_(chunking), options_(options), seen_(seen),
          workers_(static_cast<std::size_t>(std::max(1, options.threads))),
          window_(files_ahead(workers_)), read_size_(std::max<std::size_t>(options.read_size, 1)),
          small_(std::min(kSmallFile, read_size_)) {}

    TreeReport run(const std::vector<std::string> &paths);

private:
    void work();
    void process(Slot &s, Buffers &bufs);
    // Opens s's file: false when s is settled without reading it (an error, not a regular
    // file, or a file another slot reads).
    bool opened(Slot &s, const Fd &fd, struct stat &st);
    // Reads and digests s's file a piece at a time.
    void stream(Slot &s, const Fd &fd, Buffers &bufs);
    // Takes s into the batch: a short file is read whole into it, a long one streamed after
    // the batch so far is settled.
    void take(Slot &s, Buffers &bufs, Batch &b);
    // Cuts and digests the batch's files together, and finishes its slots.
    void settle(Batch &b);
    // Takes s's chunks from the cache when the file there is unchanged; false to read it.
    bool from_cache(Slot &s);
    // Digests the chunks of `piece` (its ends) into its `digested`, sharing the work with
    // idle workers; returns once all are done.
    void digest(Buffer &piece, DigestJob &job, bool started);
    void share(Buffer &piece, DigestJob &job);
    bool claim(const FileKey &key, std::size_t index);
    // Waits for s's turn and looks up its chunks so far; false when the file was counted
    // already or the run is cancelled, so reading it can stop.
    bool flush(Slot &s);
    void look_up(Slot &s);
    // Marks the slots ready and, unless another thread is doing it, looks up every ready slot
    // in turn.
    void finish(Slot *const *slots, std::size_t count);
    void commit(Slot &s);
    void fail(std::exception_ptr e);

    Cutter cutter_;
    const TreeOptions &options_;
    DigestSet &seen_;
    const std::size_t workers_;
    const std::size_t window_;
    const std::size_t read_size_;
    // Files shorter than this are batched; a longer one takes more than one read.
    const std::size_t small_;
    TreeReport report_;

    std::mutex mu_;
    std::condition_variable work_cv_; // a slot to take, or the end
    std::condition_variable turn_cv_; // the turn moved
    std::condition_variable walk_cv_; // the window has room, or the run is over
    std::condition_variable job_cv_;  // a shared digest job was finished
    DigestJob *shared_ = nullptr;     // the digest job idle workers help with
    std::deque<std::unique_ptr<Slot>> slots_;
    std::size_t base_ = 0;   // index of slots_.front()
    std::size_t pushed_ = 0; // slots made so far
    std::size_t taken_ = 0;
    std::size_t turn_ = 0; // the next slot to look up
    bool walked_ = false;
    bool committing_ = false;
    std::atomic<bool> cancelled_ {false};
    std::exception_ptr failure_;

    std::atomic<uint64_t> bytes_read_ {0};
    std::mutex claims_mu_;
    std::map<FileKey, std::size_t> claims_; // the first slot to read each file
    std::set<FileKey> counted_;             // files whose chunks were looked up
};

bool Run::claim(const FileKey &key, std::size_t index) {
    const std::lock_guard<std::mutex> lock(claims_mu_);
    auto [it, inserted] = claims_.emplace(key, index);
    if (inserted) {
        return true;
    }
    if (it->second < index) {
        return false;
    }
    // Taken out of order by a later slot: this one reads it too, and the lookup in order
    // decides which one counts.
    it->second = index;
    return true;
}

void Run::share(Buffer &piece, DigestJob &job) {
    job.piece = &piece;
    job.count = piece.ends.size();
    job.batch = workers_ == 1
                    ? std::max<std::size_t>(job.count, 1)
                    : std::clamp(job.count / (2 * workers_), kDigestBatch, kDigestBatchMost);
    job.next = 0;
    job.finished = 0;
    job.helpers = 0;
    piece.digested.resize(job.count);
    if (job.count < kShareChunks) {
        return;
    }
    const std::lock_guard<std::mutex> lock(mu_);
    if (shared_ == nullptr) {
        shared_ = &job;
        work_cv_.notify_all();
    }
}

void Run::digest(Buffer &piece, DigestJob &job, bool started) {
    if (!started) {
        share(piece, job);
    }
    const std::size_t done = digest_batches(job);
    std::unique_lock<std::mutex> lock(mu_);
    job.finished += done;
    wait_for_true(job_cv_, lock, [&] { return job.finished == job.count && job.helpers == 0; });
    if (shared_ == &job) {
        shared_ = nullptr;
    }
}

int64_t nanoseconds(const struct timespec &t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

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

int open_file(const files::Entry &entry) {
    return entry.open(O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
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

void Run::settle(Batch &b) {
    try {
        b.spans.clear();
        for (Batch::File &f : b.files) {
            f.first = b.spans.size();
            if (f.size != 0) {
                const unsigned char *data = b.data.get() + f.begin;
                cutter_.ends(data, f.size, b.ends);
                uint64_t start = 0;
                for (const uint64_t end : b.ends) {
                    b.spans.push_back({data + start, static_cast<std::size_t>(end - start)});
                    start = end;
                }
            }
            f.count = b.spans.size() - f.first;
        }
        b.digests.resize(b.spans.size());
        b.many.digest(b.spans.data(), b.spans.size(), b.digests.data());
        // Each file's content digest is that of its chunk digests, which lie in a row.
        // Through a byte pointer: a batch of empty files has no digest, and no array to
        // call data() on.
        const auto *row = reinterpret_cast<const unsigned char *>(b.digests.data());
        b.contents.clear();
        for (const Batch::File &f : b.files) {
            b.contents.push_back({row + f.first * kDigestSize, f.count * kDigestSize});
        }
        b.content_digests.resize(b.files.size());
        b.many.digest(b.contents.data(), b.contents.size(), b.content_digests.data());
        for (std::size_t i = 0; i < b.files.size(); ++i) {
            const Batch::File &f = b.files[i];
            Slot &s = *f.slot;
            s.chunks.resize(f.count);
            for (std::size_t k = 0; k < f.count; ++k) {
                s.chunks[k] = {b.spans[f.first + k].size, b.digests[f.first + k]};
            }
            s.stats.content = b.content_digests[i];
        }
    } catch (...) {
        for (const Batch::File &f : b.files) {
            f.slot->outcome = Slot::Outcome::cancelled;
        }
        fail(std::current_exception());
    }
    finish(b.pending.data(), b.pending.size());
    b.files.clear();
    b.pending.clear();
    b.used = 0;
}

void Run::stream(Slot &s, const Fd &fd, Buffers &bufs) {
    const uint64_t longest = cutter_.longest();
    // A carried chunk is shorter than the longest, so this much holds it and one read.
    const std::size_t bound = longest > SIZE_MAX - read_size_
                                  ? SIZE_MAX
                                  : read_size_ + static_cast<std::size_t>(longest);
    Blake3 content;
    // While the chunks of one buffer are digested (by idle workers, and by this one when it
    // has read and cut the next piece), the next piece is read into the other.
    Buffer *cur = &bufs.one;
    Buffer *other = &bufs.two;
    DigestJob job;
    Buffer *in_flight = nullptr;
    auto collect = [&] {
        digest(*in_flight, job, true);
        for (const Chunk &c : in_flight->digested) {
            content.update(c.digest.data(), c.digest.size());
        }
        s.chunks.insert(s.chunks.end(), in_flight->digested.begin(), in_flight->digested.end());
        in_flight = nullptr;
    };
    // Every way out waits for the job: helpers may still be reading the buffer.
    struct Settle {
        std::function<void()> run;
        ~Settle() {
            run();
        }
    } settle {[&] {
        if (in_flight != nullptr) {
            digest(*in_flight, job, true);
        }
    }};
    std::size_t carried = 0;
    for (;;) {
        cur->reserve(carried + read_size_, bound, carried);
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
        if (in_flight != nullptr) {
            collect();
        }
        if (cancelled_.load(std::memory_order_relaxed)) {
            s.outcome = Slot::Outcome::cancelled;
            return;
        }
        if (s.chunks.size() >= kFlushChunks && !flush(s)) {
            return;
        }
        share(*cur, job);
        in_flight = cur;
        if (ended) {
            collect();
            break;
        }
        carried = filled - (cur->ends.empty() ? 0 : static_cast<std::size_t>(cur->ends.back()));
        other->reserve(carried + read_size_, bound, 0);
        std::memcpy(other->data.get(), cur->data.get() + (filled - carried), carried);
        std::swap(cur, other);
    }
    s.stats.content = content.digest();
}

bool Run::flush(Slot &s) {
    {
        std::unique_lock<std::mutex> lock(mu_);
        wait_for_true(turn_cv_, lock, [&] { return turn_ == s.index || cancelled_; });
        if (cancelled_) {
            s.outcome = Slot::Outcome::cancelled;
            return false;
        }
    }
    // Our turn: no other thread looks anything up until this slot is done.
    if (!s.flushed) {
        if (counted_.count(s.key) != 0) {
            s.outcome = Slot::Outcome::same_file;
            s.chunks.clear();
            return false;
        }
        s.flushed = true;
        s.seen_before = seen_.size();
        counted_.insert(s.key);
    }
    look_up(s);
    return true;
}

void Run::look_up(Slot &s) {
    FileStats &f = s.stats;
    if (options_.record && !f.cached) {
        for (const Chunk &c : s.chunks) {
            f.lengths.push_back(c.length);
            f.digests.push_back(c.digest);
        }
    }
    for (const Chunk &c : s.chunks) {
        const bool fresh = seen_.insert(c.digest);
        f.min_chunk = f.chunks == 0 ? c.length : std::min(f.min_chunk, c.length);
        f.max_chunk = std::max(f.max_chunk, c.length);
        f.bytes += c.length;
        ++f.chunks;
        if (fresh) {
            f.unique_bytes += c.length;
            ++f.unique_chunks;
        }
    }
    s.chunks.clear();
    s.chunks.shrink_to_fit();
}

void Run::commit(Slot &s) {
    using O = Slot::Outcome;
    switch (s.outcome) {
    case O::cancelled:
        return;
    case O::error:
        if (s.flushed) {
            seen_.truncate(s.seen_before);
            counted_.erase(s.key);
        }
        report_.errors.push_back({std::move(s.entry.path), s.error});
        return;
    case O::special:
        report_.skipped.push_back({std::move(s.entry.path), Skipped::Why::special});
        return;
    case O::same_file:
        if (counted_.count(s.key) == 0 && !s.flushed) {
            // The link read first failed; this one is read now, in its turn.
            s.outcome = O::counted;
            Buffers bufs;
            {
                const std::lock_guard<std::mutex> lock(claims_mu_);
                claims_[s.key] = s.index;
            }
            process(s, bufs);
            commit(s);
            return;
        }
        report_.skipped.push_back({std::move(s.entry.path), Skipped::Why::same_file});
        return;
    case O::counted:
        if (!s.flushed) {
            if (counted_.count(s.key) != 0) {
                report_.skipped.push_back({std::move(s.entry.path), Skipped::Why::same_file});
                return;
            }
            counted_.insert(s.key);
        }
        look_up(s);
        s.stats.path = std::move(s.entry.path);
        report_.files.push_back(std::move(s.stats));
        return;
    }
}

void Run::fail(std::exception_ptr e) {
    const std::lock_guard<std::mutex> lock(mu_);
    if (!failure_) {
        failure_ = e;
    }
    cancelled_ = true;
    turn_cv_.notify_all();
    walk_cv_.notify_all();
}

void Run::finish(Slot *const *slots, std::size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    for (std::size_t i = 0; i < count; ++i) {
        slots[i]->ready = true;
    }
    if (committing_) {
        return;
    }
    committing_ = true;
    while (!slots_.empty() && slots_.front()->ready) {
        std::unique_ptr<Slot> front = std::move(slots_.front());
        slots_.pop_front();
        ++base_;
        lock.unlock();
        if (!cancelled_) {
            try {
                commit(*front);
            } catch (...) {
                fail(std::current_exception());
            }
        }
        front.reset();
        lock.lock();
        ++turn_;
    }
    committing_ = false;
    // Once for all the slots looked up: a long file may be waiting for its turn.
    turn_cv_.notify_all();
    if (walked_ && turn_ == pushed_) {
        work_cv_.notify_all();
        walk_cv_.notify_all();
    } else if (!walked_ && pushed_ - turn_ <= window_ / 2) {
        walk_cv_.notify_all();
    }
}

void Run::work() {
    Buffers bufs;
    Batch batch;
    Slot *taken[kBatchFiles];
    for (;;) {
        std::size_t count = 0;
        {
            std::unique_lock<std::mutex> lock(mu_);
            const auto helpable = [&] {
                return shared_ != nullptr && shared_->next.load() < shared_->count;
            };
            // A worker with nothing to take stays until every file is done: the long file
            // another worker is reading may still want help.
            const auto over = [&] { return walked_ && turn_ == pushed_; };
            wait_for_true(
                work_cv_, lock, [&] { return helpable() || taken_ < pushed_ || over(); });
            // Digests of a piece already read come first: its file holds up the lookups.
            if (helpable()) {
                DigestJob &job = *shared_;
                ++job.helpers;
                lock.unlock();
                const std::size_t done = digest_batches(job);
                lock.lock();
                job.finished += done;
                --job.helpers;
                job_cv_.notify_all();
                continue;
            }
            if (taken_ == pushed_) {
                return; // over()
            }
            // An even share of the slots waiting, so that every worker has some.
            count = std::min(kBatchFiles, (pushed_ - taken_ + workers_ - 1) / workers_);
            for (std::size_t i = 0; i < count; ++i) {
                taken[i] = slots_[taken_++ - base_].get();
            }
        }
        for (std::size_t i = 0; i < count; ++i) {
            try {
                take(*taken[i], bufs, batch);
            } catch (...) {
                taken[i]->outcome = Slot::Outcome::cancelled;
                fail(std::current_exception());
            }
        }
        settle(batch);
    }
}

TreeReport Run::run(const std::vector<std::string> &paths) {
    files::Walker walker(paths);
    std::vector<std::unique_ptr<Slot>> walked;
    std::vector<std::thread> threads;
    threads.reserve(workers_);
    for (std::size_t i = 0; i < workers_; ++i) {
        threads.emplace_back([this] { work(); });
    }
    using Clock = std::chrono::steady_clock;
    const auto every = std::chrono::milliseconds(std::max(1u, options_.tick_ms));
    auto next_tick = Clock::now() + every;
    {
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            // Walks ahead while the window has room, until the next tick is due, a few entries
            // at a time: workers take several, and are woken once for them.
            while (!walked_ && !cancelled_ && pushed_ < turn_ + window_ &&
                   Clock::now() < next_tick) {
                const std::size_t room = std::min(kBatchFiles, turn_ + window_ - pushed_);
                lock.unlock();
                bool more = true;
                walked.clear();
                while (more && walked.size() < room) {
                    auto slot = std::make_unique<Slot>();
                    more = walker.next(slot->entry);
                    if (more) {
                        walked.push_back(std::move(slot));
                    }
                }
                lock.lock();
                for (auto &slot : walked) {
                    slot->index = pushed_++;
                    slots_.push_back(std::move(slot));
                }
                if (!walked.empty()) {
                    work_cv_.notify_all();
                }
                if (!more) {
                    walked_ = true;
                    break;
                }
            }
            if (cancelled_) {
                walked_ = true;
            }
            if (walked_) {
                work_cv_.notify_all();
                if (turn_ == pushed_) {
                    break;
                }
            }
            walk_cv_.wait_until(lock, next_tick);
            if (Clock::now() >= next_tick) {
                next_tick = Clock::now() + every;
                if (options_.tick) {
                    lock.unlock();
                    const bool go = options_.tick(bytes_read_.load());
                    lock.lock();
                    if (!go) {
                        cancelled_ = true;
                        turn_cv_.notify_all();
                    }
                }
            }
        }
    }
    for (auto &t : threads) {
        t.join();
    }
    if (failure_) {
        std::rethrow_exception(failure_);
    }
    report_.cancelled = cancelled_;
    return std::move(report_);
}

} // namespace

TreeReport dedup_tree(const std::vector<std::string> &paths,
                      const Chunking &chunking,
                      const TreeOptions &options,
                      DigestSet &seen) {
    return Run(chunking, options, seen).run(paths);
}

} // namespace veltrane::dedup
